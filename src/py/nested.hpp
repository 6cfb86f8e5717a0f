// The Descriptor of a nested message's class, found the same way by the
// decoder (from the linked class) and the encoder (from the value's class).
#pragma once

#include <Python.h>

#include "descriptor.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace quillspar {

// The Descriptor of a message class: its `__quillspar__` attribute, held in
// `holder`. nullptr with an exception set when the lookup fails, or with
// TypeError(`not_message`) when the attribute is not a Descriptor.
inline DescriptorObject* class_descriptor(PyObject* cls, Ref& holder, const char* not_message) noexcept {
    holder = Ref::steal(PyObject_GetAttr(cls, module_state().marker_name.get()));
    if (!holder) return nullptr;
    if (!is_descriptor(holder.get())) {
        PyErr_SetString(PyExc_TypeError, not_message);
        return nullptr;
    }
    return reinterpret_cast<DescriptorObject*>(holder.get());
}

// The descriptor `memo` remembers for `cls`, or nullptr when it remembers
// none or the class (or its metaclass) changed since. Borrowed: the class's
// `__quillspar__` holds it. Never fails, runs no Python code.
inline DescriptorObject* remembered_descriptor(const ClassMemo& memo, PyObject* cls) noexcept {
    if (memo.cls != cls || memo.cls_version == 0) return nullptr;  // only types are remembered
    if (reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag != memo.cls_version ||
        Py_TYPE(cls)->tp_version_tag != memo.meta_version)
        return nullptr;
    return reinterpret_cast<DescriptorObject*>(memo.descriptor);
}

// Remembers in `memo` that the attribute lookup of `__quillspar__` on `cls`
// gave `desc`, when the lookup is one that the version tags vouch for: `cls`
// a type whose metaclass looks attributes up as `type` does and has no
// `__quillspar__` of its own (a metaclass attribute could come first), and
// `desc` the Descriptor that the class's own namespaces hold, as it is (no
// `__get__` of some other object made it). Otherwise `memo` is left alone.
// Never fails, runs no Python code.
inline void remember_descriptor(ClassMemo& memo, PyObject* cls, DescriptorObject* desc) noexcept {
    if (!PyType_Check(cls) || !Py_IS_TYPE(reinterpret_cast<PyObject*>(desc), descriptor_type())) return;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    if (meta->tp_getattro != PyType_Type.tp_getattro) return;
    PyObject* name = module_state().marker_name.get();
    Ref in_meta = Ref::steal(_PyType_LookupRef(meta, name));
    Ref in_class = Ref::steal(_PyType_LookupRef(tp, name));
    if (in_meta || in_class.get() != reinterpret_cast<PyObject*>(desc)) return;
    if (!PyUnstable_Type_AssignVersionTag(tp) || !PyUnstable_Type_AssignVersionTag(meta)) return;
    memo = ClassMemo{cls, reinterpret_cast<PyObject*>(desc), tp->tp_version_tag, meta->tp_version_tag};
}

// Shared access to the descriptor of a nested message for one scope; `ok()`
// is false, with PanicException set, when it is held exclusively. The caller
// holds the interpreter lock (every codec entry point does), so in a build
// with that lock the count is kept without locked instructions.
class NestedBorrow {
public:
    explicit NestedBorrow(DescriptorObject* d) noexcept : d_(d->borrow.try_shared_under_gil() ? d : nullptr) {
        if (!d_) raise_panic("Already mutably borrowed: PyBorrowError");
    }
    ~NestedBorrow() {
        if (d_) d_->borrow.release_shared_under_gil();
    }
    NestedBorrow(const NestedBorrow&) = delete;
    NestedBorrow& operator=(const NestedBorrow&) = delete;
    bool ok() const noexcept { return d_ != nullptr; }

private:
    DescriptorObject* d_;
};

}  // namespace quillspar
