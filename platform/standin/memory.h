// Stand-in heap: the process heap on malloc and free, with an account of the
// blocks that are live, so tests can see that every block the service takes
// is given back. Safe for several threads at once.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <vector>

namespace standin {

// Blocks taken without HEAP_ZERO_MEMORY are filled with this, so that a
// missing zero fill shows.
inline constexpr unsigned char kUnzeroedHeapFill = 0xCD;

std::size_t LiveHeapBlockCount();

// The sizes of the live blocks, in the order they were taken.
std::vector<std::size_t> LiveHeapBlockSizes();

// HeapFree calls that named no live block of the process heap (double frees,
// foreign pointers, another heap); they free nothing and fail.
std::size_t InvalidHeapFreeCount();

}  // namespace standin
