// The frame around every native entry point: no C++ exception crosses into
// the interpreter. Each module says what a failure becomes: the core raises
// PanicException (errors.hpp), the package's own modules SystemError.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace quillspar {

// Runs `body` and turns anything thrown into a Python exception: MemoryError
// for std::bad_alloc, otherwise `raise(text)` with the exception's text, or
// with `unknown` for an exception that has none. `fail` is the entry point's
// error return value.
template <class R, class F, class Raise>
R guard(R fail, F&& body, Raise&& raise, const char* unknown) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise(e.what());
    } catch (...) {
        raise(unknown);
    }
    return fail;
}

// `raise` for the package's own modules.
inline void raise_system_error(const char* text) noexcept { PyErr_SetString(PyExc_SystemError, text); }

}  // namespace quillspar
