// The state of the module: the objects every part of the core shares, made
// once when `_core` is initialised (module/module.cpp) and kept for the life
// of the process. The module is imported once per process, so there is one.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace quillspar {

struct ModuleState {
    Ref module;           // `_core` itself
    Ref descriptor_type;  // the Descriptor type
    Ref panic_type;       // PanicException
    Ref empty_tuple;      // the positional arguments of every class call
    Ref marker_name;      // "__quillspar__": a message class's Descriptor
    Ref unknown_name;     // "_unknown_fields"
    Ref add_note_name;    // "add_note"
};

namespace detail {
// Storage that never runs the state's destructor: at process exit the
// interpreter is gone, and its objects must not be released then.
union StateStorage {
    ModuleState state;
    constexpr StateStorage() : state() {}
    ~StateStorage() {}
};
inline constinit StateStorage g_state;
}  // namespace detail

// Filled by the module initialiser before any other code of the core runs
// (the panic type first, so that the rest can raise PanicException).
inline ModuleState& module_state() noexcept { return detail::g_state.state; }

inline PyTypeObject* descriptor_type() noexcept {
    return reinterpret_cast<PyTypeObject*>(module_state().descriptor_type.get());
}

}  // namespace quillspar
