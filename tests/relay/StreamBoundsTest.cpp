// What a plug-in or descrambler hands over is checked before it is copied, and
// the queues hold a bounded number of bytes as well as of entries.
#include "common/CriticalSection.h"
#include "config/CConfig.h"
#include "plughost/CHostRelay.h"
#include "relay/CStreamRelay.h"
#include "tuner/CTunerContext.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct QueueState {
    size_t count, bytes;
};

QueueState Blocks(CHostRelay& relay)
{
    CLock hold(relay.queueLock);
    return {relay.blocks.size(), relay.blocks.bytes()};
}

QueueState Chunks(CPipeServer& server)
{
    CLock hold(server.lock);
    return {server.chunks.size(), server.chunks.bytes()};
}

// The plug-in host's relay with the stand-in descrambler (beside the tests),
// its worker started and parked: pushed blocks stay queued.
class ParkedRelay : public ::testing::Test {
protected:
    void SetUp() override
    {
        view = VirtualAlloc(nullptr, kRingSectionBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        ASSERT_TRUE(view && ready);
        relay = std::make_unique<CHostRelay>(CRingWriter(view, ready.Get(), room.Get()));
        ASSERT_TRUE(relay->Start());
        ASSERT_TRUE(relay->descrambler) << "no b25decoder.dll beside the tests";
        ASSERT_EQ(0u, relay->workerGate.Pause(5000, relay->worker.Get()));
    }
    void TearDown() override
    {
        relay.reset();
        if (view) VirtualFree(view, 0, MEM_RELEASE);
    }
    void* view = nullptr;
    CHandle ready{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CHandle room{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::unique_ptr<CHostRelay> relay;
};

}  // namespace

// Sizes near 4 GiB would wrap the block's allocation on a 32-bit build; a size
// that runs past the plug-in's buffer into unmapped memory would fault.
TEST_F(ParkedRelay, BlocksOfImpossibleOrLyingSizesAreDropped)
{
    std::vector<uint8_t> packet(188, 0x47);
    relay->Push(packet.data(), 188);
    EXPECT_EQ(1u, Blocks(*relay).count);

    relay->Push(packet.data(), 0xFFFFFFF0u);
    relay->Push(packet.data(), kMaxBlockBytes + 1);
    EXPECT_EQ(1u, Blocks(*relay).count);

    // One readable page followed by one that is reserved only.
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    auto* pages = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_TRUE(pages);
    ASSERT_TRUE(VirtualAlloc(pages, si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    relay->Push(pages + si.dwPageSize - 188, 188);
    relay->Push(pages + si.dwPageSize - 188, 376);
    EXPECT_EQ(2u, Blocks(*relay).count);
    EXPECT_EQ(376u, Blocks(*relay).bytes);
    VirtualFree(pages, 0, MEM_RELEASE);
}

// Fewer than the entry limit, but more bytes than the bound: the queue is
// emptied as the next block arrives, as it is for too many entries.
TEST_F(ParkedRelay, TheBlockQueueIsBoundedInBytes)
{
    const uint32_t big = 1u << 20;
    std::vector<uint8_t> block(big, 0x47);
    const size_t fit = kBlockQueueByteLimit / big;
    for (size_t i = 0; i < fit; ++i) relay->Push(block.data(), big);
    EXPECT_EQ(fit, Blocks(*relay).count);
    relay->Push(block.data(), big);
    EXPECT_EQ(fit + 1, Blocks(*relay).count);  // not more than the bound yet when it arrived
    relay->Push(block.data(), big);
    EXPECT_EQ(1u, Blocks(*relay).count);
    EXPECT_EQ(big, Blocks(*relay).bytes);

    // The entry limit still holds for small blocks.
    for (size_t i = 0; i < kQueueLimit; ++i) relay->Push(block.data(), 188);
    EXPECT_EQ(kQueueLimit + 1, Blocks(*relay).count);
    relay->Push(block.data(), 188);
    EXPECT_EQ(1u, Blocks(*relay).count);
}

// Two stalled clients' chunk queues must fit a 32-bit process together: the
// queue is emptied past its byte bound, long before 1,000 chunks.
TEST(StreamBounds, TheChunkQueueIsBoundedInBytes)
{
    std::unique_ptr<CTunerContext> tuner = CTunerContext::Create(CDriverInfo{}, 0, StoredPipeNamePair(false));
    ASSERT_TRUE(tuner && tuner->relay && tuner->relay->PipeServer());
    CPipeServer& server = *tuner->relay->PipeServer();
    {
        // As if a data client were connected and had stopped reading.
        CLock hold(server.lock);
        server.dataClientConnected = 1;
    }
    CHeap heap(HeapCreate(0, 0, 0));
    std::vector<uint8_t> bytes(kChunkSize, 0x47);
    auto append = [&] { server.Append(CopyTsBlock(heap.Get(), bytes.data(), kChunkSize)); };
    const size_t fit = kChunkQueueByteLimit / kChunkSize + 1;  // the first that is more than the bound
    ASSERT_LT(fit, kQueueLimit);
    for (size_t i = 0; i < fit; ++i) append();
    EXPECT_EQ(fit, Chunks(server).count);
    EXPECT_GT(Chunks(server).bytes, kChunkQueueByteLimit);
    append();
    EXPECT_EQ(1u, Chunks(server).count);
    {
        CLock hold(server.lock);
        server.dataClientConnected = 0;
    }
    server.DiscardChunks();
}
