// Whether memory that another module hands us can be read, asked of the
// process's memory map, so that a bad pointer or a size that lies is refused
// rather than followed.
#pragma once
#include <cstddef>

bool IsReadable(const void* p, size_t n);
