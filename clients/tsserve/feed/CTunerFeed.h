// One tuner kind as tsserve serves it: the one connection to TunerHost's
// pipes that all viewers of the kind share. A session thread opens it and
// tunes for the first viewer; later viewers of the same channel join it; when
// the last one leaves, it closes and the tuner is released, and a viewer of
// another channel waiting by then gets a new session. While viewers watch,
// another channel is turned away: first, though, each viewer's connection is
// asked whether it has closed, so that a player changing channel is not
// refused by its own departed stream.
//
// A viewer may watch one service of the channel: it is fed that service cut
// out of the stream (CServiceFilter, one per service watched, shared by its
// viewers), so viewers of different services of one transport stream share
// the tuning. A tap sees every message the tuner brings (the guide takes its
// events from it). While no viewer watches, the scan and the guide's idle
// pass may borrow the tuner; a viewer who comes takes it back at once, and
// the connection the borrower had open serves the viewer's tune. A tuner
// stays open a few seconds after its last viewer: a player that comes back,
// or a server that probes and then plays, is served without a new tune, and
// a viewer of another channel retunes it at once.
#pragma once
#include "CViewer.h"
#include "ChannelList.h"
#include "TsChecker.h"
#include "TunerClient.h"
#include "ServiceFilter.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
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
    DWORD keepMs = 5000;               // the tuner stays open this long after its last viewer
};

struct CViewerStatus {
    std::string peer;     // also its id among the tuner's users
    std::string channel;
    CStreamUser user;
    double seconds = 0;
    uint64_t bytes = 0;
    size_t queuedBytes = 0;
    std::map<uint16_t, CPidTally> pids;  // what it was sent
    uint64_t drops = 0;
};

struct CFeedStatus {
    std::string state;      // "idle", "opening", "streaming", "keeping" (no viewer), "closing", or what a
                            // borrower does ("scanning")
    std::string channel;    // the argument, e.g. "27"
    std::string channelName;
    uint64_t bytes = 0;     // since the connection opened
    double rate = 0;        // bytes per second, over the last seconds
    uint64_t syncLosses = 0;
    uint64_t ccErrors = 0;
    uint64_t sessions = 0;  // connections to TunerHost made so far for viewers
    std::vector<CViewerStatus> viewers;
    bool lent = false;      // a borrower (a scan, the idle pass) has the tuner
    std::string lentFor;    // what for: "scanning", "collecting the guide"
};

// Opens TunerHost's control pipe of the kind and checks its answer, waiting
// while TunerHost is between two clients, and 3 s while another client reads
// the kind's stream (CTunerClient::ConnectControlWhenFree); gives up early
// when asked. With
// `yield`, the connection gives the tuner to TunerHost's next client
// (`yields` says whether TunerHost does).
ClientError ConnectTunerHost(CTunerClient& client, TunerKind kind, const std::function<bool()>& giveUp,
                             bool yield = false, bool* yields = nullptr);

class CTunerFeed {
public:
    CTunerFeed(TunerKind kind, const CFeedSettings& settings, CEventLog& log);
    ~CTunerFeed();
    CTunerFeed(const CTunerFeed&) = delete;
    CTunerFeed& operator=(const CTunerFeed&) = delete;

    // Whether a viewer of the channel, of this priority, would be let in
    // (what HEAD answers), waiting up to waitMs for the tuner to be freed;
    // `reason` says why not in one line.
    bool MayJoin(const CListedChannel& channel, JoinError& error, std::string& reason, int priority = 0,
                 DWORD waitMs = 0);
    // Adds a viewer of the channel at once; it then waits for its tune
    // (CViewer::WaitStart). Null when the kind is in use on another channel
    // by users it may not take the tuner from (see Judge). A viewer that
    // takes the tuner ends the other channel's viewers' streams.
    // gone: whether the viewer's connection has closed.
    // service: the one service the viewer watches; 0 for the whole stream.
    std::shared_ptr<CViewer> Join(const CListedChannel& channel, uint16_t service, const std::string& peer,
                                  std::function<bool()> gone, JoinError& error, std::string& reason,
                                  const CStreamUser& user = {});
    // The viewer's response ended: it stops being fed.
    void Leave(const std::shared_ptr<CViewer>& viewer);
    CFeedStatus Status() const;
    // The viewers that left (or were ended) since the last call, as they
    // were last: what their streams were sent, drops included.
    std::vector<CViewerStatus> TakeEnded();
    // Ends every viewer and closes the connection; Join fails from then on.
    void Shutdown();

