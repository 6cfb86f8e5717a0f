// ClassMemo: what a codec found in a class's `__quillspar__` the last time,
// kept per link so that the next value of the same link skips the attribute
// lookup. Stored in DescriptorState (descriptor.hpp); filled and read through
// nested.hpp.
#pragma once

#include <Python.h>

namespace quillspar {

// Every pointer is borrowed and only compared or handed out while the version
// tags still match: a class keeps its tag until it or one of its bases
// changes (an attribute set or deleted, `__bases__` replaced), and no other
// type ever gets the same tag, so a matching tag also proves that the class
// at that address is the one seen before and that its `__quillspar__` still
// holds `descriptor`.
struct ClassMemo {
    PyObject* cls = nullptr;
    PyObject* descriptor = nullptr;
    unsigned int cls_version = 0;   // 0: nothing remembered
    unsigned int meta_version = 0;  // the tag of the class's metaclass
};

}  // namespace quillspar
