#include "CTunerFeed.h"

#include "CEventLog.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr DWORD kConnectMs = 10000;  // TunerHost may still be closing the tuner of the last connection
constexpr DWORD kReadSliceMs = 250;  // how soon the reader notices it is to stop

std::string Plural(size_t n, const char* one)
{
    return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

std::string Describe(const CListedChannel& c)
{
    return c.name.empty() ? c.argument : c.argument + " (" + c.name + ")";
}

}  // namespace

CTunerFeed::CTunerFeed(TunerKind kind, const CFeedSettings& settings, CEventLog& log)
    : kind_(kind), settings_(settings), log_(log)
{
}

CTunerFeed::~CTunerFeed()
{
    Shutdown();
}

std::string CTunerFeed::BusyReason() const
{
    return std::string("the ") + KindName() + " tuner is in use on channel " + Describe(channel_) + " by " +
           Plural(viewers_.size(), "viewer") + "; only that channel can be watched until they leave";
}

std::shared_ptr<CViewer> CTunerFeed::Join(const CListedChannel& channel, const std::string& peer, JoinError& error,
                                          std::string& reason)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (shutdown_) {
            error = JoinError::Stopping;
            reason = "tsserve is stopping";
            return nullptr;
        }
        if (state_ == State::Closing) {
            changed_.wait(lock);
            continue;
        }
        if (state_ != State::Idle) {
            if (channel_.band != channel.band || channel_.index != channel.index) {
                error = JoinError::Busy;
                reason = BusyReason();
                return nullptr;
            }
            if (state_ == State::Opening) {
                changed_.wait(lock);
                continue;
            }
            auto viewer = std::make_shared<CViewer>(peer, channel.argument);
            viewers_.push_back(viewer);
            log_.Line(std::string(KindName()) + ": viewer " + peer + " joined " + Describe(channel_) + " (" +
                      Plural(viewers_.size(), "viewer") + ")");
            error = JoinError::None;
            return viewer;
        }
        break;
    }

    // The first viewer: open the tuner, tune, and wait for the stream.
    state_ = State::Opening;
    channel_ = channel;
    std::thread previous = std::move(reader_);
    lock.unlock();
    if (previous.joinable()) previous.join();
    ChunkPtr first;
    const ClientError e = Open(channel.value, first);
    lock.lock();
    if (e != ClientError::None || shutdown_) {
        client_.CloseData();
        client_.CloseControl();
        state_ = State::Idle;
        changed_.notify_all();
        const std::string kind = KindName();
        switch (e) {
        case ClientError::None:
            error = JoinError::Stopping;
            reason = "tsserve is stopping";
            break;
        case ClientError::NotRunning:
            error = JoinError::NotRunning;
            reason = "TunerHost is not running";
            break;
        case ClientError::NotServed:
            error = JoinError::NotServed;
            reason = "TunerHost serves no " + kind + " tuner (no plug-in chosen for it?)";
            break;
        case ClientError::Busy:
            error = JoinError::TunerBusy;
            reason = "another client of TunerHost holds the " + kind + " tuner";
            break;
        case ClientError::Timeout:
            error = JoinError::NoData;
            reason = "no stream came from " + kind + " channel " + Describe(channel) + " within " +
                     std::to_string(settings_.firstDataMs / 1000) + " s: the tuner could not tune it";
            break;
        case ClientError::ChallengeMismatch:
            error = JoinError::TunerFailed;
            reason = "the " + kind + " pipe did not answer as TunerHost does";
            break;
        case ClientError::TunerFailed:
            error = JoinError::TunerFailed;
            reason = "the " + kind + " tuner failed to open (its plug-in refused)";
            break;
        default:
            error = JoinError::TunerFailed;
            reason = std::string("the ") + kind + " tuner's connection failed: " + ::Describe(e);
            break;
        }
        log_.Line(kind + ": could not open the tuner for " + Describe(channel) + ": " + reason);
        return nullptr;
    }
    checker_ = CTsChecker();
    bytes_ = rateFromBytes_ = 0;
    rateFromMs_ = GetTickCount64();
    rate_ = 0;
    ++sessions_;
    state_ = State::Streaming;
    auto viewer = std::make_shared<CViewer>(peer, channel.argument);
    viewers_.push_back(viewer);
    log_.Line(std::string(KindName()) + ": opened the tuner on " + Describe(channel));
    log_.Line(std::string(KindName()) + ": viewer " + peer + " joined " + Describe(channel) + " (1 viewer)");
    reader_ = std::thread(&CTunerFeed::ReaderMain, this, first);
    changed_.notify_all();
    error = JoinError::None;
    return viewer;
}

