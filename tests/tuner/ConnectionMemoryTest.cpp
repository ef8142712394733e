// A tuner context hosted in the test process: connections come and go through
// its real pipes, and the runtime's heap is walked after each one.
#include "TestUtil.h"
#include "TunerClient.h"
#include "config/CConfig.h"
#include "relay/CStreamRelay.h"
#include "tuner/CTunerContext.h"
#include "tuner/HostedTuner.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <vector>

namespace {

// Bytes in use on the heaps that TunerHost (the C runtime's) and the test
// plug-ins and descrambler (the process heap: they have no C runtime) allocate
// from.
size_t HeapBytesInUse()
{
    _HEAPINFO entry = {};
    size_t used = 0;
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY) used += entry._size;
    HANDLE process = GetProcessHeap();
    if (reinterpret_cast<HANDLE>(_get_heap_handle()) != process && HeapLock(process)) {
        PROCESS_HEAP_ENTRY block = {};
        while (HeapWalk(process, &block))
            if (block.wFlags & PROCESS_HEAP_ENTRY_BUSY) used += block.cbData;
        HeapUnlock(process);
    }
    return used;
}

// Private memory the process has committed, heaps and all.
size_t CommittedPrivateBytes()
{
    size_t committed = 0;
    MEMORY_BASIC_INFORMATION m = {};
    for (const uint8_t* at = nullptr; VirtualQuery(at, &m, sizeof m) == sizeof m; at = static_cast<const uint8_t*>(m.BaseAddress) + m.RegionSize)
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) committed += m.RegionSize;
    return committed;
}

size_t QueuedChunks(CPipeServer& server)
{
    CLock hold(server.lock);
    return server.chunks.size();
}

// The control worker closes the tuner after the client has gone, then
// listens again. (The client library takes a missing pipe for a TunerHost that
// is not running, when no TunerHost process is there, as in this test.)
void WaitUntilClosed(CTunerContext& tuner)
{
    for (int i = 0; i < 250 && InterlockedCompareExchange(&tuner.inUse, 0, 0); ++i) Sleep(20);
    for (int i = 0; i < 250 && !WaitNamedPipeW(ControlPipeName(TunerKind::Terrestrial), 1); ++i) Sleep(20);
}

void Connection(std::vector<uint8_t>& buffer)
{
    CTunerClient c;
    ASSERT_EQ(ClientError::None, c.ConnectControl(TunerKind::Terrestrial));
    ASSERT_EQ(ClientError::None, c.ConnectData());
    DWORD got = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ClientError::None, c.ReadData(buffer.data(), kDataMessageSize, got, 5000));
        ASSERT_EQ(kDataMessageSize, got);
    }
    c.CloseData();
    c.CloseControl();
}

}  // namespace

// Every connection loads the plug-in (and the stand-in descrambler, found
// beside the test executable), starts and ends the workers, and streams in the
// plug-in's small paced blocks; none of it may stay behind. (A plug-in or
// descrambler linked with a static C++ runtime that is not given back at
// unload leaves about 73 kB per connection here.)
TEST(ConnectionMemory, EveryConnectionGivesBackWhatItTook)
{
    CTempDir dir(L"connmem");
    std::unique_ptr<CTunerContext> tuner = HostSimulatedTuner(dir, "RateKBps=8000\r\n");
    ASSERT_TRUE(tuner);

    std::vector<uint8_t> buffer(kDataMessageSize);
    auto settle = [&] { WaitUntilClosed(*tuner); };
    for (int i = 0; i < 2; ++i) {
        Connection(buffer);
        settle();
    }
    const size_t warm = HeapBytesInUse();
    for (int i = 0; i < 8; ++i) {
        Connection(buffer);
        settle();
        EXPECT_LE(HeapBytesInUse(), warm + 4096) << "after connection " << i + 1;
    }
    tuner.reset();
}

// A client that stops reading backs the stream up in the pipe server's queue;
// once it has gone, the memory that queue held goes back to the system rather
// than staying with the process.
TEST(ConnectionMemory, ABackedUpStreamIsGivenBackWhenTheClientGoes)
{
    CTempDir dir(L"backlog");
    std::unique_ptr<CTunerContext> tuner = HostSimulatedTuner(dir, "RateKBps=0\r\n");
    ASSERT_TRUE(tuner);
    CPipeServer& server = *tuner->relay->PipeServer();

    std::vector<uint8_t> buffer(kDataMessageSize);
    Connection(buffer);
    WaitUntilClosed(*tuner);
    const size_t before = CommittedPrivateBytes();
    for (int round = 0; round < 2; ++round) {
        CTunerClient c;
        ASSERT_EQ(ClientError::None, c.ConnectControl(TunerKind::Terrestrial));
        ASSERT_EQ(ClientError::None, c.ConnectData());
        DWORD got = 0;
        ASSERT_EQ(ClientError::None, c.ReadData(buffer.data(), kDataMessageSize, got, 5000));
        // 100 chunks: 58 MB held by the queue, and the relay's queue behind it.
        for (int i = 0; i < 200 && QueuedChunks(server) < 100; ++i) Sleep(50);
        EXPECT_GE(QueuedChunks(server), 100u) << "round " << round;
        c.CloseData();
        c.CloseControl();
        WaitUntilClosed(*tuner);
        // The connection's host is ended, and the next one's started, in the
        // background, within their bounds: what they hold meanwhile goes too.
        for (int i = 0; i < 100 && CommittedPrivateBytes() > before + 2 * 1000 * 1000; ++i) Sleep(100);
        EXPECT_LE(CommittedPrivateBytes(), before + 2 * 1000 * 1000) << "round " << round;
    }
    tuner.reset();
}
