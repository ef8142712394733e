// Writes MPEG-2 sections into a caller's buffer: the header, the 12-bit
// length fields of descriptor and entry loops, and the CRC-32 at the end.
// Built into the simulated plug-in (no C runtime), MinGW tools and native
// tests alike, so it uses nothing but its own buffer.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Text in a table: ARIB-coded bytes (AribText.h).
struct SiText {
    const uint8_t* data;
    uint8_t length;
};

// MPEG-2 section CRC (polynomial 0x04C11DB7, no reflection, initial all ones).
uint32_t Crc32Mpeg(const uint8_t* data, size_t length);

class CSectionWriter {
public:
    CSectionWriter(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}

    // The long form's eight header bytes (table id, lengths to come, table id
    // extension, version, current, section numbers).
    void BeginLong(uint8_t tableId, uint16_t extension, uint8_t version, uint8_t section, uint8_t lastSection);
    // The short form's three (TOT): no extension, but a CRC all the same.
    void BeginShort(uint8_t tableId);

    void U8(uint32_t v);
    void U16(uint32_t v);
    void U24(uint32_t v);
    void U32(uint32_t v);
    void Bytes(const uint8_t* data, size_t length);
    // Text after its 8-bit length.
    void Text8(SiText t);

    // A loop whose byte count goes into the 12 bits after four reserved
    // ones ("reserved 4, length 12"): Open returns its mark, Close fills it.
    size_t OpenLoop();
    void CloseLoop(size_t mark);
    // A descriptor: tag, then its 8-bit length, filled by EndDescriptor.
    size_t BeginDescriptor(uint8_t tag);
    void EndDescriptor(size_t mark);

    size_t Size() const { return size_; }
    // A byte already written, read or replaced (0 past the end).
    uint8_t At(size_t at) const { return at < size_ ? out_[at] : 0; }
    void SetAt(size_t at, uint8_t v)
    {
        if (at < size_) out_[at] = v;
    }
    // Room left before the CRC, within both the buffer and `maxSection`.
    size_t Room(size_t maxSection) const;
    bool Ok() const { return ok_; }
    // Sets the section length and appends the CRC; the section's size, or 0
    // when anything did not fit.
    size_t Finish();

private:
    uint8_t* out_;
    size_t capacity_;
    size_t size_ = 0;
    bool ok_ = true;
    uint8_t flags_ = 0xB0;  // the bits above the section length
};
