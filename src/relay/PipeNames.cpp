#include "relay/PipeNames.h"

#include "relay/ScrambleBytes.h"

#include <cstring>

namespace {

template <size_t Len>
constexpr CStoredPipeName Store(uint32_t seed, const wchar_t (&name)[Len])
{
    static_assert(Len - 1 <= kPipeNameUnits, "pipe name longer than 45 units");
    std::array<uint8_t, kPipeNameUnits * 2> plain{};
    for (size_t i = 0; i + 1 < Len; ++i) {
        plain[i * 2] = static_cast<uint8_t>(name[i] & 0xFF);
        plain[i * 2 + 1] = static_cast<uint8_t>((name[i] >> 8) & 0xFF);
    }
    return CStoredPipeName{seed, scramble_detail::Unscramble(seed, plain)};
}

// Evaluated by the compiler: the plain names never reach the executable.
constexpr CStoredPipeName kDataT = Store(kSeedPipeNameDataT, kPlainPipeNameDataT);
constexpr CStoredPipeName kControlT = Store(kSeedPipeNameControlT, kPlainPipeNameControlT);
constexpr CStoredPipeName kDataS = Store(kSeedPipeNameDataS, kPlainPipeNameDataS);
constexpr CStoredPipeName kControlS = Store(kSeedPipeNameControlS, kPlainPipeNameControlS);

}  // namespace

const CStoredPipeName kStoredPipeNames[4] = {kDataT, kControlT, kDataS, kControlS};

void UnscramblePipeName(const CStoredPipeName& stored, wchar_t (&out)[kPipeNameUnits + 1])
{
    uint8_t bytes[kScrambleMaxLength] = {};
    ScrambleWithSeed(stored.seed, bytes, stored.block.data(), stored.block.size());
    std::memcpy(out, bytes, kPipeNameUnits * 2);
    out[kPipeNameUnits] = 0;
}

CPipeNamePair StoredPipeNamePair(bool terrestrial)
{
    wchar_t data[kPipeNameUnits + 1];
    wchar_t control[kPipeNameUnits + 1];
    UnscramblePipeName(kStoredPipeNames[terrestrial ? 0 : 2], data);
    UnscramblePipeName(kStoredPipeNames[terrestrial ? 1 : 3], control);
    return {data, control};
}
