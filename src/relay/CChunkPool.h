// Buffers for whole data-pipe chunks, straight from the system's virtual
// memory. A client that stalls backs hundreds of megabytes of chunks up; the
// heap would keep their pages once the queue drains, the system takes them back
// at once. A few spares are kept so a flowing stream reuses its buffers rather
// than faulting fresh pages in for every chunk.
#pragma once
#include "common/CriticalSection.h"
#include "relay/TsBlock.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class CChunkPool;

struct ChunkReturn {
    CChunkPool* pool = nullptr;
    void operator()(uint8_t* buffer) const;
};
// One chunk of kChunkSize bytes; it goes back to its pool when dropped.
using ChunkPtr = std::unique_ptr<uint8_t, ChunkReturn>;

class CChunkPool {
public:
    static constexpr size_t kSpares = 4;

    CChunkPool() = default;
    ~CChunkPool();
    CChunkPool(const CChunkPool&) = delete;
    CChunkPool& operator=(const CChunkPool&) = delete;

    // Null when memory runs out.
    ChunkPtr Take();
    // Gives every spare back to the system (when a client goes away).
    void Trim();

private:
    friend struct ChunkReturn;
    void Give(uint8_t* buffer);

    CCriticalSection lock_;
    uint8_t* spares_[kSpares] = {};
    size_t spareCount_ = 0;
};
