// Run-time type check for objects made by other modules, built either with
// Microsoft's compiler or with GCC. Reads the type information that precedes
// the object's table of virtual operations and looks for a named class among
// the object's bases. Every read is checked against the process's memory map,
// so an object without type information is refused rather than followed.
#pragma once
#include "common/Readable.h"

#include <cstddef>
#include <cstdint>

// Returns the address of the subobject of class `className` (plain name, such
// as "IBonDriver2") within the complete object that `object` belongs to, or
// null when the object has no readable type information or lacks that class.
void* ProbeInterface(void* object, const char* className);

namespace type_probe_detail {

// How a Microsoft type-information record refers to others: image-relative
// 32-bit offsets (64-bit code) or absolute pointers (32-bit code).
struct MsvcLayout {
    bool imageRelative;
    size_t pointerSize;  // width of the pointers inside type descriptors and base tables
};

// The native layout of this build.
MsvcLayout NativeMsvcLayout();

// Walks a Microsoft complete-object locator found before the table of the
// object at `object`.
void* ProbeMsvc(void* object, const void* locator, const MsvcLayout& layout, const char* className);

// Walks a GCC type_info found before the table of the object at `object`.
void* ProbeGcc(void* object, const char* className);

using ::IsReadable;

}  // namespace type_probe_detail
