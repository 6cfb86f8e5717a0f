#include "args.hpp"

#include <string>

namespace quillspar {

bool bind_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > sig.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.callable, sig.count,
                     nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int i = 0; i < sig.count && slot < 0; ++i)
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) slot = i;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.callable, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable, sig.params[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }

    int missing = 0;
    for (int i = 0; i < sig.count; ++i) missing += out[i] == nullptr;
    if (missing) {
        std::string names;
        int seen = 0;
        for (int i = 0; i < sig.count; ++i) {
            if (out[i]) continue;
            if (seen) names += missing == 2 ? " and " : (seen == missing - 1 ? ", and " : ", ");
            names += '\'';
            names += sig.params[i];
            names += '\'';
            ++seen;
        }
        PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", sig.callable, missing,
                     missing == 1 ? "argument" : "arguments", names.c_str());
        return false;
    }
    return true;
}

}  // namespace quillspar
