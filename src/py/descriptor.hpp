// The Descriptor object: a compiled MessageSchema, the link table of classes
// its fields refer to, the linked flag and the borrow state.
//
// The type and its methods live in module/descriptor.cpp.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../schema/schema.hpp"
#include "class_memo.hpp"
#include "encode_cache.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace quillspar {

// Shared/exclusive access counter: 0 free, n > 0 shared holders, -1 one
// exclusive holder. Guards a descriptor against re-entry from Python code it
// calls back, and stays correct even if two threads interleave: every update
// is an atomic read-modify-write.
class BorrowState {
public:
    static constexpr std::intptr_t kExclusive = -1;

    bool try_shared() noexcept {
        std::intptr_t cur = count_.load(std::memory_order_relaxed);
        do {
            if (cur == kExclusive) return false;
        } while (!count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

    // try_shared and release_shared for a caller that holds the interpreter
    // lock of a build that has one. No other thread can update the count
    // then (every update is made under that lock), so a plain read and write
    // do the work of the locked read-modify-write, at a fraction of its cost.
    bool try_shared_under_gil() noexcept {
#ifdef Py_GIL_DISABLED
        return try_shared();
#else
        const std::intptr_t cur = count_.load(std::memory_order_relaxed);
        if (cur == kExclusive) return false;
        count_.store(cur + 1, std::memory_order_relaxed);
        return true;
#endif
    }
    void release_shared_under_gil() noexcept {
#ifdef Py_GIL_DISABLED
        release_shared();
#else
        count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
#endif
    }

private:
    std::atomic<std::intptr_t> count_{0};
};

// Everything a Descriptor owns besides the object header.
struct DescriptorState {
    schema::MessageSchema schema;
    // Field number -> linked object.
    std::unordered_map<std::uint32_t, Ref> links;
    // Per field index: the object linked under that field's number (borrowed
    // from `links`), so the decoder needs no hash lookup per value.
    std::vector<PyObject*> field_links;
    // Per field index: the field name as an interned str.
    std::vector<Ref> field_names;
    bool linked = false;
    // The encoder's memory of the classes it met (encode_cache.hpp).
    EncodeCache encode_cache;

    // Caches of the decoder, filled on first use; nothing else reads them.
    // Per field index: the descriptor of the class linked there, as last found.
    std::vector<ClassMemo> link_memos;
    // The keyword names tuple of the last class call made for this schema and
    // the keywords (field indexes, schema.keyword_of) it names, in order: in
    // `call_keys`, or for a schema of fewer than kCallKeyBytes fields in the
    // first `call_count` bytes of `call_key_bytes` (the rest zero).
    static constexpr std::size_t kCallKeyBytes = 32;
    Ref call_names;
    std::vector<std::uint32_t> call_keys;
    std::size_t call_count = 0;
    std::uint8_t call_key_bytes[kCallKeyBytes] = {};

    DescriptorState() = default;
    DescriptorState(const DescriptorState&) = delete;
    DescriptorState& operator=(const DescriptorState&) = delete;
    ~DescriptorState() {
        // The schema first, then the references: releasing a linked class may
        // run arbitrary code, which must find nothing half-destroyed here.
        schema = schema::MessageSchema{};
        field_links.clear();
        link_memos.clear();
        auto links_taken = std::move(links);
        auto names_taken = std::move(field_names);
    }
};

struct DescriptorObject {
    PyObject_HEAD
    BorrowState borrow;
    DescriptorState state;
};

// True when `obj` is a Descriptor (or of a subtype). Never fails.
inline bool is_descriptor(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, descriptor_type()); }

// Shared access to a descriptor for one scope. `ok()` is false when the
// descriptor is held exclusively; the caller then raises its own error.
class SharedBorrow {
public:
    explicit SharedBorrow(DescriptorObject* d) noexcept : d_(d->borrow.try_shared() ? d : nullptr) {}
    ~SharedBorrow() {
        if (d_) d_->borrow.release_shared();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    bool ok() const noexcept { return d_ != nullptr; }

private:
    DescriptorObject* d_;
};

}  // namespace quillspar
