// A viewer as the apps that load tuner plug-ins are: the tuner object, a
// thread of its own that waits for the stream (slot 4) and takes it (slots 6
// and 7) and checks it, while another changes channels.
#pragma once
#include "CStreamCheck.h"
#include "Kernel32.h"
#include "tuner/IBonDriver.h"

// One channel change: the client plug-in's space and channel, and what the
// simulated plug-in behind TunerHost then broadcasts (its space and channel).
struct CTuneStep {
    uint32_t space, channel;
    bool inSpace;  // by slot 2, the channel of the current space
    uint32_t simSpace, simChannel;
};

class CViewer {
public:
    CViewer(IBonDriver2* driver, const char* name) : driver_(driver), name_(name) {}
    ~CViewer();
    CViewer(const CViewer&) = delete;
    CViewer& operator=(const CViewer&) = delete;

    // Starts the reading thread (the tuner is open).
    bool StartReading();
    void StopReading();
    // Tunes and waits until `packets` payload packets of the new channel
    // came (within `ms`); false, said on the output, when not. Its time from
    // the call to the first packet of the channel in `firstMs`. With
    // `lagMs`, the reader stops taking the stream that long before the tune
    // and until it returns, as a busy app does: the old channel's stream
    // backs up in the plug-in (and beyond it, in the pipe) meanwhile.
    bool TuneAndWatch(const CTuneStep& step, uint32_t packets, uint32_t ms, uint32_t& firstMs, uint32_t lagMs = 0);
    // Reads until the stream stops and the tuner says it is not open any
    // more; false when that did not come within `ms`.
    bool WaitUntilLost(uint32_t ms);
    // Prints the counts; true when nothing was wrong.
    bool Report();

    IBonDriver2* driver() const { return driver_; }
    const char* name() const { return name_; }

private:
    static DWORD WINAPI ReaderMain(void* self);
    void Read();
    void Take(const uint8_t* data, uint32_t size, const CStreamCheck::Expect& expect);

    IBonDriver2* driver_;
    const char* name_;
    HANDLE thread_ = nullptr;
    volatile long stop_ = 0;
    volatile long lagging_ = 0;
    SRWLOCK lock_ = {};  // the checker, and what the reader tells the tuning thread
    CStreamCheck check_;
    // The tuning thread's, read by the reader: the channel tuned last (its
    // Tune returned), and the one being tuned.
    volatile long tuned_ = -1;
    volatile long tuning_ = -1;
    uint32_t key_[16] = {};
    uint32_t stretchKey_ = 0;
    uint64_t stretchSeen_ = 0;  // when the stretch now began
    uint32_t waitErrors_ = 0;   // slot 4 said ready with nothing ready, or waited longer than asked
    uint32_t fetches_ = 0, copies_ = 0;
};
