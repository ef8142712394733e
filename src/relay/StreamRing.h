// The stream's way from a kind's plug-in host process to TunerHost: a ring of
// bytes in memory that both map, written by the host (its reception thread,
// or its descrambler worker) and read by the relay worker. The host wakes the
// relay worker only when the bytes it waits for have come: with whole chunks
// asked for, once a chunk rather than once a block. A host that finds no room
// (a plug-in that always has more) waits until the relay worker has taken
// some, and only then is woken by it.
//
// The same layout in 32-bit and 64-bit processes. TunerHost takes nothing in
// it on trust: a plug-in can write anywhere in its host's memory, the ring
// included, so every position it writes is checked before it is used, in
// unsigned arithmetic that cannot overflow, and TunerHost keeps its own.
#pragma once
#include <windows.h>

#include <cstdint>

constexpr uint32_t kRingMagic = 0x54485231;  // "THR1"
// Fourteen chunks: room for the scheduling of two processes on a busy machine,
// and few pages (they are touched as the ring turns).
constexpr uint32_t kRingBytes = 8u << 20;

struct alignas(8) CRingHeader {
    uint32_t magic;
    uint32_t size;              // bytes in the ring, after the header
    volatile LONG64 head;       // bytes written since the start: the host's
    volatile LONG64 tail;       // bytes taken since the start: TunerHost's
    // Nonzero while the relay worker waits: the host signals the ready event
    // once head has reached it, and clears it.
    volatile LONG64 wakeAt;
    // Set by the host when a block found no room: TunerHost has fallen far
    // behind, and throws away everything queued when it next looks.
    volatile LONG flush;
    // Nonzero while the host waits for room: TunerHost signals the room event
    // once it has taken bytes, and clears it.
    volatile LONG writerWaiting;
    // The plug-in's signal level, as the bits of a 32-bit float.
    volatile LONG signalLevel;
};

constexpr size_t kRingSectionBytes = sizeof(CRingHeader) + kRingBytes;

// What a host is given of the ring: the section, and the two events (ready:
// the host wakes TunerHost; room: TunerHost wakes the host).
struct CRingHandles {
    HANDLE section = nullptr;
    HANDLE ready = nullptr;
    HANDLE room = nullptr;
};

// The writing end, in the plug-in host.
class CRingWriter {
public:
    CRingWriter() = default;
    CRingWriter(void* view, HANDLE ready, HANDLE room)
        : header_(static_cast<CRingHeader*>(view)), ready_(ready), room_(room)
    {
    }
    bool Attached() const { return header_ != nullptr; }
    // Waits up to ms for room for `size` bytes; false when there is none.
    bool WaitForRoom(uint32_t size, DWORD ms);
    // Appends the bytes, or, when they do not fit, drops them and asks for
    // the backlog to be thrown away. True when the ring is more than half
    // full: the caller, if it can wait, should let TunerHost catch up.
    bool Write(const uint8_t* bytes, uint32_t size);
    void SetSignalLevel(float level);

private:
    void WakeIfWaited(LONG64 head);
    bool HasRoom(uint32_t size) const;
    CRingHeader* header_ = nullptr;
    HANDLE ready_ = nullptr;
    HANDLE room_ = nullptr;
};

// The reading end, in TunerHost.
class CRingReader {
public:
    CRingReader() = default;
    CRingReader(void* view, HANDLE ready, HANDLE room)
        : header_(static_cast<CRingHeader*>(view)), ready_(ready), room_(room)
    {
    }
    // Before a host starts writing: an empty ring.
    void Reset();
    // The bytes waiting, at most `limit` of them, in one run: those at the
    // tail up to the ring's end. False when the positions are impossible (the
    // host's memory was written over).
    bool Peek(const uint8_t*& bytes, uint32_t& size, uint32_t limit);
    void Consume(uint32_t size);
    // Everything written so far is dropped (a purge, or an overflow).
    void DropAll();
    // True when the host asked for the backlog to go; clears the request.
    bool TakeFlush();
    // Asks to be woken once `more` bytes beyond the tail are there. False
    // when they are there already (nothing to wait for), or when the
    // positions are impossible (the next Peek says so).
    bool ArmWake(uint32_t more);
    void Disarm();
    float SignalLevel() const;

private:
    void WakeWriter();
    // The host's head, read once and checked against our own tail: the bytes
    // waiting, or false when they cannot be.
    bool Waiting(uint64_t& waiting);
    void SetTail(uint64_t tail);
    CRingHeader* header_ = nullptr;
    // TunerHost's own count of the bytes taken: the header's copy is for the
    // host to read, and whatever the host writes there is never read back.
    uint64_t tail_ = 0;
    HANDLE ready_ = nullptr;
    HANDLE room_ = nullptr;
};
