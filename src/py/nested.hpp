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

// Shared access to the descriptor of a nested message for one scope; `ok()`
// is false, with PanicException set, when it is held exclusively.
class NestedBorrow {
public:
    explicit NestedBorrow(DescriptorObject* d) noexcept : b_(d) {
        if (!b_.ok()) raise_panic("Already mutably borrowed: PyBorrowError");
    }
    bool ok() const noexcept { return b_.ok(); }

private:
    SharedBorrow b_;
};

}  // namespace quillspar
