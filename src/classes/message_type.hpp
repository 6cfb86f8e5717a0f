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
// Used by module.cpp only.
#pragma once

#include <Python.h>

namespace quillspar::classes {

// Creates the metaclass (a new reference), or nullptr with an exception set.
PyObject* new_message_type() noexcept;

// _classes.install(cls, names, defaults): see the module docstring.
extern PyMethodDef install_def;

}  // namespace quillspar::classes
