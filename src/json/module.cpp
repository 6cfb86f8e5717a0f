// The initialiser of `quillspar._jsonc`: the native side of the package's
// JSON mapping, the plan types Writer and Reader (plan.hpp). Single-phase,
// one module per process.
#include <Python.h>

#include <utility>

#include "../py/ref.hpp"
#include "plan.hpp"
#include "state.hpp"

namespace quillspar::json {
namespace {

PyObject* g_module = nullptr;  // written once under the interpreter lock

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_jsonc",
    "Native plans of quillspar's JSON mapping: `Writer` turns instances of one\n"
    "message class into the Python values of their JSON form, `Reader` makes\n"
    "instances from them. Both return None for anything they leave to the\n"
    "package's Python converters.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() noexcept {
    for (auto [slot, text] : {std::pair{&g_state.nan, "NaN"}, std::pair{&g_state.infinity, "Infinity"},
                              std::pair{&g_state.neg_infinity, "-Infinity"}, std::pair{&g_state.true_text, "true"},
                              std::pair{&g_state.false_text, "false"}}) {
        if (!*slot) *slot = PyUnicode_InternFromString(text);
        if (!*slot) return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!g_writer_type) g_writer_type = reinterpret_cast<PyTypeObject*>(new_writer_type());
    if (!g_writer_type) return nullptr;
    if (!g_reader_type) g_reader_type = reinterpret_cast<PyTypeObject*>(new_reader_type());
    if (!g_reader_type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Writer", reinterpret_cast<PyObject*>(g_writer_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "Reader", reinterpret_cast<PyObject*>(g_reader_type)) < 0)
        return nullptr;
    return module.release();
}

}  // namespace
}  // namespace quillspar::json

PyMODINIT_FUNC PyInit__jsonc(void) {
    using namespace quillspar::json;
    if (g_module) return Py_NewRef(g_module);
    PyObject* m = create_module();
    if (!m) return nullptr;
    g_module = Py_NewRef(m);
    return m;
}
