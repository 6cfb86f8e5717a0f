// The initialiser of `quillspar._classes`: the native side of the message
// classes the package builds (their metaclass and constructor, the enum
// tables linked to enum fields). Single-phase, one module per process.
#include <Python.h>

#include "../module/pyref.hpp"
#include "enum_table.hpp"
#include "message_type.hpp"
#include "state.hpp"

namespace quillspar::classes {
namespace {

PyObject* g_module = nullptr;  // written once under the interpreter lock

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_classes",
    "Native parts of quillspar's message classes: the metaclass `MessageType`, whose\n"
    "classes construct their instances natively once `install` has given them their\n"
    "constructor layout, and `EnumTable`, the number-to-member callable linked to\n"
    "enum fields.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() noexcept {
    if (!g_state.str_init) {
        g_state.str_init = PyUnicode_InternFromString("__init__");
        if (!g_state.str_init) return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!g_state.message_type) {
        PyObject* t = new_message_type();
        if (!t) return nullptr;
        g_state.message_type = reinterpret_cast<PyTypeObject*>(t);
    }
    if (PyModule_AddObjectRef(module.get(), "MessageType", reinterpret_cast<PyObject*>(g_state.message_type)) < 0)
        return nullptr;
    Ref table = Ref::steal(new_enum_table_type());
    if (!table || PyModule_AddObjectRef(module.get(), "EnumTable", table.get()) < 0) return nullptr;
    Ref fn = Ref::steal(PyCFunction_New(&install_def, nullptr));
    if (!fn || PyModule_AddObjectRef(module.get(), "install", fn.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace quillspar::classes

PyMODINIT_FUNC PyInit__classes(void) {
    using namespace quillspar::classes;
    if (g_module) return Py_NewRef(g_module);
    PyObject* m = create_module();
    if (!m) return nullptr;
    g_module = Py_NewRef(m);
    return m;
}
