// The payload of a channel frame: 32-bit numbers and UTF-16 strings, each
// string its length in units and the units. The reader is bounded and takes
// nothing on trust: what the plug-in host sends may be anything.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class CWireWriter {
public:
    void U32(uint32_t v) { Put(&v, sizeof v); }
    void Text(const std::wstring& s)
    {
        U32(static_cast<uint32_t>(s.size()));
        Put(s.data(), s.size() * sizeof(wchar_t));
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }

private:
    void Put(const void* p, size_t n)
    {
        if (!n) return;
        const size_t at = bytes_.size();
        bytes_.resize(at + n);
        std::memcpy(bytes_.data() + at, p, n);
    }
    std::vector<uint8_t> bytes_;
};

class CWireReader {
public:
    explicit CWireReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool U32(uint32_t& v) { return Get(&v, sizeof v); }
    bool Text(std::wstring& s, uint32_t maxUnits)
    {
        uint32_t n = 0;
        if (!U32(n) || n > maxUnits || n > (bytes_.size() - at_) / sizeof(wchar_t)) return false;
        s.resize(n);
        return Get(s.data(), n * sizeof(wchar_t));
    }
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    bool Get(void* p, size_t n)
    {
        if (n > bytes_.size() - at_) return false;
        if (n) std::memcpy(p, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};
