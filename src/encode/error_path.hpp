// Where an encode error happened: the field names, element indices and map
// keys between the top-level message and the value that failed, recorded by
// the encoder's frames while they unwind after the error (nothing is recorded
// on success), then attached to the exception as one note by the entry point:
// "while encoding Order.items[3].sku".
//
// Used by the message encoder (encoder.cpp) only.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../py/ref.hpp"

namespace quillspar::encode {

class ErrorPath {
public:
    // Each records one step, innermost first, and returns false, so that a
    // failing frame can end with `return path.field(f.name);`. A step that
    // cannot be recorded (no memory) drops the note, never the exception.
    bool field(const std::string& name) noexcept;
    bool index(Py_ssize_t i) noexcept;
    bool key(PyObject* key) noexcept;  // borrowed; a reference is kept until annotate

    // The nesting-depth limit was hit: that error gets no note, since its
    // path would be as long as the limit.
    void suppress() noexcept { suppressed_ = true; }

    // Adds the note `{prefix}{root}{steps}` to the pending exception, unless
    // it is a MemoryError or the path was suppressed. The exception keeps its
    // type, message and identity; a note that cannot be added is dropped.
    void annotate(const char* prefix, const std::string& root) noexcept;

private:
    struct Step {
        enum Kind : std::uint8_t { Field, Index, Key };
        Kind kind;
        std::string name;  // Field
        Py_ssize_t index;  // Index
        Ref key;           // Key
    };
    bool push(Step::Kind kind, const std::string* name, Py_ssize_t index, PyObject* key) noexcept;

    std::vector<Step> steps_;  // innermost first
    bool suppressed_ = false;
};

}  // namespace quillspar::encode
