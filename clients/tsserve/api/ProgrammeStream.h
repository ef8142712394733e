// A programme's stream, as recorders ask for it ahead of its start: the
// service's stream (its viewer holds the tuner from the request on, at the
// request's priority) is sent from the moment the programme is on, with the
// last moment before it kept (kLeadMs), so that nothing of its start is
// lost, until it has ended. The answer's head waits for that moment too
// (Wait), as recorders take a head without data soon after it for a failed
// recording. On: the broadcast's present/following says it is present, or
// the clock has reached its start. Ended: the present/following names
// another programme after naming this one, or the clock has passed its end
// while the present/following does not say it is still on. Its start and end
// are the guide's latest, which the same stream keeps up to date: a start
// moved later is waited for, one moved earlier begins at once, a prolonged
// end is followed. The wait is bounded: kLateMs past the latest start, or
// kHoldMs after the request, it ends with an error (504); a request of a
// higher priority that takes the tuner meanwhile ends it at once (503).
#pragma once
#include "feed/CTunerFeed.h"
#include "feed/StreamStart.h"
#include "guide/GuideStore.h"
#include "http/CHttpConnection.h"

#include <deque>
#include <memory>

class CEventLog;

class CProgrammeStream : public IHeldStream {
public:
    CProgrammeStream(CTunerFeed& feed, std::shared_ptr<CViewer> viewer, const CHttpPeer& peer,
                     const CGuideStore& guide, const tstables::EventKey& programme, CEventLog& log);
    ~CProgrammeStream() override;
    Hold Wait(JoinError& error, std::string& reason) override;
    size_t Read(uint8_t* data, size_t max) override;

    static constexpr ULONGLONG kLeadMs = 1000;
    static constexpr int64_t kLateMs = 10 * 60 * 1000;
    static constexpr ULONGLONG kHoldMs = 6 * 3600 * 1000;

private:
    struct Piece {
        ChunkPtr hold;
        const uint8_t* at = nullptr;
        size_t size = 0;
    };
    enum class Phase { Before, On, Over };
    // Looks at the guide (at most every kLookMs); the phase it finds.
    Phase Look();
    // Waits up to a slice for the viewer's next piece and queues it (before
    // the start, only the last kLeadMs are kept).
    CViewer::Next TakePiece();
    std::string Name() const;

    CTunerFeed& feed_;
    const std::shared_ptr<CViewer> viewer_;
    const CHttpPeer peer_;
    const CGuideStore& guide_;
    const tstables::EventKey programme_;
    CEventLog& log_;
    Phase phase_ = Phase::Before;
    bool sawPresent_ = false;
    int64_t startUtc_ = 0, stopUtc_ = 0;  // the guide's latest; seconds
    const ULONGLONG askedMs_ = GetTickCount64();
    ULONGLONG lookedMs_ = 0;
    std::deque<Piece> pieces_;  // before the start: the last kLeadMs; then what is left to send
};
