// Ref: an owning handle for one strong reference to a Python object.
//
// Every early return releases what it holds. Move-only; `release()` hands the
// reference back to C API code that steals it.
#pragma once

#include <Python.h>

#include <utility>

namespace quillspar {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (or nullptr, after a failed API call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Holds `p` (a new reference) and drops the old one afterwards, so a
    // finaliser run by the drop never sees a half-updated handle.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace quillspar
