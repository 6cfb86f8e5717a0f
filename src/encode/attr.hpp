// Attribute reads of the encoder: the fields of an instance, and the
// `__quillspar__` Descriptor of a nested value's class. Each gives exactly
// what PyObject_GetAttr gives, and takes the interpreter's own path whenever
// Python code could take part in the lookup.
//
// The short paths cover message classes: a field held in a slot is read at
// the slot's offset, found once per class (and again after any change to the
// class) and kept in the descriptor's EncodeCache; a nested class's
// Descriptor is kept there per field likewise. Reading the cache runs no
// Python code, and nothing read from it is kept across a call into Python.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <memory>

#include "../py/descriptor.hpp"
#include "../py/nested.hpp"
#include "../py/ref.hpp"
#include "../py/state.hpp"

namespace quillspar::encode {

namespace detail {

// The offset of the slot that the generic lookup of `name` on instances of
// `tp` reads, or 0 when it would find anything else. Runs no Python code for
// the attribute names the package makes.
inline Py_ssize_t slot_offset(PyTypeObject* tp, PyObject* name) noexcept {
    // A data descriptor of the type takes precedence over everything else in
    // the generic lookup; a slot's member descriptor is one.
    PyObject* descr = _PyType_Lookup(tp, name);
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
    const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (def->type != Py_T_OBJECT_EX || (def->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) != 0) return 0;
    if (!PyType_IsSubtype(tp, PyDescr_TYPE(descr)) || def->offset <= 0) return 0;
    return def->offset;
}

// obj.<name> without a cache (a type that gets no version tag).
inline PyObject* get_attr_uncached(PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro == PyObject_GenericGetAttr) [[likely]] {
        if (Py_ssize_t off = slot_offset(tp, name)) {
            if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off)) return Py_NewRef(v);
        }
    }
    return PyObject_GetAttr(obj, name);
}

// Makes the descriptor's slot layout describe `tp`. False when `tp` cannot
// be cached (then the layout is left as it was).
[[gnu::noinline]] inline bool fill_layout(DescriptorState& st, PyTypeObject* tp) noexcept {
    if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(tp)) return false;
    const std::size_t n = st.field_names.size();
    // Computed aside and stored at once: a lookup may, in theory, compare
    // keys with Python code, which could re-enter and use the layout.
    std::unique_ptr<Py_ssize_t[]> offsets(new (std::nothrow) Py_ssize_t[n + 1]);
    if (!offsets) return false;
    for (std::size_t i = 0; i < n; ++i) offsets[i] = slot_offset(tp, st.field_names[i].get());
    offsets[n] = slot_offset(tp, module_state().unknown_name.get());
    if (tp->tp_version_tag == 0) return false;  // changed meanwhile
    SlotLayout& l = st.encode_cache.slots;
    l.type = nullptr;
    l.offsets = std::move(offsets);
    l.version = tp->tp_version_tag;
    l.type = tp;
    return true;
}

[[gnu::noinline]] inline PyObject* read_slow(PyObject* obj, DescriptorState& st, std::size_t i, PyObject* name) noexcept {
    if (!fill_layout(st, Py_TYPE(obj))) return get_attr_uncached(obj, name);
    Py_ssize_t off = st.encode_cache.slots.offsets[i];
    if (off)
        if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off)) return Py_NewRef(v);
    return PyObject_GetAttr(obj, name);
}

}  // namespace detail

// The slot of field `i` of `obj` (n = the number of fields: the unknown
// fields' attribute), borrowed, when the layout cached for `obj`'s class
// holds it and it is set; nullptr otherwise, with no exception set. Valid only
// until Python code runs.
[[gnu::always_inline]] inline PyObject* peek_slot(PyObject* obj, const DescriptorState& st, std::size_t i) noexcept {
    const SlotLayout& l = st.encode_cache.slots;
    PyTypeObject* tp = Py_TYPE(obj);
    if (l.type != tp || l.version != tp->tp_version_tag) [[unlikely]]
        return nullptr;
    Py_ssize_t off = l.offsets[i];
    return off ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off) : nullptr;
}

