// A reader over a byte range that never reads past it: a read beyond the end
// marks the reader failed and yields zeros or an empty range from then on.
// Parsers read a whole structure and check ok() once at the end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace tstables {

class CByteReader {
public:
    explicit CByteReader(std::span<const uint8_t> data) : data_(data) {}

    bool ok() const { return ok_; }
    size_t left() const { return ok_ ? data_.size() - pos_ : 0; }
    bool empty() const { return left() == 0; }

    uint8_t U8() { return Take(1) ? data_[pos_ - 1] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Big(2)); }
    uint32_t U24() { return Big(3); }
    uint32_t U32() { return Big(4); }
    // The next n bytes; an empty range (and failure) if fewer are left.
    std::span<const uint8_t> Bytes(size_t n) { return Take(n) ? data_.subspan(pos_ - n, n) : std::span<const uint8_t>(); }
    // A reader over the next n bytes: a loop whose length is given before it.
    CByteReader Sub(size_t n)
    {
        CByteReader sub(Bytes(n));
        sub.ok_ = ok_;
        return sub;
    }
    void Skip(size_t n) { Take(n); }
    // A bounded reader that finds an error inside marks its parent failed too.
    void Fail() { ok_ = false; }

private:
    bool Take(size_t n)
    {
        if (!ok_ || n > data_.size() - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    uint32_t Big(size_t n)
    {
        if (!Take(n)) return 0;
        uint32_t v = 0;
        for (size_t i = pos_ - n; i < pos_; ++i) v = (v << 8) | data_[i];
        return v;
    }

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace tstables
