#include "SimStream.h"
#include "TestUtil.h"
#include "common/WinHandle.h"
#include "tuner/IBonDriver.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Pulls about `ms` worth of stream from a copy of the simulated plug-in.
std::vector<uint8_t> Pull(const CTempDir& dir, const std::string& settings, DWORD ms, uint32_t space,
                          uint32_t channel, std::vector<uint32_t>* sizes)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(CopyFromBin(L"BonDriver_Sim.dll", dir, L"BonDriver_Pull.dll"));
    WriteTextFile(dir.File(L"BonDriver_Pull.ini"), "[Sim]\r\n" + settings);
    CModule module(LoadLibraryW(dir.File(L"BonDriver_Pull.dll").c_str()));
    if (!module) return bytes;
    auto create = reinterpret_cast<CreateBonDriverFn>(GetProcAddress(module.Get(), kCreateBonDriverExport));
    IBonDriver* driver = create ? create() : nullptr;
    if (!driver) return bytes;
    IBonDriver2* driver2 = AsBonDriver2(driver);
    if (driver->Open() && driver2 && driver2->Tune(space, channel)) {
        const ULONGLONG end = GetTickCount64() + ms;
        while (GetTickCount64() < end) {
            uint8_t* data = nullptr;
            uint32_t size = 0, waiting = 0;
            if (driver->FetchBlock(&data, &size, &waiting) && data && size) {
                bytes.insert(bytes.end(), data, data + size);
                if (sizes) sizes->push_back(size);
            }
            if (!waiting) Sleep(10);
        }
    }
    driver->Close();
    driver->Destroy();
    return bytes;
}

// Checks that the bytes are whole packets from one channel with no gap.
void ExpectCompleteStream(const std::vector<uint8_t>& bytes, uint32_t space, uint32_t channel)
{
    ASSERT_GT(bytes.size(), 100 * kTsPacketSize);
    uint64_t expected = UINT64_MAX;
    for (size_t at = 0; at + kTsPacketSize <= bytes.size(); at += kTsPacketSize) {
        ASSERT_EQ(bytes[at], 0x47) << "at " << at;
        SimPayload p;
        if (!ParseSimPayload(&bytes[at], p)) continue;
        EXPECT_EQ(p.space, space);
        EXPECT_EQ(p.channel, channel);
        if (expected != UINT64_MAX) {
            // Two table packets are skipped here once every interval.
            while (expected % kSimPsiInterval < 2) ++expected;
            ASSERT_EQ(p.sequence, expected);
        }
        expected = p.sequence + 1;
    }
}

}  // namespace

TEST(SimPlugin, DeliversTheTunedChannelCompleteAtTheSetRate)
{
    CTempDir dir(L"simpull");
    std::vector<uint32_t> sizes;
    const std::vector<uint8_t> bytes = Pull(dir, "RateKBps=1000\r\n", 500, 1, 5, &sizes);
    ExpectCompleteStream(bytes, 1, 5);
    EXPECT_LT(bytes.size(), 1000u * 1000u);  // bounded by the rate: about half a second's worth
    for (uint32_t s : sizes) EXPECT_EQ(s % kTsPacketSize, 0u);
}

TEST(SimPlugin, FaultModes)
{
    CTempDir dir(L"simfaults");
    std::vector<uint32_t> sizes;
    // Odd sizes: the blocks cut packets, the stream stays whole.
    const std::vector<uint8_t> odd = Pull(dir, "FetchMode=1\r\n", 400, 0, 3, &sizes);
    ExpectCompleteStream(odd, 0, 3);
    bool anyOdd = false;
    for (uint32_t s : sizes) anyOdd |= s % kTsPacketSize != 0;
    EXPECT_TRUE(anyOdd);
    // Nothing at all.
    EXPECT_TRUE(Pull(dir, "FetchMode=2\r\n", 200, 0, 0, nullptr).empty());
    // A failing Tune delivers nothing.
    EXPECT_TRUE(Pull(dir, "TuneFails=1\r\n", 200, 0, 0, nullptr).empty());
    // A channel the space does not have is refused.
    EXPECT_TRUE(Pull(dir, "", 200, 2, 12, nullptr).empty());
}
