// A run of stream bytes on a heap its owner keeps for one connection; whoever
// takes a block off a queue owns it.
#pragma once
#include "common/Readable.h"
#include "relay/TsQueue.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

// 8: what HeapAlloc guarantees on both platforms; the bytes follow the header.
struct alignas(8) TsBlock {
    uint32_t size = 0;
    uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
};

struct TsBlockFree {
    HANDLE heap = nullptr;
    void operator()(TsBlock* block) const { HeapFree(heap, 0, block); }
};
using TsBlockPtr = std::unique_ptr<TsBlock, TsBlockFree>;

// The most a plug-in or a descrambler may hand over at once: a device's
// transfer is tens of kilobytes. A larger size is a fault (on a 32-bit build
// one near 4 GiB would wrap the allocation's size), and the block is dropped.
constexpr uint32_t kMaxBlockBytes = 16u << 20;
// Byte bounds under the queues' entry limit, per tuner kind: both kinds'
// queues together stay far below a 32-bit process's address space.
constexpr size_t kBlockQueueByteLimit = size_t{64} << 20;
constexpr size_t kChunkQueueByteLimit = size_t{256} << 20;

// Null when the size is out of bounds, the bytes cannot be read (a size that
// lies) or memory runs out: the caller drops the data.
inline TsBlockPtr CopyTsBlock(HANDLE heap, const uint8_t* bytes, uint32_t size)
{
    if (!heap || size > kMaxBlockBytes || !IsReadable(bytes, size)) return TsBlockPtr(nullptr, TsBlockFree{heap});
    void* memory = HeapAlloc(heap, 0, sizeof(TsBlock) + size);
    if (!memory) return TsBlockPtr(nullptr, TsBlockFree{heap});
    TsBlock* block = new (memory) TsBlock;
    block->size = size;
    if (size) std::memcpy(block->Bytes(), bytes, size);
    return TsBlockPtr(block, TsBlockFree{heap});
}

using TsBlockQueue = CTsQueue<TsBlockPtr>;

// One data-pipe message: 3,120 packets of 188 bytes.
constexpr uint32_t kChunkSize = 586560;
