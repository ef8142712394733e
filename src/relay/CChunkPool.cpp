#include "relay/CChunkPool.h"

#include <windows.h>

#include <algorithm>

void ChunkReturn::operator()(uint8_t* buffer) const
{
    pool->Give(buffer);
}

CChunkPool::~CChunkPool()
{
    Trim();
}

ChunkPtr CChunkPool::Take()
{
    uint8_t* buffer = nullptr;
    {
        CLock hold(lock_);
        if (spareCount_) buffer = spares_[--spareCount_];
    }
    if (!buffer)
        buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, kChunkSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    return ChunkPtr(buffer, ChunkReturn{this});
}

void CChunkPool::Give(uint8_t* buffer)
{
    {
        CLock hold(lock_);
        if (spareCount_ < kSpares) {
            spares_[spareCount_++] = buffer;
            return;
        }
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
}

void CChunkPool::Trim()
{
    uint8_t* release[kSpares] = {};
    size_t count = 0;
    {
        CLock hold(lock_);
        count = spareCount_;
        std::copy(spares_, spares_ + count, release);
        spareCount_ = 0;
    }
    for (size_t i = 0; i < count; ++i) VirtualFree(release[i], 0, MEM_RELEASE);
}
