#include "relay/CChunkPool.h"

#include <windows.h>

void ChunkReturn::operator()(uint8_t* buffer) const
{
    if (pool) pool->Give(buffer);
    else VirtualFree(buffer, 0, MEM_RELEASE);
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
        for (; spareCount_; --spareCount_) release[count++] = spares_[spareCount_ - 1];
    }
    for (size_t i = 0; i < count; ++i) VirtualFree(release[i], 0, MEM_RELEASE);
}

size_t CChunkPool::SpareCount()
{
    CLock hold(lock_);
    return spareCount_;
}
