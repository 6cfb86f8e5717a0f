// The module initialiser: single-phase creation of `_core`, once per process,
// refusing every interpreter but the first.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "../py/descriptor.hpp"
#include "../py/errors.hpp"
#include "../py/ref.hpp"

namespace quillspar {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};  // id of the first interpreter
PyObject* g_module = nullptr;                 // written once under the interpreter lock

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The native core module, imported by the `quillspar` Python package as\n`quillspar._core`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (creating the list), then sets it.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = nullptr;
    if (PyDict_GetItemStringRef(dict, "__all__", &all) < 0) return false;
    Ref all_ref = Ref::steal(all);
    if (!all_ref) {
        all_ref = Ref::steal(PyList_New(0));
        if (!all_ref || PyDict_SetItemString(dict, "__all__", all_ref.get()) < 0) return false;
    }
    if (!PyList_Check(all_ref.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n || PyList_Append(all_ref.get(), n.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyTypeObject* type = descriptor_type();
    if (!type || !add_public(module.get(), "Descriptor", reinterpret_cast<PyObject*>(type))) return nullptr;
    Ref modname = Ref::steal(PyModule_GetNameObject(module.get()));
    if (!modname) return nullptr;
    Ref fn = Ref::steal(PyCMethod_New(&compile_descriptor_def, module.get(), modname.get(), nullptr));
    if (!fn) return nullptr;
    Ref fn_name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!fn_name) return nullptr;
    const char* name = PyUnicode_AsUTF8(fn_name.get());
    if (!name || !add_public(module.get(), name, fn.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace quillspar

PyMODINIT_FUNC PyInit__core(void) {
    using namespace quillspar;
    return guarded<PyObject*>(nullptr, []() -> PyObject* {
        PyInterpreterState* interp = PyInterpreterState_Get();
        std::int64_t id = PyInterpreterState_GetID(interp);
        if (id < 0) return nullptr;
        std::int64_t expected = -1;
        if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError,
                            "quillspar._core does not support subinterpreters: it can only be imported "
                            "in the interpreter that first imported it");
            return nullptr;
        }
        if (g_module) return Py_NewRef(g_module);
        PyObject* m = create_module();
        if (!m) return nullptr;
        if (g_module) {  // made meanwhile by another thread: the first one stays
            Py_DECREF(m);
            return Py_NewRef(g_module);
        }
        g_module = Py_NewRef(m);
        return m;
    });
}
