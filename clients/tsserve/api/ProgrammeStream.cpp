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
        if (phase_ == Phase::Before && (on || now >= p->start * 1000)) {
            phase_ = Phase::On;
            log_.Line(std::string(feed_.KindName()) + ": programme " + std::to_string(programme_.eventId) + " of " +
                      std::to_string(programme_.service.serviceId) + " begins for " + viewer_->Peer());
        }
        stopUtc_ = p->stop;
    } else if (phase_ == Phase::Before && on) {
        phase_ = Phase::On;
    }
    sawPresent_ = sawPresent_ || on;
    // Another programme named present after this one was, or the end passed
    // without the broadcast saying it goes on.
    if (phase_ == Phase::On && ((sawPresent_ && present && !on) || (stopUtc_ && now >= stopUtc_ * 1000 && !on))) {
        phase_ = Phase::Over;
        log_.Line(std::string(feed_.KindName()) + ": programme " + std::to_string(programme_.eventId) + " of " +
                  std::to_string(programme_.service.serviceId) + " has ended for " + viewer_->Peer());
    }
    return phase_;
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
            viewer_->AddSent(n);
            return n;
        }
        Piece piece;
        const CViewer::Next next = viewer_->Take(piece.at, piece.size, piece.hold, kWaitSliceMs);
        if (next == CViewer::Next::Ended) return 0;
        if (next == CViewer::Next::Idle) {
            // A recorder that leaves is seen here, not at the next send.
            if (peer_.Gone() || peer_.Stopping()) return 0;
            continue;
        }
        pieces_.push_back(piece);
        // Before the start, only the last moment is kept.
        if (phase_ == Phase::Before)
            while (pieces_.size() > 1 && piece.hold->receivedMs - pieces_.front().hold->receivedMs > kLeadMs)
                pieces_.pop_front();
    }
}
