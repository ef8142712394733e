// One tuner kind as tsserve serves it: the one connection to TunerHost's
// pipes that all viewers of the kind share. The first viewer opens it and
// tunes; later viewers of the same channel join it; when the last one leaves,
// it closes and the tuner is released. Viewers of another channel are turned
// away while it is in use.
#pragma once
#include "CViewer.h"
#include "ChannelList.h"
#include "TsChecker.h"
#include "TunerClient.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CEventLog;

enum class JoinError {
    None,
    Busy,         // in use on another channel
    NotRunning,   // TunerHost is not running
    NotServed,    // TunerHost serves no tuner of this kind
    TunerFailed,  // the tuner did not open, or whatever answered is not TunerHost
    TunerBusy,    // another client of TunerHost holds the tuner
    NoData,       // tuned, but no stream came
    Stopping,
};

struct CFeedSettings {
    ULONGLONG maxLagMs = 4000;        // a viewer further behind is dropped
    size_t maxQueueBytes = 64u << 20;  // ...and one with more than this queued
    DWORD firstDataMs = 10000;         // how long a tune may take to bring data
};

struct CViewerStatus {
    std::string peer;
    std::string channel;
    double seconds = 0;
    uint64_t bytes = 0;
    size_t queuedBytes = 0;
};

struct CFeedStatus {
    std::string state;      // "idle", "opening", "streaming"
    std::string channel;    // the argument, e.g. "27"
    std::string channelName;
    uint64_t bytes = 0;     // since the connection opened
    double rate = 0;        // bytes per second, over the last seconds
    uint64_t syncLosses = 0;
    uint64_t ccErrors = 0;
    uint64_t sessions = 0;  // connections to TunerHost made so far
    std::vector<CViewerStatus> viewers;
};

class CTunerFeed {
public:
    CTunerFeed(TunerKind kind, const CFeedSettings& settings, CEventLog& log);
    ~CTunerFeed();
    CTunerFeed(const CTunerFeed&) = delete;
    CTunerFeed& operator=(const CTunerFeed&) = delete;

    // Adds a viewer of the channel, opening and tuning the tuner when it is
    // the first; on failure `reason` says why in one line.
    std::shared_ptr<CViewer> Join(const CListedChannel& channel, const std::string& peer, JoinError& error,
                                  std::string& reason);
    // The viewer's response ended: it stops being fed.
    void Leave(const std::shared_ptr<CViewer>& viewer);
    CFeedStatus Status() const;
    // Ends every viewer and closes the connection; Join fails from then on.
    void Shutdown();

    const char* KindName() const { return kind_ == TunerKind::Terrestrial ? "terrestrial" : "satellite"; }

private:
    enum class State { Idle, Opening, Streaming, Closing };

    ClientError Open(uint32_t value, ChunkPtr& first);
    void ReaderMain(ChunkPtr first);
    // With the lock held: feeds a message to every viewer, dropping those too far behind.
    void Distribute(const ChunkPtr& chunk);
    void RemoveLocked(const std::shared_ptr<CViewer>& viewer, const std::string& how);
    std::string BusyReason() const;

    const TunerKind kind_;
    const CFeedSettings settings_;
    CEventLog& log_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Idle;
    bool shutdown_ = false;
    CListedChannel channel_;
    std::vector<std::shared_ptr<CViewer>> viewers_;
    CTunerClient client_;
    std::thread reader_;

    // The stream's figures, under the lock.
    CTsChecker checker_;
    uint64_t bytes_ = 0;
    uint64_t sessions_ = 0;
    ULONGLONG rateFromMs_ = 0;
    uint64_t rateFromBytes_ = 0;
    double rate_ = 0;
};
