#include "error_path.hpp"

#include <utility>

#include "../py/state.hpp"

namespace quillspar::encode {

namespace {

// Longest map key shown, in characters of its repr.
constexpr Py_ssize_t kMaxKeyRepr = 200;

// "[{key!r}]" for a map key; a key whose repr fails or runs long is cut short
// rather than lose the note. Runs with no exception pending.
void append_key(std::string& text, PyObject* key) {
    Ref repr = Ref::steal(PyObject_Repr(key));
    if (repr && PyUnicode_GET_LENGTH(repr.get()) > kMaxKeyRepr) {
        Ref cut = Ref::steal(PyUnicode_Substring(repr.get(), 0, kMaxKeyRepr));
        repr = Ref::steal(cut ? PyUnicode_FromFormat("%U...", cut.get()) : nullptr);
    }
    Py_ssize_t n = 0;
    const char* s = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &n) : nullptr;
    text += '[';
    if (s) {
        text.append(s, static_cast<std::size_t>(n));
    } else {
        PyErr_Clear();
        text += "<key>";
    }
    text += ']';
}

}  // namespace

bool ErrorPath::push(Step::Kind kind, const std::string* name, Py_ssize_t index, PyObject* key) noexcept {
    if (suppressed_) return false;
    try {
        steps_.push_back(Step{kind, name ? *name : std::string(), index, Ref::borrow(key)});
    } catch (...) {
        suppressed_ = true;  // no memory for the note: the exception itself still goes out
    }
    return false;
}

bool ErrorPath::field(const std::string& name) noexcept { return push(Step::Field, &name, 0, nullptr); }

bool ErrorPath::index(Py_ssize_t i) noexcept { return push(Step::Index, nullptr, i, nullptr); }

bool ErrorPath::key(PyObject* key) noexcept { return push(Step::Key, nullptr, 0, key); }

void ErrorPath::annotate(const char* prefix, const std::string& root) noexcept {
    if (suppressed_) return;
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    Ref exc = Ref::steal(raised);
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError)) {
        try {
            std::string text = prefix + root;
            for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
                switch (it->kind) {
                case Step::Field: text += '.' + it->name; break;
                case Step::Index: text += '[' + std::to_string(it->index) + ']'; break;
                case Step::Key: append_key(text, it->key.get()); break;
                }
            }
            Ref note = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
            Ref done = note ? Ref::steal(PyObject_CallMethodOneArg(exc.get(), module_state().add_note_name.get(),
                                                                    note.get()))
                            : Ref();
            if (!done) PyErr_Clear();  // e.g. __notes__ replaced by something that is not a list
        } catch (...) {
            PyErr_Clear();
        }
    }
    steps_.clear();
    PyErr_SetRaisedException(exc.release());
}

}  // namespace quillspar::encode
