#include "CViewer.h"

#include "Console.h"
#include "SrwHold.h"

namespace {

constexpr uint32_t kWaitMs = 200;
// How much longer than asked slot 4 may take: the machine is shared.
constexpr uint32_t kWaitSlackMs = 300;
// Slot 7 is asked for pieces that cut packets anywhere.
constexpr uint32_t kCopySize = 100000;

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
    CSrwHold hold(lock_);
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
        if (lagging_) {
            Sleep(10);
            continue;
        }
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

bool CViewer::TuneAndWatch(const CTuneStep& step, uint32_t packets, uint32_t ms, uint32_t& firstMs, uint32_t lagMs)
{
    const long index = tuning_ + 1;
    if (index >= 16) return false;
    key_[index] = SimChannelKey(step.simSpace, step.simChannel);
    if (lagMs) {
        lagging_ = 1;
        Sleep(lagMs);
    }
    tuning_ = index;
    const uint64_t start = GetTickCount64();
    const BOOL32 ok = step.inSpace ? driver_->TuneInSpace(static_cast<uint8_t>(step.channel))
                                   : driver_->Tune(step.space, step.channel);
    const uint32_t tuneMs = MsSince(start);
    lagging_ = 0;
    if (!ok) {
        CLine() << name_ << ": the tune failed after " << tuneMs << " ms";
        return false;
    }
    tuned_ = index;
    if (driver_->CurrentSpace() != step.space || driver_->CurrentChannel() != step.channel) {
        CLine() << name_ << ": slots 15 and 16 say space " << driver_->CurrentSpace() << " channel "
                << driver_->CurrentChannel();
        return false;
    }
    for (;;) {
        {
            CSrwHold hold(lock_);
            if (stretchKey_ == key_[index] && check_.InStretch() >= packets) {
                firstMs = static_cast<uint32_t>(stretchSeen_ - start);
                break;
            }
        }
        if (MsSince(start) > ms) {
            CLine() << name_ << ": no stream of the channel tuned within " << ms << " ms";
            return false;
        }
        Sleep(20);
    }
    CLine() << name_ << ": tuned space " << step.space << " channel " << step.channel << " in " << tuneMs
            << " ms, its first packet after " << firstMs << " ms";
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
    CSrwHold hold(lock_);
    const CStreamCheck& c = check_;
    CLine() << name_ << ": packets " << c.packets << ", stretches " << c.stretches << ", lost " << c.lost
            << ", backwards " << c.backwards << ", of another channel " << c.wrongChannel << ", continuity errors "
            << c.ccErrors << ", sync errors " << c.syncErrors << ", wait errors " << waitErrors_ << ", fetches "
            << fetches_ << ", copies " << copies_;
    return c.stretches > 0 && !c.lost && !c.backwards && !c.wrongChannel && !c.ccErrors && !c.syncErrors &&
           !waitErrors_ && fetches_ && copies_;
}
