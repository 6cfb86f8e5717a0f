// MessageType: the metaclass of the message classes the package builds.
//
// A class of this metaclass may carry a constructor layout (`install`): the
// slot offset and default of every field. Calling such a class then makes the
// instance and fills its slots from the keyword arguments in native code,
// with exactly what the class's generated `__init__` would store. Whatever
// the fast path does not cover (positional or unknown arguments, a class
// whose `__init__`, `__new__` or `__setattr__` changed since) goes through
// the ordinary `type.__call__`, so the results and the errors stay the
// generated `__init__`'s own.
//
// A class made by MessageType also carries what the codec methods cache about
// it (codec_methods.hpp): its descriptor, valid while the class's version tag
// is the one recorded with it. MessageType's `__new__` gives each class its
// own `from_bytes` (codec_methods.hpp, `settle_from_bytes`).
//
// Used by module.cpp and codec_methods.cpp.
#pragma once

#include <Python.h>

namespace quillspar::classes {

struct Layout;  // the constructor layout, private to message_type.cpp

// What the codec methods know of a class, each fact valid while the class's
// version tag equals the one stored with it (0: nothing known). Any change to
// the class or to a base gives it a new version tag, so no fact outlives the
// dictionaries it was read from.
struct CodecCache {
    PyObject* descriptor = nullptr;   // borrowed: `__quillspar__`, as the class's dictionaries hold it
    unsigned int descriptor_version = 0;
    unsigned int inherited_version = 0;  // the inherited `from_bytes` is still the package's
};

struct MessageTypeObject {
    PyHeapTypeObject base;
    Layout* layout;  // nullptr until installed
    CodecCache codec;
};

inline MessageTypeObject* as_message_type(PyObject* cls) noexcept { return reinterpret_cast<MessageTypeObject*>(cls); }

// Creates the metaclass (a new reference), or nullptr with an exception set.
PyObject* new_message_type() noexcept;

// _classes.install(cls, names, defaults): see the module docstring.
extern PyMethodDef install_def;

}  // namespace quillspar::classes
