// The module initialiser: single-phase creation of `_core`, once per process,
// refusing every interpreter but the first. It fills the module state that
// the rest of the core reads.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "../py/errors.hpp"
#include "../py/ref.hpp"
#include "../py/state.hpp"
#include "../schema/schema.hpp"
#include "descriptor.hpp"

namespace quillspar {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};  // id of the first interpreter

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

// An interned str, or an empty handle with an exception set.
Ref intern(const char* s) noexcept { return Ref::steal(PyUnicode_InternFromString(s)); }

// Fills `st` (the module state, empty) and makes the module. The panic type
// comes first: from then on a failure may raise PanicException.
bool fill_state(ModuleState& st) {
    if (!(st.panic_type = make_panic_type())) return false;
    if (!(st.empty_tuple = Ref::steal(PyTuple_New(0)))) return false;
    if (!(st.marker_name = intern("__quillspar__"))) return false;
    if (!(st.unknown_name = intern(schema::kUnknownFieldsName))) return false;
    if (!(st.add_note_name = intern("add_note"))) return false;
    if (!(st.descriptor_type = make_descriptor_type())) return false;

    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !add_public(module.get(), "Descriptor", st.descriptor_type.get())) return false;
    Ref modname = Ref::steal(PyModule_GetNameObject(module.get()));
    if (!modname) return false;
    Ref fn = Ref::steal(PyCMethod_New(&compile_descriptor_def, module.get(), modname.get(), nullptr));
    if (!fn) return false;
    Ref fn_name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!fn_name) return false;
    const char* name = PyUnicode_AsUTF8(fn_name.get());
    if (!name || !add_public(module.get(), name, fn.get())) return false;
    st.module = std::move(module);
    return true;
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
        ModuleState& st = module_state();
        if (st.module) return Py_NewRef(st.module.get());
        // The import lock on the module's name keeps other threads out meanwhile.
        if (!fill_state(st)) {
            st = ModuleState{};  // a later import starts afresh
            return nullptr;
        }
        return Py_NewRef(st.module.get());
    });
}