// The slot offsets cached for `obj`'s class (made now when the layout held
// describes another class), or nullptr when the class cannot be cached.
// Valid until Python code runs.
[[gnu::always_inline]] inline const Py_ssize_t* slot_offsets(PyObject* obj, DescriptorState& st) noexcept {
    SlotLayout& l = st.encode_cache.slots;
    PyTypeObject* tp = Py_TYPE(obj);
    if (l.type == tp && l.version == tp->tp_version_tag) [[likely]]
        return l.offsets.get();
    return detail::fill_layout(st, tp) ? l.offsets.get() : nullptr;
}

// The value in the slot at `offset` of `obj` (borrowed), or nullptr when
// there is none (offset 0) or it is empty.
[[gnu::always_inline]] inline PyObject* slot_value(PyObject* obj, Py_ssize_t offset) noexcept {
    return offset ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset) : nullptr;
}

// obj.<field i> (i = the number of fields: the unknown fields' attribute):
// new reference, or nullptr with an exception set.
[[gnu::always_inline]] inline PyObject* read_field(PyObject* obj, DescriptorState& st, std::size_t i) noexcept {
    if (PyObject* v = peek_slot(obj, st, i)) [[likely]]
        return Py_NewRef(v);
    PyObject* name = i < st.field_names.size() ? st.field_names[i].get() : module_state().unknown_name.get();
    const SlotLayout& l = st.encode_cache.slots;
    PyTypeObject* tp = Py_TYPE(obj);
    if (l.type == tp && l.version == tp->tp_version_tag)
        return PyObject_GetAttr(obj, name);  // not a slot, or an empty one (AttributeError)
    return detail::read_slow(obj, st, i, name);
}

namespace detail {

// The Descriptor in `cls.__quillspar__` when the class lookup finds it
// without running Python code: the metatype keeps type's own attribute
// lookup and defines no such attribute, and the class's entry is a
// Descriptor, which has no __get__. Borrowed from the class; nullptr when
// this cannot be told without the interpreter's lookup.
inline DescriptorObject* marker_in_class(PyTypeObject* tp) noexcept {
    PyTypeObject* meta = Py_TYPE(tp);
    if (meta->tp_getattro != PyType_Type.tp_getattro) return nullptr;
    PyObject* name = module_state().marker_name.get();
    if (_PyType_Lookup(meta, name)) return nullptr;
    PyObject* d = _PyType_Lookup(tp, name);
    if (!d || !Py_IS_TYPE(d, descriptor_type()) || Py_TYPE(d)->tp_descr_get) return nullptr;
    return reinterpret_cast<DescriptorObject*>(d);
}

[[gnu::noinline]] inline DescriptorObject* nested_descriptor_slow(PyTypeObject* tp, NestedClassEntry* entry,
                                                                  Ref& holder, const char* not_message) noexcept {
    PyTypeObject* meta = Py_TYPE(tp);
    if (entry && PyUnstable_Type_AssignVersionTag(tp) && PyUnstable_Type_AssignVersionTag(meta)) {
        if (DescriptorObject* d = marker_in_class(tp)) {
            if (tp->tp_version_tag && meta->tp_version_tag) {
                entry->type = nullptr;
                entry->version = tp->tp_version_tag;
                entry->meta = meta;
                entry->meta_version = meta->tp_version_tag;
                entry->descriptor = d;
                entry->type = tp;
            }
            holder = Ref::borrow(reinterpret_cast<PyObject*>(d));
            return d;
        }
    }
    return class_descriptor(reinterpret_cast<PyObject*>(tp), holder, not_message);
}

}  // namespace detail

// The Descriptor of the class of a nested value, as class_descriptor
// (py/nested.hpp) finds it, held in `holder`; `entry` (may be nullptr) is
// the cache slot of the field the value is in.
[[gnu::always_inline]] inline DescriptorObject* nested_descriptor(PyObject* value, NestedClassEntry* entry,
                                                                  Ref& holder, const char* not_message) noexcept {
    PyTypeObject* tp = Py_TYPE(value);
    if (entry && entry->type == tp && entry->version == tp->tp_version_tag) [[likely]] {
        PyTypeObject* meta = Py_TYPE(tp);
        if (entry->meta == meta && entry->meta_version == meta->tp_version_tag &&
            meta->tp_getattro == PyType_Type.tp_getattro && !Py_TYPE(entry->descriptor)->tp_descr_get) [[likely]] {
            holder = Ref::borrow(reinterpret_cast<PyObject*>(entry->descriptor));
            return entry->descriptor;
        }
    }
    return detail::nested_descriptor_slow(tp, entry, holder, not_message);
}

}  // namespace quillspar::encode
