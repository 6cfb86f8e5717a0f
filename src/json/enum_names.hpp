// EnumNames: number to name of one enum, for the writer. Dense enums (the
// usual 0..n) index a vector; others search a sorted one.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "../py/ref.hpp"

namespace quillspar::json {

class EnumNames {
public:
    // Fills the table from a dict {int: str}; false with an exception set
    // when it holds anything else.
    bool fill(PyObject* names) {
        std::vector<std::pair<std::int32_t, PyObject*>> items;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(names, &pos, &k, &v)) {
            if (!PyLong_CheckExact(k) || !PyUnicode_CheckExact(v)) {
                PyErr_SetString(PyExc_TypeError, "enum names: a dict of int to str");
                return false;
            }
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(k, &overflow);
            if (overflow || n < INT32_MIN || n > INT32_MAX) {
                PyErr_SetString(PyExc_ValueError, "enum names: a number out of range");
                return false;
            }
            items.emplace_back(static_cast<std::int32_t>(n), v);
        }
        std::sort(items.begin(), items.end());
        if (!items.empty()) {
            const long long span = static_cast<long long>(items.back().first) - items.front().first + 1;
            if (span <= 4 * static_cast<long long>(items.size()) + 16) {
                base_ = items.front().first;
                dense_.resize(static_cast<std::size_t>(span));
                for (auto& [n, name] : items) dense_[static_cast<std::size_t>(n - base_)] = Ref::borrow(name);
                return true;
            }
        }
        for (auto& [n, name] : items) sparse_.emplace_back(n, Ref::borrow(name));
        return true;
    }

    // The name of `n` (borrowed), or nullptr.
    PyObject* find(std::int32_t n) const noexcept {
        if (!dense_.empty()) {
            const long long i = static_cast<long long>(n) - base_;
            return i >= 0 && i < static_cast<long long>(dense_.size()) ? dense_[static_cast<std::size_t>(i)].get()
                                                                        : nullptr;
        }
        auto it = std::lower_bound(sparse_.begin(), sparse_.end(), n,
                                   [](const auto& e, std::int32_t x) { return e.first < x; });
        return it != sparse_.end() && it->first == n ? it->second.get() : nullptr;
    }

private:
    std::int32_t base_ = 0;
    std::vector<Ref> dense_;
    std::vector<std::pair<std::int32_t, Ref>> sparse_;
};

}  // namespace quillspar::json
