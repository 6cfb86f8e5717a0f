// The `to_bytes` method and `from_bytes` class method of message classes,
// native: they find the class's descriptor in `__quillspar__` and call its
// `encode` or `decode` without a Python frame in between. Whatever the fast
// path does not cover (a class without its descriptor yet, input that is not
// `bytes`, unusual arguments) goes to the package's Python implementations,
// which the package registers once with `set_fallbacks`.
//
// `from_bytes` comes in two forms. The module's `from_bytes` is a class
// method, bound anew on every attribute access. A class made by MessageType
// holds instead a built-in function bound to the class itself, which is no
// descriptor, so that the interpreter's attribute caches serve
// `Cls.from_bytes` without making a bound method each time; MessageType's
// `__new__` gives every new class its own (`settle_from_bytes`), whether its
// namespace names `from_bytes` or it inherits the package's from a base.
//
// Used by module.cpp and message_type.cpp.
#pragma once

#include <Python.h>

namespace quillspar::classes {

// The method descriptors (new references), or nullptr with an exception set.
PyObject* new_to_bytes() noexcept;
PyObject* new_from_bytes() noexcept;

// Whether a class whose namespace is `ns` and whose bases are `bases` will
// inherit the package's `from_bytes`: MessageType's `__new__` then puts the
// class method in the namespace first, so that the class is never seen with
// a base's bound function (in `__init_subclass__`, say). False when `ns`
// names `from_bytes`, or lists it in `__slots__`. Borrows both; never fails.
bool inherits_from_bytes(PyObject* bases, PyObject* ns) noexcept;

// Gives a new class of MessageType its own bound `from_bytes` where it has
// the package's class method (`placeholder`: the one `__new__` added) or
// another class's bound function, or inherits one; removes the placeholder
// where the class's bases turn out to give something else. 0, or -1 with an
// exception set.
int settle_from_bytes(PyObject* cls, bool placeholder) noexcept;

// _classes.set_fallbacks(to_bytes, from_bytes).
extern PyMethodDef set_fallbacks_def;

}  // namespace quillspar::classes
