#include "ProgrammeStream.h"

#include "base/CEventLog.h"

#include <cstring>

namespace {

constexpr DWORD kWaitSliceMs = 100;  // how often a waiting stream looks at its connection
constexpr ULONGLONG kLookMs = 200;   // how often the guide is looked at

int64_t UtcMs()
{
    FILETIME f;
    GetSystemTimeAsFileTime(&f);
    const uint64_t t = (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    return static_cast<int64_t>(t / 10000 - 11644473600000ull);
}

}  // namespace

CProgrammeStream::CProgrammeStream(CTunerFeed& feed, std::shared_ptr<CViewer> viewer, const CHttpPeer& peer,
                                   const CGuideStore& guide, const tstables::EventKey& programme, CEventLog& log)
    : feed_(feed), viewer_(std::move(viewer)), peer_(peer), guide_(guide), programme_(programme), log_(log)
{
}

CProgrammeStream::~CProgrammeStream()
{
    feed_.Leave(viewer_);
}

std::string CProgrammeStream::Name() const
{
    return "programme " + std::to_string(programme_.eventId) + " of " + std::to_string(programme_.service.serviceId);
}

CProgrammeStream::Phase CProgrammeStream::Look()
{
    const ULONGLONG tick = GetTickCount64();
    if (phase_ == Phase::Over || (lookedMs_ && tick - lookedMs_ < kLookMs)) return phase_;
    lookedMs_ = tick;
    const int64_t now = UtcMs();
    const std::optional<uint16_t> present = guide_.PresentEvent(programme_.service);
    const bool on = present && *present == programme_.eventId;
    if (const std::optional<CListedProgram> p = guide_.Program(programme_)) {
        // The start and end as the broadcast says them now.
        startUtc_ = p->start;
        stopUtc_ = p->stop;
    }
    if (phase_ == Phase::Before && (on || (startUtc_ && now >= startUtc_ * 1000))) {
        phase_ = Phase::On;
        log_.Line(std::string(feed_.KindName()) + ": " + Name() + " begins for " + viewer_->Peer());
    }
    sawPresent_ = sawPresent_ || on;
    // Another programme named present after this one was, or the end passed
    // without the broadcast saying it goes on.
    if (phase_ == Phase::On && ((sawPresent_ && present && !on) || (stopUtc_ && now >= stopUtc_ * 1000 && !on))) {
        phase_ = Phase::Over;
        log_.Line(std::string(feed_.KindName()) + ": " + Name() + " has ended for " + viewer_->Peer());
    }
    return phase_;
}

CViewer::Next CProgrammeStream::TakePiece()
{
    Piece piece;
    const CViewer::Next next = viewer_->Take(piece.at, piece.size, piece.hold, kWaitSliceMs);
    if (next != CViewer::Next::Data) return next;
    pieces_.push_back(piece);
    if (phase_ == Phase::Before)
        while (pieces_.size() > 1 && piece.hold->receivedMs - pieces_.front().hold->receivedMs > kLeadMs)
            pieces_.pop_front();
    return next;
}

IHeldStream::Hold CProgrammeStream::Wait(JoinError& error, std::string& reason)
{
    for (;;) {
        if (Look() != Phase::Before) return Hold::Ready;
        const bool late = startUtc_ && UtcMs() > startUtc_ * 1000 + kLateMs;
        if (late || GetTickCount64() - askedMs_ > kHoldMs) {
            error = JoinError::NoData;
            reason = Name() + (late ? " has not begun " + std::to_string(kLateMs / 60000) + " minutes after its start"
                                    : " has not begun " + std::to_string(kHoldMs / 3600000) + " hours after the request");
            log_.Line(std::string(feed_.KindName()) + ": " + reason + "; " + viewer_->Peer() + " is refused");
            return Hold::Refused;
        }
        const CViewer::Next next = TakePiece();
        if (next == CViewer::Next::Ended) {
            // Taken by a request of a higher priority, or tsserve stops.
            const std::string why = viewer_->EndReason();
            if (peer_.Stopping()) return Hold::Left;
            error = JoinError::Busy;
            reason = why.empty() ? "the tuner was taken" : why;
            return Hold::Refused;
        }
        // A recorder that gives up waiting is seen here, data or none.
        if (peer_.Gone() || peer_.Stopping()) return Hold::Left;
    }
}

size_t CProgrammeStream::Read(uint8_t* data, size_t max)
{
    for (;;) {
        if (Look() == Phase::Over) return 0;
        if (phase_ == Phase::On && !pieces_.empty()) {
            Piece& p = pieces_.front();
            const size_t n = p.size < max ? p.size : max;
            std::memcpy(data, p.at, n);
            p.at += n;
            p.size -= n;
            if (!p.size) pieces_.pop_front();
            viewer_->AddSent(data, n);
            return n;
        }
        const CViewer::Next next = TakePiece();
        if (next == CViewer::Next::Ended) return 0;
        // A recorder that leaves is seen here, not at the next send.
        if (next == CViewer::Next::Idle && (peer_.Gone() || peer_.Stopping())) return 0;
    }
}
