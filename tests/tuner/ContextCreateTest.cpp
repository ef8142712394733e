// A client that waits for a kind's pipes while its tuner context is made (at
// start-up, or after a plug-in change) connects the moment the control pipe
// listens: the context must be complete by then.
#include "TunerClient.h"
#include "tuner/HostedTuner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

// The program's allocations, of which one chosen size can be made to fail.
namespace {
volatile size_t g_failingSize = 0;
}  // namespace

void* operator new(size_t size)
{
    if (size != 0 && size == g_failingSize) {
        g_failingSize = 0;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// Opens the control pipe as soon as it exists, trying in a tight loop as an
// impatient client does, and sends a keep-alive: its reply, 0 when none came.
uint32_t KeepAliveAsSoonAsListening(const wchar_t* name, std::atomic<bool>& trying)
{
    CFileHandle pipe;
    const ULONGLONG deadline = GetTickCount64() + 15000;
    trying = true;
    while (!pipe && GetTickCount64() < deadline)
        pipe.Reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) return 0;
    const uint8_t command = kCmdKeepAlive;
    DWORD n = 0;
    if (!WriteFile(pipe.Get(), &command, 1, &n, nullptr) || n != 1) return 0;
    uint32_t reply = 0;
    if (!ReadFile(pipe.Get(), &reply, 4, &n, nullptr) || n != 4) return 0;
    return reply;
}

}  // namespace

TEST(ContextCreate, AClientWaitingForThePipesIsServedAtOnce)
{
    CTempDir dir(L"ctxcreate");
    for (int round = 0; round < 10; ++round) {
        std::atomic<bool> trying{false};
        uint32_t reply = 0;
        std::thread client([&] { reply = KeepAliveAsSoonAsListening(ControlPipeName(TunerKind::Terrestrial), trying); });
        while (!trying) Sleep(1);
        std::unique_ptr<CTunerContext> tuner = HostSimulatedTuner(dir, "");
        client.join();
        EXPECT_EQ(reply, 1u) << "round " << round;
        ASSERT_TRUE(tuner);
        tuner.reset();
    }
}

TEST(ContextCreate, AContextThatCannotBeAllocatedIsNoneRatherThanAnException)
{
    // The settings sheet's thread builds contexts, and nothing there catches.
    CDriverInfo info;
    info.fileName = L"BonDriver_Sim.dll";
    g_failingSize = sizeof(CTunerContext);
    std::unique_ptr<CTunerContext> t;
    EXPECT_NO_THROW(t = CTunerContext::Create(info, 1, CPipeNamePair{L"\\\\.\\pipe\\unused-data", L"\\\\.\\pipe\\unused-control"}));
    EXPECT_FALSE(t);
    g_failingSize = 0;
}
