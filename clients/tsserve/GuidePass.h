// The guide's idle pass for one tuner kind: once the kind has had no viewer
// for a while, it tunes each transport stream that a scan found on the kind,
// in turn, for as long as it takes to take the stream's whole EIT schedule
// (eight days; a minute or so on most streams), at most kStreamMs each, and
// comes back to a stream when its schedule was last tried `every` ago. A
// viewer who comes takes the tuner back at once (CTunerLoan); the pass
// takes up the streams it did not finish the next time the kind is idle. A
// scan comes before it too: Hold() keeps it off the tuner. So does every
// other client of TunerHost: one who opens the kind's pipes gets the tuner
// from the pass, and the pass comes back once the kind has been free of
// them for the idle time too.
#pragma once
#include "CTunerFeed.h"
#include "GuideStore.h"
#include "ScanStore.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CEventLog;

struct CGuidePassSettings {
    ULONGLONG idleMs = 60000;            // how long the kind must be without viewers
    int64_t everySeconds = 4 * 3600;     // how often each stream's schedule is taken; 0: never
};

struct CGuidePassStatus {
    bool running = false;  // it has the tuner now
    std::string channel;   // the channel it reads
    int64_t lastPassUtc = 0;  // when it last went over every stream due
};

class CGuidePass {
public:
    CGuidePass(CTunerFeed& feed, const CListedKind& kind, CScanStore& scans, CGuideStore& guide,
               const CGuidePassSettings& settings, CEventLog& log);
    ~CGuidePass();
    CGuidePass(const CGuidePass&) = delete;
    CGuidePass& operator=(const CGuidePass&) = delete;

    void Start();
    void Stop();
    // While held it gives up the tuner and takes it no more.
    void Hold(bool hold);
    CGuidePassStatus Status() const;

    static constexpr ULONGLONG kStreamMs = 180000;  // a stream whose schedule takes longer is left for later
    static constexpr ULONGLONG kNoDataMs = 3000;
    static constexpr ULONGLONG kRetryMs = 5 * 60000;  // after TunerHost could not be had

private:
    struct Stream {
        const CListedChannel* channel;
        uint16_t networkId, transportStreamId;
    };
    void Main();
    std::vector<Stream> Due(int64_t nowUtc) const;
    // False when the pass must give the tuner up (a viewer, a scan, a stop, a failure).
    bool Collect(class CTunerLoan& loan, const Stream& stream);
    bool MustYield() const;

    CTunerFeed& feed_;
    const CListedKind& kind_;
    CScanStore& scans_;
    CGuideStore& guide_;
    const CGuidePassSettings settings_;
    CEventLog& log_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_{false};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    CGuidePassStatus status_;
    ULONGLONG retryMs_ = 0;  // the pass's thread's: not before then
    // The pass's thread's: another client of TunerHost has the tuner; the
    // pass waits until it has been free for the idle time.
    void GiveWay();
    std::thread thread_;
};
