// The stream ring between a plug-in host and TunerHost, both ends in one
// process: the reader is woken once per wait, when what it asked for is there;
// a writer that waits for room is woken when the reader takes some; a full
// ring drops the backlog; positions no host writes are refused.
#include "common/WinHandle.h"
#include "relay/StreamRing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct CLocalRing {
    void* view = VirtualAlloc(nullptr, kRingSectionBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    CHandle ready{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CHandle room{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CRingWriter writer{view, ready.Get(), room.Get()};
    CRingReader reader{view, ready.Get(), room.Get()};
    CLocalRing() { reader.Reset(); }
    ~CLocalRing() { VirtualFree(view, 0, MEM_RELEASE); }
    bool Woken() { return WaitForSingleObject(ready.Get(), 0) == WAIT_OBJECT_0; }
    uint32_t Waiting()
    {
        const uint8_t* bytes = nullptr;
        uint32_t size = 0, all = 0;
        for (;;) {
            EXPECT_TRUE(reader.Peek(bytes, size, kRingBytes));
            if (!size) return all;
            reader.Consume(size);
            all += size;
        }
    }
};

}  // namespace

TEST(StreamRing, TheReaderIsWokenOnceWhatItWaitsForIsThereAndAFullRingDropsTheBacklog)
{
    CLocalRing ring;
    ASSERT_TRUE(ring.view && ring.ready);
    std::vector<uint8_t> block(48128, 0x47);
    ASSERT_TRUE(ring.reader.ArmWake(100000));
    ring.writer.Write(block.data(), 48128);
    EXPECT_FALSE(ring.Woken()) << "woken before the bytes it waits for";
    ring.writer.Write(block.data(), 48128);
    ring.writer.Write(block.data(), 48128);
    EXPECT_TRUE(ring.Woken());
    EXPECT_FALSE(ring.Woken()) << "woken more than once";
    EXPECT_EQ(ring.Waiting(), 3u * 48128);
    // Already there: nothing to wait for.
    ring.writer.Write(block.data(), 188);
    EXPECT_FALSE(ring.reader.ArmWake(188));
    EXPECT_EQ(ring.Waiting(), 188u);

    // The reader falls a whole ring behind: the block that finds no room asks
    // for the backlog to go, and wakes a waiting reader.
    bool deep = false;
    uint32_t written = 0;
    while (written + block.size() <= kRingBytes) {
        deep = ring.writer.Write(block.data(), 48128) || deep;
        written += 48128;
    }
    EXPECT_TRUE(deep) << "never asked the writer to pause";
    // A writer that waits for room is woken by the reader taking some.
    EXPECT_FALSE(ring.writer.WaitForRoom(48128, 20));
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(ring.reader.Peek(bytes, size, 48128));
    ring.reader.Consume(size);
    EXPECT_EQ(WaitForSingleObject(ring.room.Get(), 0), WAIT_OBJECT_0) << "the waiting writer was not woken";
    EXPECT_TRUE(ring.writer.WaitForRoom(48128, 0));
    ring.writer.Write(block.data(), 48128);
    ASSERT_TRUE(ring.reader.ArmWake(kRingBytes));
    ring.writer.Write(block.data(), 48128);
    EXPECT_TRUE(ring.Woken());
    EXPECT_TRUE(ring.reader.TakeFlush());
    EXPECT_EQ(ring.Waiting(), 0u);
    ring.writer.Write(block.data(), 1000);  // the stream goes on with what comes next
    EXPECT_EQ(ring.Waiting(), 1000u);
}

TEST(StreamRing, PositionsNoHostWritesAreRefused)
{
    CLocalRing ring;
    ASSERT_TRUE(ring.view);
    auto* header = static_cast<CRingHeader*>(ring.view);
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    header->head = header->tail + kRingBytes + 1;  // more than the ring holds
    EXPECT_FALSE(ring.reader.Peek(bytes, size, kRingBytes));
    header->head = header->tail - 1;  // behind what was read
    EXPECT_FALSE(ring.reader.Peek(bytes, size, kRingBytes));
    header->head = header->tail + 500;
    ASSERT_TRUE(ring.reader.Peek(bytes, size, kRingBytes));
    EXPECT_EQ(size, 500u);
    EXPECT_GE(bytes, static_cast<const uint8_t*>(ring.view) + sizeof(CRingHeader));
}

// A host that sets both positions where adding to them overflows: the reader
// takes neither, refuses them, and has nothing to wait for (its worker would
// turn for ever on a wake that can never come).
TEST(StreamRing, PositionsAtTheEndOfTheirRangeAreRefused)
{
    CLocalRing ring;
    ASSERT_TRUE(ring.view);
    auto* header = static_cast<CRingHeader*>(ring.view);
    ring.writer.Write(std::vector<uint8_t>(1000).data(), 1000);
    header->head = INT64_MAX;
    header->tail = INT64_MAX;
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(ring.reader.Peek(bytes, size, kRingBytes));
    EXPECT_FALSE(ring.reader.ArmWake(kRingBytes));
    // Its own tail is the reader's: the host's copy does not move it.
    header->head = 1500;
    ASSERT_TRUE(ring.reader.Peek(bytes, size, kRingBytes));
    EXPECT_EQ(size, 1500u);
}