// The tune comes before the data pipe is offered, so that every message read
// is of the new channel.
ClientError CTunerFeed::Open(uint32_t value, ChunkPtr& first)
{
    ClientError e = client_.ConnectControl(kind_, kConnectMs);
    if (e == ClientError::None) e = client_.Challenge();
    if (e == ClientError::None) e = client_.Command(kCmdPauseData);
    if (e == ClientError::None) e = client_.Command(kCmdSelectChannel, value, nullptr);
    if (e == ClientError::None) e = client_.Command(kCmdRearmData);
    if (e == ClientError::None) e = client_.OpenData(kConnectMs);
    if (e != ClientError::None) return e == ClientError::Timeout ? ClientError::Io : e;
    auto chunk = std::make_shared<CChunk>();
    chunk->bytes.resize(kDataMessageSize);
    DWORD got = 0;
    e = client_.ReadData(chunk->bytes.data(), kDataMessageSize, got, settings_.firstDataMs);
    if (e != ClientError::None) return e;
    chunk->bytes.resize(got);
    chunk->receivedMs = GetTickCount64();
    first = chunk;
    return ClientError::None;
}

void CTunerFeed::ReaderMain(ChunkPtr first)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Distribute(first);
    }
    std::string ended;
    std::shared_ptr<CChunk> chunk;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != State::Streaming) break;
        }
        if (!chunk) {
            chunk = std::make_shared<CChunk>();
            chunk->bytes.resize(kDataMessageSize);
        }
        DWORD got = 0;
        const ClientError e = client_.ReadData(chunk->bytes.data(), kDataMessageSize, got, kReadSliceMs);
        if (e == ClientError::Timeout) continue;
        if (e != ClientError::None) {
            ended = std::string("TunerHost ended the connection (") + ::Describe(e) + ")";
            break;
        }
        chunk->bytes.resize(got);
        chunk->receivedMs = GetTickCount64();
        std::lock_guard<std::mutex> lock(mutex_);
        Distribute(chunk);
        chunk.reset();
    }
    client_.CloseData();
    client_.CloseControl();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& viewer : viewers_) {
        viewer->End(ended.empty() ? "the tuner was closed" : ended);
        log_.Line(std::string(KindName()) + ": viewer " + viewer->Peer() + " ended: " +
                  (ended.empty() ? "tsserve is stopping" : ended));
    }
    viewers_.clear();
    log_.Line(std::string(KindName()) + ": released the tuner" + (ended.empty() ? "" : ": " + ended));
    state_ = State::Idle;
    changed_.notify_all();
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
    for (size_t i = 0; i < viewers_.size();) {
        const std::shared_ptr<CViewer> viewer = viewers_[i];
        if (viewer->Push(chunk, settings_.maxLagMs, settings_.maxQueueBytes)) {
            ++i;
            continue;
        }
        const std::string reason = viewer->EndReason();
        RemoveLocked(viewer, reason.empty() ? "left" : "dropped: " + reason);
    }
}

void CTunerFeed::RemoveLocked(const std::shared_ptr<CViewer>& viewer, const std::string& how)
{
    const auto it = std::find(viewers_.begin(), viewers_.end(), viewer);
    if (it == viewers_.end()) return;
    viewers_.erase(it);
    char figures[96];
    std::snprintf(figures, sizeof figures, " after %.1f s, %.1f MB", (GetTickCount64() - viewer->JoinedMs()) / 1000.0,
                  viewer->SentBytes() / 1e6);
    log_.Line(std::string(KindName()) + ": viewer " + viewer->Peer() + " " + how + figures + " (" +
              Plural(viewers_.size(), "viewer") + ")");
    if (viewers_.empty() && state_ == State::Streaming) state_ = State::Closing;
}

void CTunerFeed::Leave(const std::shared_ptr<CViewer>& viewer)
{
    viewer->End("");
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveLocked(viewer, "left");
}

CFeedStatus CTunerFeed::Status() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    CFeedStatus s;
    s.state = state_ == State::Idle ? "idle" : state_ == State::Opening ? "opening"
              : state_ == State::Streaming ? "streaming" : "closing";
    if (state_ != State::Idle) {
        s.channel = channel_.argument;
        s.channelName = channel_.name;
    }
    const ULONGLONG now = GetTickCount64();
    s.bytes = bytes_;
    s.rate = state_ == State::Streaming && now - rateFromMs_ < 3000 ? rate_ : 0;
    s.syncLosses = checker_.syncLosses;
    s.ccErrors = checker_.ccErrors;
    s.sessions = sessions_;
    for (const auto& v : viewers_)
        s.viewers.push_back({v->Peer(), v->Channel(), (now - v->JoinedMs()) / 1000.0, v->SentBytes(), v->QueuedBytes()});
    return s;
}

void CTunerFeed::Shutdown()
{
    std::thread reader;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
        for (const auto& viewer : viewers_) viewer->End("tsserve is stopping");
        if (state_ == State::Streaming) state_ = State::Closing;
        reader = std::move(reader_);
        changed_.notify_all();
    }
    if (reader.joinable()) reader.join();
}
