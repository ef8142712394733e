#include "CViewerStream.h"

#include "base/CEventLog.h"
#include "CTunerFeed.h"

#include <cstring>

namespace {
constexpr DWORD kWaitSliceMs = 100;  // how often a waiting viewer's connection is looked at
}  // namespace

CViewerStream::CViewerStream(CTunerFeed& feed, std::shared_ptr<CViewer> viewer, const CHttpPeer& peer,
                             CEventLog& log)
    : feed_(feed), viewer_(std::move(viewer)), peer_(peer), log_(log)
{
}

CViewerStream::~CViewerStream()
{
    feed_.Leave(viewer_);
}

bool CViewerStream::WaitStarted()
{
    for (;;) {
        JoinError error = JoinError::None;
        std::string reason;
        const CViewer::Phase phase = viewer_->WaitStart(kWaitSliceMs, error, reason);
        if (phase == CViewer::Phase::Started) return started_ = true;
        if (phase == CViewer::Phase::Failed) {
            log_.Line(std::string(feed_.KindName()) + ": the stream to " + viewer_->Peer() +
                      " ended without data: " + reason);
            return false;
        }
        if (peer_.Gone() || peer_.Stopping()) return false;
    }
}

size_t CViewerStream::Read(uint8_t* data, size_t max)
{
    if (!started_ && !WaitStarted()) return 0;
    while (!left_) {
        const CViewer::Next next = viewer_->Take(at_, left_, hold_, kWaitSliceMs);
        if (next == CViewer::Next::Ended) return 0;
        // A viewer that leaves while no data comes is seen here, not at the next send.
        if (next == CViewer::Next::Idle && (peer_.Gone() || peer_.Stopping())) return 0;
    }
    const size_t n = left_ < max ? left_ : max;
    std::memcpy(data, at_, n);
    at_ += n;
    left_ -= n;
    viewer_->AddSent(data, n);
    return n;
}
