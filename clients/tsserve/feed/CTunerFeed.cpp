#include "CTunerFeed.h"

#include "base/CEventLog.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

namespace {

constexpr DWORD kConnectMs = 10000;      // TunerHost may be rebuilding the kind, or slow to offer the data pipe
constexpr DWORD kOtherClientMs = 3000;   // another client who reads the stream this long holds the kind
constexpr DWORD kReadSliceMs = 250;      // how soon the reader notices it is to stop

std::string Plural(size_t n, const char* one)
{
    return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

std::string Describe(const CListedChannel& c)
{
    return c.name.empty() ? c.argument : c.argument + " (" + c.name + ")";
}

bool SameChannel(const CListedChannel& a, const CListedChannel& b)
{
    return a.band == b.band && a.index == b.index;
}

}  // namespace

ClientError ConnectTunerHost(CTunerClient& client, TunerKind kind, const std::function<bool()>& giveUp, bool yield,
                             bool* yields)
{
    // Busy while TunerHost closes the last client's tuner, which a slow
    // plug-in makes last seconds: a viewer who comes then is served.
    ClientError e = client.ConnectControlWhenFree(kind, kOtherClientMs, kConnectMs, giveUp);
    // The yield first: until it is said, another client finds the pipe busy.
    bool yielding = false;
    if (e == ClientError::None && yield) e = client.YieldTuner(yielding);
    if (yields) *yields = yielding;
    if (e == ClientError::None) e = client.Challenge();
    return e;
}

CTunerFeed::CTunerFeed(TunerKind kind, const CFeedSettings& settings, CEventLog& log)
    : kind_(kind), settings_(settings), log_(log)
{
}

CTunerFeed::~CTunerFeed()
{
    Shutdown();
}

std::string CTunerFeed::BusyReason(int priority) const
{
    int highest = -1;
    for (const auto& v : viewers_) highest = std::max(highest, v->User().priority);
    return std::string("the ") + KindName() + " tuner is in use on channel " + Describe(channel_) + " by " +
           Plural(viewers_.size(), "viewer") + " (priority up to " + std::to_string(highest) + ", this request's " +
           std::to_string(priority) + "); only that channel can be watched until they leave";
}

bool CTunerFeed::Wanted(const CListedChannel& channel) const
{
    return !shutdown_ && !viewers_.empty() && SameChannel(channel_, channel);
}

void CTunerFeed::DropGone()
{
    for (size_t i = viewers_.size(); i-- > 0;) {
        const std::shared_ptr<CViewer> viewer = viewers_[i];
        if (!viewer->Gone()) continue;
        viewer->End("");
        RemoveLocked(viewer, "left");
    }
}

// The order of the rules is what recorders count on: a request for what
// the tuner carries joins it, whatever its priority; a free tuner is taken
// (from a borrower too, which yields to everyone); a request of priority 0
// or more, higher than every user's, takes the tuner from them; any other
// waits a moment for the tuner to be freed (its users' connections looked
// at meanwhile), then is refused.
CTunerFeed::Verdict CTunerFeed::Judge(const CListedChannel& channel, int priority) const
{
    if (viewers_.empty() || SameChannel(channel_, channel)) return Verdict::Take;
    if (priority < 0) return Verdict::Refuse;
    for (const auto& v : viewers_)
        if (v->User().priority >= priority) return Verdict::Refuse;
    return Verdict::Preempt;
}

bool CTunerFeed::Admit(std::unique_lock<std::mutex>& lock, const CListedChannel& channel, int priority,
                       DWORD waitMs, JoinError& error, std::string& reason)
{
    const ULONGLONG until = GetTickCount64() + waitMs;
    for (;;) {
        if (shutdown_) {
            error = JoinError::Stopping;
            reason = "tsserve is stopping";
            return false;
        }
        if (Judge(channel, priority) == Verdict::Refuse) DropGone();
        if (Judge(channel, priority) != Verdict::Refuse) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= until) break;
        freed_.wait_for(lock, std::chrono::milliseconds(std::min<ULONGLONG>(until - now, kFreeLookMs)));
    }
    error = JoinError::Busy;
    reason = BusyReason(priority);
    return false;
}

bool CTunerFeed::MayJoin(const CListedChannel& channel, JoinError& error, std::string& reason, int priority,
                         DWORD waitMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return Admit(lock, channel, priority, waitMs, error, reason);
}

