#include "SiSection.h"

uint32_t Crc32Mpeg(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

void CSectionWriter::BeginLong(uint8_t tableId, uint16_t extension, uint8_t version, uint8_t section,
                               uint8_t lastSection)
{
    size_ = 0;
    ok_ = true;
    // Syntax indicator 1; the next bit is '0' in PAT and PMT and
    // "reserved_future_use" 1 in DVB's and ARIB's tables.
    flags_ = tableId <= 0x02 ? 0xB0 : 0xF0;
    U8(tableId);
    U16(0);  // syntax, reserved and length: Finish
    U16(extension);
    U8(0xC1 | ((version & 0x1F) << 1));  // reserved, version, current
    U8(section);
    U8(lastSection);
}

void CSectionWriter::BeginShort(uint8_t tableId)
{
    size_ = 0;
    ok_ = true;
    flags_ = 0x70;  // no syntax indicator
    U8(tableId);
    U16(0);
}

void CSectionWriter::U8(uint32_t v)
{
    if (size_ + 4 >= capacity_) {  // the CRC must fit after it
        ok_ = false;
        return;
    }
    out_[size_++] = static_cast<uint8_t>(v);
}

void CSectionWriter::U16(uint32_t v)
{
    U8(v >> 8);
    U8(v);
}

void CSectionWriter::U24(uint32_t v)
{
    U8(v >> 16);
    U16(v);
}

void CSectionWriter::U32(uint32_t v)
{
    U16(v >> 16);
    U16(v);
}

void CSectionWriter::Bytes(const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) U8(data[i]);
}

void CSectionWriter::Text8(SiText t)
{
    U8(t.length);
    Bytes(t.data, t.length);
}

size_t CSectionWriter::OpenLoop()
{
    const size_t mark = size_;
    U16(0xF000);
    return mark;
}

void CSectionWriter::CloseLoop(size_t mark)
{
    if (!ok_) return;
    const size_t length = size_ - mark - 2;
    if (length > 0x0FFF) {
        ok_ = false;
        return;
    }
    out_[mark] = static_cast<uint8_t>(0xF0 | (length >> 8));
    out_[mark + 1] = static_cast<uint8_t>(length);
}

size_t CSectionWriter::BeginDescriptor(uint8_t tag)
{
    U8(tag);
    const size_t mark = size_;
    U8(0);
    return mark;
}

void CSectionWriter::EndDescriptor(size_t mark)
{
    if (!ok_) return;
    const size_t length = size_ - mark - 1;
    if (length > 255) {
        ok_ = false;
        return;
    }
    out_[mark] = static_cast<uint8_t>(length);
}

size_t CSectionWriter::Room(size_t maxSection) const
{
    const size_t limit = capacity_ < maxSection ? capacity_ : maxSection;
    return size_ + 4 < limit ? limit - size_ - 4 : 0;
}

size_t CSectionWriter::Finish()
{
    const size_t sectionLength = size_ + 4 - 3;
    if (!ok_ || sectionLength > 0x0FFF || size_ + 4 > capacity_) return 0;
    out_[1] = static_cast<uint8_t>(flags_ | (sectionLength >> 8));
    out_[2] = static_cast<uint8_t>(sectionLength);
    const uint32_t crc = Crc32Mpeg(out_, size_);
    out_[size_++] = static_cast<uint8_t>(crc >> 24);
    out_[size_++] = static_cast<uint8_t>(crc >> 16);
    out_[size_++] = static_cast<uint8_t>(crc >> 8);
    out_[size_++] = static_cast<uint8_t>(crc);
    return size_;
}
