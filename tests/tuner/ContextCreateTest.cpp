// A client that waits for a kind's pipes while its tuner context is made (at
// start-up, or after a plug-in change) connects the moment the control pipe
// listens: the context must be complete by then.
#include "TunerClient.h"
#include "tuner/HostedTuner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