std::shared_ptr<CViewer> CTunerFeed::Join(const CListedChannel& channel, uint16_t service, const std::string& peer,
                                          std::function<bool()> gone, JoinError& error, std::string& reason,
                                          const CStreamUser& user)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!Admit(lock, channel, user.priority, 0, error, reason)) return nullptr;
    if (Judge(channel, user.priority) == Verdict::Preempt) {
        // The users' streams end; the session retunes at once.
        const std::string why = "the tuner was taken by a request of priority " + std::to_string(user.priority) +
                                " for " + Describe(channel);
        for (size_t i = viewers_.size(); i-- > 0;) {
            const std::shared_ptr<CViewer> viewer = viewers_[i];
            viewer->End(why);
            RemoveLocked(viewer, "ended: " + why);
        }
    }
    // The first viewer names the channel; a session of another one that is
    // still opening or closing gives way to it.
    if (viewers_.empty()) channel_ = channel;
    const std::string watched = service ? "/" + std::to_string(service) : "";
    auto viewer = std::make_shared<CViewer>(peer, channel.argument + watched, std::move(gone), user);
    viewers_.push_back(viewer);
    if (service) services_[viewer] = service;
    // A borrower of the tuner hands it back at once.
    if (lent_) revoked_ = true;
    if (state_ == State::Streaming && SameChannel(session_, channel)) viewer->Start();
    log_.Line(std::string(KindName()) + ": viewer " + peer + " joined " + Describe(channel) +
              (service ? ", service " + std::to_string(service) : "") + " (" + Plural(viewers_.size(), "viewer") +
              ")");
    if (!running_) {
        // The last session's thread has finished or is about to: it leaves
        // its lock for good before it clears running_.
        if (thread_.joinable()) thread_.join();
        try {
            thread_ = std::thread(&CTunerFeed::SessionMain, this);
            running_ = true;
        } catch (const std::system_error&) {
            viewers_.clear();
            services_.clear();
            Changed();
            error = JoinError::TunerFailed;
            reason = "tsserve could not start a thread for the tuner";
            return nullptr;
        }
    }
    Changed();
    error = JoinError::None;
    return viewer;
}

void CTunerFeed::SessionMain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!shutdown_ && !viewers_.empty()) {
        const CListedChannel channel = channel_;
        session_ = channel;
        state_ = State::Opening;
        lock.unlock();
        ChunkPtr first;
        bool abandoned = false, connected = false;
        const ClientError e = Open(channel, first, abandoned, connected);
        if (e == ClientError::None && tap_) tap_(first->bytes.data(), first->bytes.size(), true);
        lock.lock();
        if (e == ClientError::None && Wanted(channel)) {
            checker_ = CTsChecker();
            filters_.clear();
            bytes_ = rateFromBytes_ = 0;
            rateFromMs_ = GetTickCount64();
            rate_ = 0;
            if (connected) ++sessions_;
            state_ = State::Streaming;
            log_.Line(std::string(KindName()) + ": opened the tuner on " + Describe(channel));
            for (const auto& viewer : viewers_) viewer->Start();
            Distribute(first);
            lock.unlock();
            const std::string ended = Stream();
            lock.lock();
            // A viewer of another channel came while the tuner was kept.
            const bool retune = ended.empty() && !shutdown_ && !viewers_.empty() && !SameChannel(channel_, session_);
            lock.unlock();
            client_.CloseData();
            if (!retune) client_.CloseControl();
            lock.lock();
            if (retune) {
                log_.Line(std::string(KindName()) + ": retunes from " + Describe(session_) + " to " +
                          Describe(channel_));
                continue;
            }
            if (!ended.empty()) {
                // Viewers waiting for another channel by now stay for the next session.
                for (size_t i = viewers_.size(); i-- > 0;) {
                    const std::shared_ptr<CViewer> viewer = viewers_[i];
                    if (!viewer->Started()) continue;
                    viewer->End(ended);
                    log_.Line(std::string(KindName()) + ": viewer " + viewer->Peer() + " ended: " + ended);
                    viewers_.erase(viewers_.begin() + static_cast<std::ptrdiff_t>(i));
                    services_.erase(viewer);
                }
                Changed();
            }
            log_.Line(std::string(KindName()) + ": released the tuner" + (ended.empty() ? "" : ": " + ended));
            continue;
        }
        // A session that gave up while the tuner was still lent leaves the borrower's connection alone.
        if (!lent_) {
            client_.CloseData();
            client_.CloseControl();
        }
        if (e == ClientError::None || abandoned || !Wanted(channel)) continue;
        JoinError error = JoinError::TunerFailed;
        const std::string reason = FailureReason(e, KindName(), channel, settings_.firstDataMs, error);
        for (const auto& viewer : viewers_) viewer->Fail(error, reason);
        viewers_.clear();
        services_.clear();
        Changed();
        freed_.notify_all();
        log_.Line(std::string(KindName()) + ": could not open the tuner for " + Describe(channel) + ": " + reason);
    }
    // A retune's connection that no viewer wants any more.
    if (!lent_ && client_.HasControl()) {
        client_.CloseData();
        client_.CloseControl();
    }
    state_ = State::Idle;
    running_ = false;
    idleSinceMs_ = GetTickCount64();
}

