// A programme's stream, as recorders ask for it ahead of its start: the
// service's stream (its viewer holds the tuner from the request on) is sent
// from the moment the programme is on, with the last moment before it kept
// (kLeadMs), so that nothing of its start is lost, until it has ended. On:
// the broadcast's present/following says it is present, or the clock has
// reached its start. Ended: the present/following names another programme
// after naming this one, or the clock has passed its end while the
// present/following does not say it is still on. Its start and end are the
// guide's latest, which the same stream keeps up to date: a changed start or
// a prolonged end is followed.
#pragma once
#include "feed/CTunerFeed.h"
#include "guide/GuideStore.h"
#include "http/CHttpConnection.h"

#include <deque>
#include <memory>

class CEventLog;

class CProgrammeStream : public IHttpStream {
public:
    CProgrammeStream(CTunerFeed& feed, std::shared_ptr<CViewer> viewer, const CHttpPeer& peer,
                     const CGuideStore& guide, const tstables::EventKey& programme, CEventLog& log);
    ~CProgrammeStream() override;
    size_t Read(uint8_t* data, size_t max) override;

    static constexpr ULONGLONG kLeadMs = 1000;

private:
    struct Piece {
        ChunkPtr hold;
        const uint8_t* at = nullptr;
        size_t size = 0;
    };
    enum class Phase { Before, On, Over };
    // Looks at the guide (at most every kLookMs); the phase it finds.
    Phase Look();

    CTunerFeed& feed_;
    const std::shared_ptr<CViewer> viewer_;
    const CHttpPeer peer_;
    const CGuideStore& guide_;
    const tstables::EventKey programme_;
    CEventLog& log_;
    Phase phase_ = Phase::Before;
    bool sawPresent_ = false;
    int64_t stopUtc_ = 0;
    ULONGLONG lookedMs_ = 0;
    std::deque<Piece> pieces_;  // before the start: the last kLeadMs; then what is left to send
};
