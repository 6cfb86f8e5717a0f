// How deep the codecs nest: the limit on nested messages, and the guard that
// protects the native stack whatever the thread's stack size.
#pragma once

#include <Python.h>

namespace quillspar {

// Deepest nesting of messages that decode and encode accept; deeper input (or
// a value graph that contains itself) raises RecursionError.
inline constexpr int kMaxDepth = 1000;

// RecursionError for a message nested deeper than kMaxDepth.
[[gnu::cold]] inline void raise_too_deep() noexcept {
    PyErr_Format(PyExc_RecursionError, "message nesting exceeds the depth limit of %d", kMaxDepth);
}

// RAII guard around Py_EnterRecursiveCall. `ok()` is false (RecursionError
// set) when the interpreter's own limit is reached.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : ok_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (ok_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool ok() const noexcept { return ok_; }

private:
    bool ok_;
};

}  // namespace quillspar