// The tune comes before the data pipe is offered, so that every message read
// is of the new channel.
ClientError CTunerFeed::Open(const CListedChannel& channel, ChunkPtr& first, bool& abandoned, bool& connected)
{
    auto giveUp = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned = !Wanted(channel);
        return abandoned;
    };
    {
        // A borrower gives the tuner back at once: its connection serves this tune.
        std::unique_lock<std::mutex> lock(mutex_);
        returned_.wait(lock, [this] { return !lent_ || shutdown_; });
        if (shutdown_) {
            abandoned = true;
            return ClientError::Io;
        }
    }
    auto tune = [&] {
        ClientError e = client_.Command(kCmdPauseData);
        if (e == ClientError::None) e = client_.Command(kCmdSelectChannel, channel.value, nullptr);
        if (e == ClientError::None) e = client_.Command(kCmdRearmData);
        if (e == ClientError::None) e = client_.OpenData(kConnectMs);
        return e;
    };
    ClientError e = ClientError::Io;
    if (client_.HasControl()) {
        // A borrower's connection yields the tuner to TunerHost's next
        // client; a viewer's does not. (One that TunerHost gave to another
        // client fails here, and a new one is tried.)
        e = client_.Command(kCmdKeep);
        if (e == ClientError::None) e = tune();
        if (e != ClientError::None) {
            client_.CloseData();
            client_.CloseControl();
        }
    }
    if (!client_.HasControl()) {
        e = ConnectTunerHost(client_, kind_, giveUp);
        connected = e == ClientError::None;
        if (e == ClientError::None) e = tune();
    }
    if (e != ClientError::None) return e == ClientError::Timeout ? ClientError::Io : e;
    auto chunk = std::make_shared<CChunk>();
    chunk->bytes.resize(kDataMessageSize);
    const ULONGLONG until = GetTickCount64() + settings_.firstDataMs;
    for (;;) {
        DWORD got = 0;
        e = client_.ReadData(chunk->bytes.data(), kDataMessageSize, got, kReadSliceMs);
        if (e == ClientError::None) {
            chunk->bytes.resize(got);
            break;
        }
        if (e != ClientError::Timeout || GetTickCount64() >= until || giveUp()) return e;
    }
    chunk->receivedMs = GetTickCount64();
    first = chunk;
    return ClientError::None;
}

std::string CTunerFeed::Stream()
{
    std::shared_ptr<CChunk> chunk;
    ULONGLONG lastData = GetTickCount64();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != State::Streaming) return "";
            if (viewers_.empty() && GetTickCount64() >= keepUntilMs_) {
                state_ = State::Closing;
                return "";
            }
            // A viewer of another channel came while the tuner was kept.
            if (!viewers_.empty() && !SameChannel(channel_, session_)) return "";
        }
        if (!chunk) {
            chunk = std::make_shared<CChunk>();
            chunk->bytes.resize(kDataMessageSize);
        }
        DWORD got = 0;
        const ClientError e = client_.ReadData(chunk->bytes.data(), kDataMessageSize, got, kReadSliceMs);
        const ULONGLONG now = GetTickCount64();
        if (e == ClientError::Timeout) {
            if (now - lastData < settings_.stallMs) continue;
            return "no data came from TunerHost for " + std::to_string(settings_.stallMs / 1000) +
                   " s (has the tuner lost its signal?)";
        }
        if (e != ClientError::None) return std::string("TunerHost ended the connection (") + ::Describe(e) + ")";
        lastData = now;
        chunk->bytes.resize(got);
        chunk->receivedMs = now;
        if (tap_) tap_(chunk->bytes.data(), chunk->bytes.size(), false);
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::Streaming) return "";
        // Viewers of another channel come only while no viewer watches: none is fed this one.
        if (!viewers_.empty() && !SameChannel(channel_, session_)) return "";
        Distribute(chunk);
        chunk.reset();
    }
}

