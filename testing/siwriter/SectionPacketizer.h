// Carries sections on one PID as 188-byte packets, as a multiplexer does: a
// packet in which a section starts has the unit-start flag and a pointer
// field, a section runs on over as many packets as it needs, several short
// ones share a packet, and the rest of the last packet is stuffed with 0xFF.
// The queue lives in the caller's buffer.
#pragma once
#include <stddef.h>
#include <stdint.h>

class CSectionPacketizer {
public:
    CSectionPacketizer(uint8_t* storage, size_t capacity) : storage_(storage), capacity_(capacity) {}

    void SetPid(uint16_t pid) { pid_ = pid; }
    uint16_t Pid() const { return pid_; }
    // Queues a whole section; false (nothing queued) when there is no room.
    bool Push(const uint8_t* section, size_t length);
    bool Pending() const { return head_ < tail_; }
    // Drops what is queued; a section half sent is cut short, as at a retune.
    void Clear() { head_ = tail_ = remaining_ = 0; }
    // Writes the next packet; false when nothing is queued.
    bool NextPacket(uint8_t* out);

private:
    uint8_t* storage_;
    size_t capacity_;
    size_t head_ = 0, tail_ = 0;
    size_t remaining_ = 0;  // bytes of the section in progress still to send; 0: at a boundary
    uint16_t pid_ = 0x1FFF;
    uint8_t cc_ = 0;
};
