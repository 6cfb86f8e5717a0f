// The initialiser of `quillspar._classes`: the native side of the message
// classes the package builds (their metaclass and constructor, the enum
// tables linked to enum fields). Single-phase, one module per process.
#include <Python.h>

#include <utility>

#include "../py/ref.hpp"
#include "codec_methods.hpp"
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
    "constructor layout, `EnumTable`, the number-to-member callable linked to enum\n"
    "fields, and the `to_bytes` and `from_bytes` methods of message classes.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() noexcept {
    for (auto [slot, text] : {std::pair{&g_state.str_init, "__init__"}, std::pair{&g_state.str_marker, "__quillspar__"},
                              std::pair{&g_state.str_encode, "encode"}, std::pair{&g_state.str_decode, "decode"},
                              std::pair{&g_state.str_from_bytes, "from_bytes"}, std::pair{&g_state.str_slots, "__slots__"}}) {
        if (!*slot) *slot = PyUnicode_InternFromString(text);
        if (!*slot) return nullptr;
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
    Ref to = Ref::steal(new_to_bytes());
    if (!to || PyModule_AddObjectRef(module.get(), "to_bytes", to.get()) < 0) return nullptr;
    if (!g_state.from_bytes_method) g_state.from_bytes_method = new_from_bytes();
    if (!g_state.from_bytes_method ||
        PyModule_AddObjectRef(module.get(), "from_bytes", g_state.from_bytes_method) < 0)
        return nullptr;
    Ref fallbacks = Ref::steal(PyCFunction_New(&set_fallbacks_def, nullptr));
    if (!fallbacks || PyModule_AddObjectRef(module.get(), "set_fallbacks", fallbacks.get()) < 0) return nullptr;
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
