// A heap buffer of stream bytes with its count; whoever takes one off a queue
// owns it.
#pragma once
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>

struct TsBlock {
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;
};
using TsBlockPtr = std::unique_ptr<TsBlock>;
using TsQueue = std::deque<TsBlockPtr>;

// Null when memory runs out: the caller drops the data.
inline TsBlockPtr NewTsBlock(uint32_t size)
{
    TsBlockPtr block(new (std::nothrow) TsBlock);
    if (!block) return nullptr;
    block->data.reset(new (std::nothrow) uint8_t[size ? size : 1]);
    if (!block->data) return nullptr;
    block->size = size;
    return block;
}

inline TsBlockPtr CopyTsBlock(const uint8_t* bytes, uint32_t size)
{
    TsBlockPtr block = NewTsBlock(size);
    if (block && size) std::memcpy(block->data.get(), bytes, size);
    return block;
}

// Each queue is emptied when it holds more than this many entries as new data
// arrives: the consumer has fallen behind and only the newest data counts.
constexpr size_t kQueueLimit = 1000;
// One data-pipe message: 3,120 packets of 188 bytes.
constexpr uint32_t kChunkSize = 586560;
