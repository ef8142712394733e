#include "relay/StreamRing.h"

#include "common/CallCount.h"

#include <cstring>

namespace {

LONG64 Load(const volatile LONG64& v)
{
    return InterlockedCompareExchange64(const_cast<volatile LONG64*>(&v), 0, 0);
}

uint8_t* Bytes(CRingHeader* h)
{
    return reinterpret_cast<uint8_t*>(h + 1);
}

}  // namespace

bool CRingWriter::HasRoom(uint32_t size) const
{
    const uint64_t used = static_cast<uint64_t>(Load(header_->head) - Load(header_->tail));
    return used <= kRingBytes && size <= kRingBytes - used;
}

bool CRingWriter::WaitForRoom(uint32_t size, DWORD ms)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!HasRoom(size)) {
        // As with wakeAt: the flag first, then one more look.
        InterlockedExchange(&header_->writerWaiting, 1);
        if (HasRoom(size)) break;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        CountCall(SystemCall::Wait);
        WaitForSingleObject(room_, static_cast<DWORD>(deadline - now));
    }
    InterlockedExchange(&header_->writerWaiting, 0);
    return true;
}

bool CRingWriter::Write(const uint8_t* bytes, uint32_t size)
{
    CRingHeader* h = header_;
    const LONG64 head = Load(h->head);
    const uint64_t used = static_cast<uint64_t>(head - Load(h->tail));
    if (used > kRingBytes || size > kRingBytes - used) {
        // TunerHost has fallen behind by a whole ring: the backlog goes, the
        // stream goes on with what comes next.
        InterlockedExchange(&h->flush, 1);
        WakeIfWaited(head);
        return true;
    }
    const uint32_t at = static_cast<uint32_t>(static_cast<uint64_t>(head) % kRingBytes);
    const uint32_t first = size < kRingBytes - at ? size : kRingBytes - at;
    std::memcpy(Bytes(h) + at, bytes, first);
    if (first < size) std::memcpy(Bytes(h), bytes + first, size - first);
    InterlockedExchange64(&h->head, head + size);
    CountUnit(StreamUnit::Block);
    WakeIfWaited(head + size);
    return used + size > kRingBytes / 2;
}

void CRingWriter::WakeIfWaited(LONG64 head)
{
    // The reader sets wakeAt and then looks at head again; this side sets
    // head and then looks at wakeAt: one of the two sees the other.
    const LONG64 wakeAt = Load(header_->wakeAt);
    if (wakeAt == 0 || (head < wakeAt && !header_->flush)) return;
    if (InterlockedCompareExchange64(&header_->wakeAt, 0, wakeAt) != wakeAt) return;
    CountCall(SystemCall::Signal);
    SetEvent(ready_);
}

void CRingWriter::SetSignalLevel(float level)
{
    LONG bits = 0;
    std::memcpy(&bits, &level, sizeof bits);
    InterlockedExchange(&header_->signalLevel, bits);
}

void CRingReader::Reset()
{
    header_->magic = kRingMagic;
    header_->size = kRingBytes;
    tail_ = 0;
    InterlockedExchange64(&header_->head, 0);
    InterlockedExchange64(&header_->tail, 0);
    InterlockedExchange64(&header_->wakeAt, 0);
    InterlockedExchange(&header_->flush, 0);
    InterlockedExchange(&header_->signalLevel, 0);
    InterlockedExchange(&header_->writerWaiting, 0);
    ResetEvent(ready_);
    ResetEvent(room_);
}

bool CRingReader::Waiting(uint64_t& waiting)
{
    // Read once: every use below is of this one value.
    waiting = static_cast<uint64_t>(Load(header_->head)) - tail_;
    return waiting <= kRingBytes;
}

void CRingReader::SetTail(uint64_t tail)
{
    tail_ = tail;
    InterlockedExchange64(&header_->tail, static_cast<LONG64>(tail));
    WakeWriter();
}

bool CRingReader::Peek(const uint8_t*& bytes, uint32_t& size, uint32_t limit)
{
    uint64_t waiting = 0;
    if (!Waiting(waiting)) return false;
    const uint32_t at = static_cast<uint32_t>(tail_ % kRingBytes);
    uint32_t n = static_cast<uint32_t>(waiting);
    if (n > kRingBytes - at) n = kRingBytes - at;
    if (n > limit) n = limit;
    bytes = Bytes(header_) + at;
    size = n;
    return true;
}

void CRingReader::Consume(uint32_t size)
{
    SetTail(tail_ + size);
}

void CRingReader::DropAll()
{
    uint64_t waiting = 0;
    if (Waiting(waiting)) SetTail(tail_ + waiting);
}

void CRingReader::WakeWriter()
{
    if (!InterlockedExchange(&header_->writerWaiting, 0)) return;
    CountCall(SystemCall::Signal);
    SetEvent(room_);
}

bool CRingReader::TakeFlush()
{
    if (!InterlockedExchange(&header_->flush, 0)) return false;
    DropAll();
    return true;
}

bool CRingReader::ArmWake(uint32_t more)
{
    if (more == 0) more = 1;
    InterlockedExchange64(&header_->wakeAt, static_cast<LONG64>(tail_ + more));
    uint64_t waiting = 0;
    if (Waiting(waiting) && waiting < more && !header_->flush) return true;
    Disarm();
    return false;
}

void CRingReader::Disarm()
{
    InterlockedExchange64(&header_->wakeAt, 0);
}

float CRingReader::SignalLevel() const
{
    const LONG bits = InterlockedCompareExchange(const_cast<volatile LONG*>(&header_->signalLevel), 0, 0);
    float level = 0;
    std::memcpy(&level, &bits, sizeof level);
    return level;
}
