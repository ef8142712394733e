#include "SiLogo.h"

#include "SiSection.h"

namespace {

// PNG's CRC (ISO 3309, reflected), not MPEG's.
uint32_t PngCrc(const uint8_t* data, size_t length, uint32_t crc = 0xFFFFFFFFu)
{
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

class CPngOut {
public:
    CPngOut(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
    void U8(uint32_t v)
    {
        if (size_ < capacity_) out_[size_] = static_cast<uint8_t>(v);
        else ok_ = false;
        ++size_;
    }
    void U32(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8) U8(v >> s);
    }
    void Tag(const char* t)
    {
        for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(t[i]));
    }
    // A chunk's length and type; EndChunk writes the length and the CRC.
    size_t BeginChunk(const char* type)
    {
        const size_t at = size_;
        U32(0);
        Tag(type);
        return at;
    }
    void EndChunk(size_t at)
    {
        if (!ok_) return;
        const uint32_t length = static_cast<uint32_t>(size_ - at - 8);
        for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
        U32(PngCrc(out_ + at + 4, length + 4) ^ 0xFFFFFFFFu);
    }
    size_t Size() const { return ok_ ? size_ : 0; }

private:
    uint8_t* out_;
    size_t capacity_;
    size_t size_ = 0;
    bool ok_ = true;
};

}  // namespace

size_t WriteLogoPng(uint8_t* out, size_t capacity, uint32_t width, uint32_t height, const uint8_t* indexes)
{
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    CPngOut w(out, capacity);
    for (uint8_t b : kSignature) w.U8(b);
    size_t chunk = w.BeginChunk("IHDR");
    w.U32(width);
    w.U32(height);
    w.U8(8);  // bit depth
    w.U8(3);  // palette indexes
    w.U8(0);
    w.U8(0);
    w.U8(0);  // not interlaced
    w.EndChunk(chunk);
    chunk = w.BeginChunk("IDAT");
    // zlib: deflate with a 32 kB window, no dictionary; then stored blocks
    // of the rows, each after its filter byte (0: none); then Adler-32.
    w.U8(0x78);
    w.U8(0x01);
    const uint32_t total = height * (width + 1);
    uint32_t a = 1, b = 0, done = 0;
    do {
        const uint32_t n = total - done > 65535 ? 65535 : total - done;
        w.U8(done + n == total ? 1 : 0);
        w.U8(n & 0xFF);
        w.U8(n >> 8);
        w.U8(~n & 0xFF);
        w.U8((~n >> 8) & 0xFF);
        for (uint32_t i = 0; i < n; ++i, ++done) {
            const uint32_t row = done / (width + 1), column = done % (width + 1);
            const uint8_t v = column == 0 ? 0 : indexes[row * width + column - 1];
            w.U8(v);
            a = (a + v) % 65521;
            b = (b + a) % 65521;
        }
    } while (done < total);
    w.U32((b << 16) | a);
    w.EndChunk(chunk);
    w.EndChunk(w.BeginChunk("IEND"));
    return w.Size();
}

size_t WriteCdtLogo(uint8_t* out, size_t capacity, uint16_t networkId, uint16_t downloadDataId, uint8_t version,
                    uint8_t section, uint8_t lastSection, const SiLogo& logo)
{
    CSectionWriter w(out, capacity);
    w.BeginLong(0xC8, downloadDataId, version, section, lastSection);
    w.U16(networkId);
    w.U8(0x01);  // logo data
    w.CloseLoop(w.OpenLoop());  // no descriptors
    w.U8(logo.type);
    w.U16(0xFE00 | (logo.id & 0x1FF));
    w.U16(0xF000 | (logo.version & 0xFFF));
    w.U16(logo.pngSize);
    w.Bytes(logo.png, logo.pngSize);
    return w.Finish();
}
