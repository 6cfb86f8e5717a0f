// EnumTable: see enum_table.hpp.
#include "enum_table.hpp"

#include "../py/ref.hpp"
#include "state.hpp"

namespace quillspar::classes {
namespace {

struct EnumTableObject {
    PyObject_HEAD
    PyObject* members;  // dict: int -> member, strong
    vectorcallfunc vectorcall;
};

EnumTableObject* as_table(PyObject* self) noexcept { return reinterpret_cast<EnumTableObject*>(self); }

PyObject* lookup(PyObject* self, PyObject* number) noexcept {
    PyObject* members = as_table(self)->members;
    if (!members) [[unlikely]]
        return Py_NewRef(number);  // cleared by the collector
    PyObject* member = nullptr;
    int found = PyDict_GetItemRef(members, number, &member);
    if (found < 0) return nullptr;
    return found ? member : Py_NewRef(number);
}

PyObject* table_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "an enum table takes exactly one argument, the number");
        return nullptr;
    }
    return lookup(self, args[0]);
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* members = nullptr;
    static const char* keywords[] = {"members", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:EnumTable", const_cast<char**>(keywords), &PyDict_Type,
                                     &members))
        return nullptr;
    Ref copy = Ref::steal(PyDict_Copy(members));
    if (!copy) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_table(self)->members = copy.release();
    as_table(self)->vectorcall = table_vectorcall;
    return self;
}

void table_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_table(self)->members);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int table_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_table(self)->members);
    return 0;
}

int table_clear(PyObject* self) noexcept {
    Py_CLEAR(as_table(self)->members);
    return 0;
}

PyObject* table_getitem(PyObject* self, PyObject* key) noexcept { return lookup(self, key); }

PyObject* table_members(PyObject* self, void*) noexcept {
    PyObject* members = as_table(self)->members;
    if (!members) return PyDictProxy_New(Ref::steal(PyDict_New()).get());
    return PyDictProxy_New(members);
}

PyObject* table_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("EnumTable(%R)", as_table(self)->members);
}

PyMemberDef table_member_defs[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(EnumTableObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"members", table_members, nullptr, "The numbers and their members (read-only).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("EnumTable(members)\n--\n\n"
                                  "Called with an enum number: its member from `members` (a dict), or the\n"
                                  "number itself when there is none.")},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(table_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(table_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_mp_subscript, reinterpret_cast<void*>(table_getitem)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_members, table_member_defs},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "quillspar._classes.EnumTable",
    static_cast<int>(sizeof(EnumTableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    table_slots,
};

}  // namespace

PyObject* new_enum_table_type() noexcept { return PyType_FromSpec(&table_spec); }

}  // namespace quillspar::classes
