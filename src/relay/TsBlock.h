// A run of stream bytes on a heap its owner keeps for one connection; whoever
// takes a block off a queue owns it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <deque>
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
using TsQueue = std::deque<TsBlockPtr>;

// Null when memory runs out: the caller drops the data.
inline TsBlockPtr CopyTsBlock(HANDLE heap, const uint8_t* bytes, uint32_t size)
{
    void* memory = heap ? HeapAlloc(heap, 0, sizeof(TsBlock) + size) : nullptr;
    if (!memory) return TsBlockPtr(nullptr, TsBlockFree{heap});
    TsBlock* block = new (memory) TsBlock;
    block->size = size;
    if (size) std::memcpy(block->Bytes(), bytes, size);
    return TsBlockPtr(block, TsBlockFree{heap});
}

// Each queue is emptied when it holds more than this many entries as new data
// arrives: the consumer has fallen behind and only the newest data counts.
constexpr size_t kQueueLimit = 1000;
// One data-pipe message: 3,120 packets of 188 bytes.
constexpr uint32_t kChunkSize = 586560;
