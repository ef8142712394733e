// A channel scan of one tuner kind, on a thread of its own: each channel
// tuned in turn on the kind's tuner (borrowed from its feed: the scan waits
// while the kind has viewers or another client of TunerHost has the tuner,
// pauses when one comes, and goes on from the channel it was at once the
// tuner is free again), and read until its tables have all come
// (CTransportScan: PAT, PMTs, SDT, NIT, present/following EIT) or its time is
// up: no data within 2 s, or no PAT within 2 s of the first data, means
// nothing there; 12 s is the most a channel gets, since broadcasters repeat
// their NIT every 10 s. Each channel's result goes to the scan store, and is
// saved, as soon as it is read (a scan cut short keeps what it found); the
// events that came by go to the guide.
#pragma once
#include "feed/CTunerFeed.h"
#include "guide/GuideStore.h"
#include "lineup/ScanStore.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct CScanStatus {
    bool running = false;
    size_t done = 0, total = 0;  // channels
    size_t found = 0;            // television and radio services found so far
    std::string state;           // one line: what it does or how it ended; empty before any scan
    bool waiting = false;        // for the tuner ("waiting for the tuner")
    bool finished = false;       // it went over every channel it was given
};

class CChannelScan {
public:
    // say: a line for the console, from the scan's thread.
    using Say = std::function<void(const std::string&)>;
    CChannelScan(CTunerFeed& feed, const CListedKind& kind, CScanStore& store, CGuideStore& guide, Say say);
    ~CChannelScan();
    CChannelScan(const CChannelScan&) = delete;
    CChannelScan& operator=(const CChannelScan&) = delete;

    // Scans these channels of the kind (null: all it has); false when a
    // scan runs already. A scan that was aborted is waited for first, up to
    // kEndingMs; false, with Ending, when it has not ended by then.
    bool Start(const std::vector<const CListedChannel*>* only = nullptr);
    void Abort();
    bool Ending() const;
    void Wait();
    CScanStatus Status() const;
    // The channels the scan has yet to go over while it runs (waits and
    // pauses included); none otherwise.
    std::vector<const CListedChannel*> Pending() const;

    static constexpr unsigned kNoDataMs = 2000;
    static constexpr unsigned kNoPatMs = 2000;
    static constexpr unsigned kChannelMs = 12000;
    static constexpr unsigned kLookMs = 250;  // how often a scan that waits looks at the tuner
    static constexpr unsigned kEndingMs = 3000;

private:
    static constexpr int kLossesPerChannel = 3;
    enum class Outcome { Scanned, Paused, Lost, Failed };
    void Run(std::vector<const CListedChannel*> channels);
    // The tuner, once it is free; null when the scan is aborted first.
    std::unique_ptr<class CTunerLoan> WaitForTuner();
    // Paused: a viewer, or another client of TunerHost, has the tuner (or
    // the scan is aborted). Lost: TunerHost ended the connection, for
    // another client as far as can be told. Failed: TunerHost's connection
    // failed. `stop` says why.
    Outcome ScanOne(class CTunerLoan& loan, const CListedChannel& channel, std::string& stop);
    void SetState(const std::string& state, bool waiting = false);

    CTunerFeed& feed_;
    const CListedKind& kind_;
    CScanStore& store_;
    CGuideStore& guide_;
    const Say say_;
    std::atomic<bool> abort_{false};
    mutable std::mutex mutex_;
    std::condition_variable ended_;  // status_.running went false
    CScanStatus status_;
    std::vector<const CListedChannel*> channels_;  // the scan's, in its order: status_.done of them are done
    ULONGLONG startedMs_ = 0;
    std::thread thread_;
};
