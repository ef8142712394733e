#include "ChannelArgument.h"

#include "tuner/ChannelSelection.h"

#include <cwctype>

namespace {

std::optional<uint32_t> Number(const std::wstring& text, int base)
{
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t n = 0;
    for (wchar_t ch : text) {
        int digit;
        if (ch >= L'0' && ch <= L'9') digit = ch - L'0';
        else if (base == 16 && std::towlower(ch) >= L'a' && std::towlower(ch) <= L'f') digit = std::towlower(ch) - L'a' + 10;
        else return std::nullopt;
        n = n * base + digit;
    }
    if (n > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(n);
}

std::optional<uint32_t> Frequency(TerrestrialBand band, uint32_t index)
{
    const uint32_t mhz = FrequencyOfChannel(band, index);
    if (!mhz) return std::nullopt;
    return mhz * 1000;
}

}  // namespace

std::optional<uint32_t> ParseChannelArgument(const std::wstring& text, bool terrestrial)
{
    if (!terrestrial) {
        const bool prefixed = text.size() > 2 && text[0] == L'0' && std::towlower(text[1]) == L'x';
        return Number(prefixed ? text.substr(2) : text, 16);
    }
    if (!text.empty() && std::towlower(text[0]) == L'c') {
        const auto n = Number(text.substr(1), 10);
        if (!n || *n < 13 || *n > 63) return std::nullopt;
        return Frequency(TerrestrialBand::CATV, *n - 13);
    }
    const auto n = Number(text, 10);
    if (!n) return std::nullopt;
    if (*n >= 1000) return n;  // a frequency in kHz
    if (*n >= 13 && *n <= 62) return Frequency(TerrestrialBand::UHF, *n - 13);
    if (*n >= 1 && *n <= 3) return Frequency(TerrestrialBand::VHF, *n - 1);
    if (*n >= 4 && *n <= 12) return Frequency(TerrestrialBand::VHF, *n);
    return std::nullopt;
}

std::wstring TerrestrialChannelArgument(int band, uint32_t index)
{
    switch (static_cast<TerrestrialBand>(band)) {
    case TerrestrialBand::UHF: return index <= 49 ? std::to_wstring(index + 13) : L"";
    case TerrestrialBand::CATV: return index <= 50 ? L"C" + std::to_wstring(index + 13) : L"";
    case TerrestrialBand::VHF:
        if (index <= 2) return std::to_wstring(index + 1);
        if (index >= 4 && index <= 12) return std::to_wstring(index);
        return L"";
    }
    return L"";
}