    const char* KindName() const { return kind_ == TunerKind::Terrestrial ? "terrestrial" : "satellite"; }
    TunerKind Kind() const { return kind_; }

    // Sees every message a viewer's session reads, on the session's thread;
    // `fresh` says the first of a tune. Set before the first viewer comes.
    using StreamTap = std::function<void(const uint8_t* data, size_t size, bool fresh)>;
    void SetTap(StreamTap tap) { tap_ = std::move(tap); }
    // Told whenever the tuner's users change (a viewer comes or goes, a
    // borrower takes or gives back the tuner), with the feed's lock held: it
    // may note the change, never call the feed. Set before the first viewer comes.
    void SetUsersChanged(std::function<void()> changed) { usersChanged_ = std::move(changed); }

    // The tuner for a borrower while no viewer wants it (`purpose` shows in
    // the status, e.g. "scanning"); false, with why, when viewers have it or
    // another borrower does. The borrower drives LentClient() until
    // LoanRevoked() (a viewer came, or tsserve stops), then gives it back.
    bool Borrow(const std::string& purpose, std::string& reason);
    CTunerClient& LentClient() { return client_; }
    bool LoanRevoked() const { return revoked_; }
    // Shown in the status while lent.
    void SetLentChannel(const CListedChannel& channel);
    // Ends the loan. TunerHost's connection stays open for a viewer who
    // waits for it, and is closed otherwise.
    void GiveBack();
    // How long no viewer has had the tuner (0 while one has, or it is lent).
    ULONGLONG IdleMs() const;

private:
    enum class State { Idle, Opening, Streaming, Closing };

    void SessionMain();
    // Opens the pipes (`connected`: anew; a borrower's connection, or the
    // one kept from the last viewer, serves otherwise), tunes and waits for
    // the first message; gives up early (abandoned) once no viewer wants the
    // channel any more.
    ClientError Open(const CListedChannel& channel, ChunkPtr& first, bool& abandoned, bool& connected);
    // Streams until the session is to close; why it ended otherwise.
    std::string Stream();
    bool Wanted(const CListedChannel& channel) const;  // with the lock held
    // With the lock held: what a request of the channel and priority gets.
    enum class Verdict { Take, Preempt, Refuse };
    Verdict Judge(const CListedChannel& channel, int priority) const;
    // With the lock held: whether it may come in, waiting up to waitMs for
    // users to leave (the lock let go meanwhile).
    bool Admit(std::unique_lock<std::mutex>& lock, const CListedChannel& channel, int priority, DWORD waitMs,
               JoinError& error, std::string& reason);
    static constexpr ULONGLONG kFreeLookMs = 100;  // how often a waiting request looks at the users' connections
    // With the lock held: feeds a message to every viewer, dropping those too far behind.
    void Distribute(const ChunkPtr& chunk);
    // With the lock held: removes the viewers whose connections closed.
    void DropGone();
    void RemoveLocked(const std::shared_ptr<CViewer>& viewer, const std::string& how);
    static CViewerStatus StatusOf(const CViewer& viewer, ULONGLONG now);
    // With the lock held: the message cut to one service, made once per message.
    ChunkPtr ServiceChunk(const ChunkPtr& chunk, uint16_t service, std::map<uint16_t, ChunkPtr>& made);
    void EndMissingServices();
    std::string BusyReason(int priority) const;
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
    // The service each viewer of one watches, and a filter per service watched.
    std::map<std::shared_ptr<CViewer>, uint16_t> services_;
    std::map<uint16_t, std::unique_ptr<tstables::CServiceFilter>> filters_;
    CTunerClient client_;      // the session thread's, or the borrower's
    StreamTap tap_;
    std::function<void()> usersChanged_;
    void Changed() const
    {
        if (usersChanged_) usersChanged_();
    }
    bool lent_ = false;
    std::atomic<bool> revoked_{false};
    std::string lentFor_;
    CListedChannel lentChannel_;
    std::condition_variable returned_;
    std::condition_variable freed_;  // the last viewer left
    ULONGLONG idleSinceMs_ = GetTickCount64();
    ULONGLONG keepUntilMs_ = 0;  // a session without viewers closes then
    std::thread thread_;
    std::vector<CViewerStatus> ended_;  // until TakeEnded
    static constexpr size_t kEndedKept = 256;

    // The stream's figures, under the lock.
    CTsChecker checker_;
    uint64_t bytes_ = 0;
    uint64_t sessions_ = 0;
    ULONGLONG rateFromMs_ = 0;
    uint64_t rateFromBytes_ = 0;
    double rate_ = 0;
};