std::string CTunerFeed::FailureReason(ClientError e, const char* kindName, const CListedChannel& channel,
                                      DWORD firstDataMs, JoinError& error)
{
    const std::string kind = kindName;
    switch (e) {
    case ClientError::NotRunning:
        error = JoinError::NotRunning;
        return "TunerHost is not running";
    case ClientError::NotServed:
        error = JoinError::NotServed;
        return "TunerHost serves no " + kind + " tuner (no plug-in chosen for it?)";
    case ClientError::Busy:
        error = JoinError::TunerBusy;
        return "another client of TunerHost holds the " + kind + " tuner";
    case ClientError::Timeout:
        error = JoinError::NoData;
        return "no stream came from " + kind + " channel " + Describe(channel) + " within " +
               std::to_string(firstDataMs / 1000) + " s: the tuner could not tune it";
    case ClientError::ChallengeMismatch:
        error = JoinError::TunerFailed;
        return "the " + kind + " pipe did not answer as TunerHost does";
    case ClientError::TunerFailed:
        error = JoinError::TunerFailed;
        return "the " + kind + " tuner failed to open (its plug-in refused)";
    default:
        error = JoinError::TunerFailed;
        return "the " + kind + " tuner's connection failed: " + ::Describe(e);
    }
}

void CTunerFeed::Distribute(const ChunkPtr& chunk)
{
    checker_.Feed(chunk->bytes.data(), chunk->bytes.size());
    const bool first = bytes_ == 0;
    bytes_ += chunk->bytes.size();
    const ULONGLONG now = GetTickCount64();
    // The rate counts from the end of the first message, which took the tune's time to come.
    if (first) {
        rateFromMs_ = now;
        rateFromBytes_ = bytes_;
    } else if (now - rateFromMs_ >= 1000) {
        rate_ = double(bytes_ - rateFromBytes_) * 1000.0 / double(now - rateFromMs_);
        rateFromMs_ = now;
        rateFromBytes_ = bytes_;
    }
    std::map<uint16_t, ChunkPtr> made;
    for (size_t i = 0; i < viewers_.size();) {
        const std::shared_ptr<CViewer> viewer = viewers_[i];
        const auto watched = services_.find(viewer);
        const ChunkPtr mine = watched == services_.end() ? chunk : ServiceChunk(chunk, watched->second, made);
        if (watched != services_.end() && filters_[watched->second]->missing()) {
            const std::string reason = "service " + std::to_string(watched->second) + " is not on " +
                                       Describe(session_) + " now";
            viewer->End(reason);
            RemoveLocked(viewer, "ended: " + reason);
            continue;
        }
        if (mine->bytes.empty() || viewer->Push(mine, settings_.maxLagMs, settings_.maxQueueBytes)) {
            ++i;
            continue;
        }
        const std::string reason = viewer->EndReason();
        RemoveLocked(viewer, reason.empty() ? "left" : "dropped: " + reason);
    }
    // A service nobody watches any more needs no filter.
    for (auto it = filters_.begin(); it != filters_.end();)
        it = made.count(it->first) ? std::next(it) : filters_.erase(it);
}

ChunkPtr CTunerFeed::ServiceChunk(const ChunkPtr& chunk, uint16_t service, std::map<uint16_t, ChunkPtr>& made)
{
    const auto done = made.find(service);
    if (done != made.end()) return done->second;
    std::unique_ptr<tstables::CServiceFilter>& filter = filters_[service];
    if (!filter) filter = std::make_unique<tstables::CServiceFilter>(service);
    auto out = std::make_shared<CChunk>();
    out->receivedMs = chunk->receivedMs;
    out->bytes.reserve(chunk->bytes.size());
    filter->Feed(chunk->bytes.data(), chunk->bytes.size(), out->bytes);
    made[service] = out;
    return out;
}

