#include "CViewer.h"

#include "Console.h"

namespace {

constexpr uint32_t kWaitMs = 200;
// How much longer than asked slot 4 may take: the machine is shared.
constexpr uint32_t kWaitSlackMs = 300;
// Slot 7 is asked for pieces that cut packets anywhere.
constexpr uint32_t kCopySize = 100000;

class CHold {
public:
    explicit CHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~CHold() { ReleaseSRWLockExclusive(&lock_); }
    CHold(const CHold&) = delete;
    CHold& operator=(const CHold&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace

CViewer::~CViewer()
{
    StopReading();
}

bool CViewer::StartReading()
{
    stop_ = 0;
    thread_ = CreateThread(nullptr, 0, ReaderMain, this, 0, nullptr);
    return thread_ != nullptr;
}

void CViewer::StopReading()
{
    if (!thread_) return;
    stop_ = 1;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI CViewer::ReaderMain(void* self)
{
    static_cast<CViewer*>(self)->Read();
    return 0;
}

void CViewer::Take(const uint8_t* data, uint32_t size, const CStreamCheck::Expect& expect)
{
    CHold hold(lock_);
    const uint32_t stretches = check_.stretches;
    check_.Feed(data, size, expect);
    if (check_.stretches != stretches) {
        stretchKey_ = check_.Channel();
        stretchSeen_ = GetTickCount64();
    }
}

void CViewer::Read()
{
    uint8_t* copy = new uint8_t[kCopySize];
    uint32_t calls = 0;
    while (!stop_) {
        const uint64_t start = GetTickCount64();
        const uint32_t r = driver_->WaitForStream(kWaitMs);
        const uint32_t waited = MsSince(start);
        if (r == kStreamTimedOut) {
            if (waited > kWaitMs + kWaitSlackMs) ++waitErrors_;
            continue;
        }
        if (r != kStreamReady || driver_->ReadyBlocks() == 0) ++waitErrors_;
        for (;;) {
            // Read before the call: a tune that returned before it began must
            // leave nothing of the channel before.
            const long tuned = tuned_;
            uint8_t* data = nullptr;
            uint32_t size = 0, waiting = 0;
            BOOL32 ok = 0;
            if (++calls % 3 == 0) {
                size = kCopySize;
                ok = driver_->CopyStream(copy, &size, &waiting);
                data = copy;
                ++copies_;
            } else {
                ok = driver_->FetchBlock(&data, &size, &waiting);
                ++fetches_;
            }
            const long tuning = tuning_;
            CStreamCheck::Expect expect{tuned < 0, tuned >= 0 ? key_[tuned] : 0, 0};
            expect.next = tuning >= 0 ? key_[tuning] : expect.current;
            if (ok && data && size) Take(data, size, expect);
            if (!ok || !waiting) break;
        }
    }
    delete[] copy;
}

bool CViewer::TuneAndWatch(const CTuneStep& step, uint32_t packets, uint32_t ms, uint32_t& firstMs)
{
    const long index = tuning_ + 1;
    if (index >= 16) return false;
    key_[index] = SimChannelKey(step.simSpace, step.simChannel);
    tuning_ = index;
    const uint64_t start = GetTickCount64();
    const BOOL32 ok = step.inSpace ? driver_->TuneInSpace(static_cast<uint8_t>(step.channel))
                                   : driver_->Tune(step.space, step.channel);
    const uint32_t tuneMs = MsSince(start);
    if (!ok) {
        Print(name_);
        PrintLine(": the tune failed after ", tuneMs, " ms\n");
        return false;
    }
    tuned_ = index;
    if (driver_->CurrentSpace() != step.space || driver_->CurrentChannel() != step.channel) {
        Print(name_);
        PrintLine(": slots 15 and 16 say space ", driver_->CurrentSpace());
        PrintLine(" channel ", driver_->CurrentChannel());
        return false;
    }
    for (;;) {
        {
            CHold hold(lock_);
            if (stretchKey_ == key_[index] && check_.InStretch() >= packets) {
                firstMs = static_cast<uint32_t>(stretchSeen_ - start);
                break;
            }
        }
        if (MsSince(start) > ms) {
            Print(name_);
            PrintLine(": no stream of the channel tuned within ", ms, " ms\n");
            return false;
        }
        Sleep(20);
    }
    Print(name_);
    PrintLine(": tuned space ", step.space);
    PrintLine(" channel ", step.channel);
    PrintLine(" in ", tuneMs);
    PrintLine(" ms, its first packet after ", firstMs, " ms\n");
    return true;
}

bool CViewer::WaitUntilLost(uint32_t ms)
{
    const uint64_t start = GetTickCount64();
    while (driver_->IsOpen()) {
        if (MsSince(start) > ms) return false;
        Sleep(50);
    }
    return true;
}

bool CViewer::Report()
{
    CHold hold(lock_);
    const CStreamCheck& c = check_;
    Print(name_);
    PrintLine(": packets ", c.packets);
    PrintLine(", stretches ", c.stretches);
    PrintLine(", lost ", c.lost);
    PrintLine(", backwards ", c.backwards);
    PrintLine(", of another channel ", c.wrongChannel);
    PrintLine(", continuity errors ", c.ccErrors);
    PrintLine(", sync errors ", c.syncErrors);
    PrintLine(", wait errors ", waitErrors_);
    PrintLine(", fetches ", fetches_);
    PrintLine(", copies ", copies_, "\n");
    return c.stretches > 0 && !c.lost && !c.backwards && !c.wrongChannel && !c.ccErrors && !c.syncErrors &&
           !waitErrors_ && fetches_ && copies_;
}
