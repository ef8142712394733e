// One tuner kind as tsserve serves it: the one connection to TunerHost's
// pipes that all viewers of the kind share. A session thread opens it and
// tunes for the first viewer; later viewers of the same channel join it; when
// the last one leaves, it closes and the tuner is released, and a viewer of
// another channel waiting by then gets a new session. While viewers watch,
// another channel is turned away: first, though, each viewer's connection is
// asked whether it has closed, so that a player changing channel is not
// refused by its own departed stream.
#pragma once
#include "CViewer.h"
#include "ChannelList.h"
#include "TsChecker.h"
#include "TunerClient.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CEventLog;

struct CFeedSettings {
    ULONGLONG maxLagMs = 4000;         // a viewer further behind is dropped
    size_t maxQueueBytes = 64u << 20;  // ...and one with more than this queued
    DWORD firstDataMs = 10000;         // how long a tune may take to bring data
    DWORD stallMs = 10000;             // data that stops this long ends the session
};

struct CViewerStatus {
    std::string peer;
    std::string channel;
    double seconds = 0;
    uint64_t bytes = 0;
    size_t queuedBytes = 0;
};

struct CFeedStatus {
    std::string state;      // "idle", "opening", "streaming", "closing"
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

    // Whether a viewer of the channel would be let in now (what HEAD
    // answers); `reason` says why not in one line.
    bool MayJoin(const CListedChannel& channel, JoinError& error, std::string& reason);
    // Adds a viewer of the channel at once; it then waits for its tune
    // (CViewer::WaitStart). Null when the kind is in use on another channel.
    // gone: whether the viewer's connection has closed.
    std::shared_ptr<CViewer> Join(const CListedChannel& channel, const std::string& peer,
                                  std::function<bool()> gone, JoinError& error, std::string& reason);
    // The viewer's response ended: it stops being fed.
    void Leave(const std::shared_ptr<CViewer>& viewer);
    CFeedStatus Status() const;
    // Ends every viewer and closes the connection; Join fails from then on.
    void Shutdown();

    const char* KindName() const { return kind_ == TunerKind::Terrestrial ? "terrestrial" : "satellite"; }

private:
    enum class State { Idle, Opening, Streaming, Closing };

    void SessionMain();
    // Opens the pipes, tunes and waits for the first message; gives up early
    // (abandoned) once no viewer wants the channel any more.
    ClientError Open(const CListedChannel& channel, ChunkPtr& first, bool& abandoned);
    // Streams until the session is to close; why it ended otherwise.
    std::string Stream();
    bool Wanted(const CListedChannel& channel) const;  // with the lock held
    // With the lock held: feeds a message to every viewer, dropping those too far behind.
    void Distribute(const ChunkPtr& chunk);
    // With the lock held: removes the viewers whose connections closed.
    void DropGone();
    void RemoveLocked(const std::shared_ptr<CViewer>& viewer, const std::string& how);
    std::string BusyReason() const;
    static std::string FailureReason(ClientError e, const char* kind, const CListedChannel& channel,
                                     DWORD firstDataMs, JoinError& error);

    const TunerKind kind_;
    const CFeedSettings settings_;
    CEventLog& log_;

    mutable std::mutex mutex_;
    State state_ = State::Idle;
    bool shutdown_ = false;
    bool running_ = false;     // the session thread runs
    CListedChannel channel_;   // what the viewers want
    CListedChannel session_;   // what the session thread opened or opens
    std::vector<std::shared_ptr<CViewer>> viewers_;
    CTunerClient client_;      // the session thread's
    std::thread thread_;

    // The stream's figures, under the lock.
    CTsChecker checker_;
    uint64_t bytes_ = 0;
    uint64_t sessions_ = 0;
    ULONGLONG rateFromMs_ = 0;
    uint64_t rateFromBytes_ = 0;
    double rate_ = 0;
};