void CTunerFeed::RemoveLocked(const std::shared_ptr<CViewer>& viewer, const std::string& how)
{
    const auto it = std::find(viewers_.begin(), viewers_.end(), viewer);
    if (it == viewers_.end()) return;
    viewers_.erase(it);
    services_.erase(viewer);
    Changed();
    CViewerStatus last = StatusOf(*viewer, GetTickCount64());
    char figures[96];
    std::snprintf(figures, sizeof figures, " after %.1f s, %.1f MB, %llu drop%s", last.seconds, last.bytes / 1e6,
                  static_cast<unsigned long long>(last.drops), last.drops == 1 ? "" : "s");
    // Kept for the users' events, which say what each stream that ended was sent.
    if (ended_.size() < kEndedKept) ended_.push_back(std::move(last));
    log_.Line(std::string(KindName()) + ": viewer " + viewer->Peer() + " " + how + figures + " (" +
              Plural(viewers_.size(), "viewer") + ")");
    // Kept a moment for a viewer who comes back (Stream closes it after).
    if (viewers_.empty() && state_ == State::Streaming) keepUntilMs_ = GetTickCount64() + settings_.keepMs;
    if (viewers_.empty()) freed_.notify_all();
}

void CTunerFeed::Leave(const std::shared_ptr<CViewer>& viewer)
{
    viewer->End("");
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveLocked(viewer, "left");
}

CViewerStatus CTunerFeed::StatusOf(const CViewer& v, ULONGLONG now)
{
    return {v.Peer(),     v.Channel(),     v.User(),           (now - v.JoinedMs()) / 1000.0,
            v.SentBytes(), v.QueuedBytes(), v.Tally().Pids(), v.Tally().Drops()};
}

std::vector<CViewerStatus> CTunerFeed::TakeEnded()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(ended_, {});
}

CFeedStatus CTunerFeed::Status() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    CFeedStatus s;
    s.state = state_ == State::Idle        ? "idle"
              : state_ == State::Opening   ? "opening"
              : state_ == State::Streaming ? (viewers_.empty() ? "keeping" : "streaming")
                                           : "closing";
    if (state_ != State::Idle) {
        s.channel = session_.argument;
        s.channelName = session_.name;
    } else if (lent_) {
        s.state = lentFor_;
        s.channel = lentChannel_.argument;
        s.channelName = lentChannel_.name;
    }
    const ULONGLONG now = GetTickCount64();
    s.bytes = bytes_;
    s.rate = state_ == State::Streaming && now - rateFromMs_ < 3000 ? rate_ : 0;
    s.syncLosses = checker_.syncLosses;
    s.ccErrors = checker_.ccErrors;
    s.sessions = sessions_;
    for (const auto& v : viewers_) s.viewers.push_back(StatusOf(*v, now));
    s.lent = lent_;
    s.lentFor = lentFor_;
    return s;
}

void CTunerFeed::Shutdown()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
        revoked_ = true;
        for (const auto& viewer : viewers_) viewer->End("tsserve is stopping");
        viewers_.clear();
        services_.clear();
        Changed();
        returned_.notify_all();
        freed_.notify_all();
        if (state_ == State::Streaming) state_ = State::Closing;
        thread = std::move(thread_);
    }
    if (thread.joinable()) thread.join();
}

bool CTunerFeed::Borrow(const std::string& purpose, std::string& reason)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutdown_) {
        reason = "tsserve is stopping";
        return false;
    }
    if (lent_) {
        reason = std::string("the ") + KindName() + " tuner is " + lentFor_;
        return false;
    }
    if (!viewers_.empty() || running_) {
        reason = std::string("the ") + KindName() + " tuner has " + Plural(viewers_.size(), "viewer");
        return false;
    }
    lent_ = true;
    revoked_ = false;
    lentFor_ = purpose;
    lentChannel_ = CListedChannel();
    Changed();
    return true;
}

void CTunerFeed::SetLentChannel(const CListedChannel& channel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lentChannel_ = channel;
}

void CTunerFeed::GiveBack()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lent_) return;
    client_.CloseData();
    // A viewer's session waits to tune on this connection.
    if (viewers_.empty() || shutdown_) client_.CloseControl();
    lent_ = false;
    revoked_ = shutdown_;
    lentFor_.clear();
    Changed();
    returned_.notify_all();
}

ULONGLONG CTunerFeed::IdleMs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (lent_ || running_ || !viewers_.empty()) return 0;
    return GetTickCount64() - idleSinceMs_;
}
