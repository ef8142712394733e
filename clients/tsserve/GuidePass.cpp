#include "GuidePass.h"

#include "CEventLog.h"
#include "GuideTap.h"
#include "TunerLoan.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr DWORD kReadSliceMs = 50;  // how soon a viewer gets the tuner
constexpr DWORD kLookMs = 1000;      // how often an idle kind is looked at

std::string Seconds(ULONGLONG ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

}  // namespace

CGuidePass::CGuidePass(CTunerFeed& feed, const CListedKind& kind, CScanStore& scans, CGuideStore& guide,
                       const CGuidePassSettings& settings, CEventLog& log)
    : feed_(feed), kind_(kind), scans_(scans), guide_(guide), settings_(settings), log_(log)
{
}

CGuidePass::~CGuidePass()
{
    Stop();
}

void CGuidePass::Start()
{
    if (settings_.everySeconds <= 0 || !kind_.Served() || thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread(&CGuidePass::Main, this);
}

void CGuidePass::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CGuidePass::Hold(bool hold)
{
    hold_ = hold;
}

CGuidePassStatus CGuidePass::Status() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool CGuidePass::MustYield() const
{
    return stop_ || hold_;
}

std::vector<CGuidePass::Stream> CGuidePass::Due(int64_t nowUtc) const
{
    std::vector<Stream> due;
    for (const CScannedChannel& c : scans_.Channels()) {
        if (c.terrestrial != kind_.terrestrial || !c.found || c.transport.services.empty()) continue;
        const CListedChannel* channel = nullptr;
        for (const CListedBand& band : kind_.bands)
            for (const CListedChannel& listed : band.channels)
                if (listed.argument == c.argument) channel = &listed;
        if (!channel) continue;
        const uint16_t network = c.transport.originalNetworkId, stream = c.transport.transportStreamId;
        // A stream that two transmitters bring is taken once.
        const bool listed = std::any_of(due.begin(), due.end(), [&](const Stream& s) {
            return s.networkId == network && s.transportStreamId == stream;
        });
        if (!listed && nowUtc - guide_.ScheduleTried(network, stream) >= settings_.everySeconds)
            due.push_back({channel, network, stream});
    }
    return due;
}

void CGuidePass::Main()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(kLookMs), [this] { return stop_.load(); });
            if (stop_) return;
        }
        if (hold_ || feed_.IdleMs() < settings_.idleMs) continue;
        // Free of TunerHost's other clients for the idle time too.
        if (TunerHeldByAnother(feed_.Kind())) GiveWay();
        if (GetTickCount64() < retryMs_) continue;
        const std::vector<Stream> due = Due(UtcNow());
        if (due.empty()) continue;
        CTunerLoan loan(feed_, "collecting the guide");
        if (!loan.Ok()) {
            if (loan.HeldElsewhere()) GiveWay();
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_.running = true;
        }
        const char* kind = feed_.KindName();
        log_.Line(std::string(kind) + ": the guide's idle pass takes the schedules of " + std::to_string(due.size()) +
                  " transport stream" + (due.size() == 1 ? "" : "s"));
        size_t taken = 0;
        for (const Stream& s : due) {
            if (!Collect(loan, s)) break;
            ++taken;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        status_.running = false;
        status_.channel.clear();
        if (taken == due.size()) status_.lastPassUtc = UtcNow();
        else if (loan.Revoked())
            log_.Line(std::string(kind) + ": the guide's idle pass gave the tuner to a viewer");
    }
}

void CGuidePass::GiveWay()
{
    retryMs_ = std::max(retryMs_, GetTickCount64() + settings_.idleMs);
}

bool CGuidePass::Collect(CTunerLoan& loan, const Stream& stream)
{
    const std::string what = std::string(feed_.KindName()) + " " + stream.channel->argument +
                             (stream.channel->name.empty() ? "" : " (" + stream.channel->name + ")");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.channel = stream.channel->argument;
    }
    const ULONGLONG start = GetTickCount64();
    ClientError e = loan.Tune(*stream.channel);
    if (e != ClientError::None && loan.ToAnother(e)) {
        GiveWay();
        log_.Line(std::string(feed_.KindName()) + ": the guide's idle pass could not tune " + what + ": " +
                  loan.Describe(e) + "; it comes back once the kind has been free for " + Seconds(settings_.idleMs));
        return false;
    }
    if (e != ClientError::None) {
        log_.Line(std::string(feed_.KindName()) + ": the guide's idle pass could not tune " + what + ": " +
                  loan.Describe(e) + "; it tries again in " + std::to_string(kRetryMs / 60000) + " minutes");
        retryMs_ = GetTickCount64() + kRetryMs;
        return false;
    }
    CGuideTap tap(guide_);
    std::vector<uint8_t> buffer;
    ULONGLONG lastData = start;
    for (;;) {
        if (loan.Revoked() || MustYield()) return false;
        e = loan.Read(buffer, kReadSliceMs);
        const ULONGLONG now = GetTickCount64();
        if (e == ClientError::None) {
            lastData = now;
            tap.Feed(buffer.data(), buffer.size());
            if (tap.ScheduleComplete()) {
                guide_.NoteScheduleTaken(stream.networkId, stream.transportStreamId, UtcNow());
                log_.Line(std::string(feed_.KindName()) + ": the guide's idle pass took the schedule of " + what +
                          " in " + Seconds(now - start));
                return true;
            }
        } else if (e != ClientError::Timeout && loan.ToAnother(e)) {
            GiveWay();
            log_.Line(std::string(feed_.KindName()) + ": the guide's idle pass gave the tuner to another client of "
                      "TunerHost, reading " + what + "; it comes back once the kind has been free for " +
                      Seconds(settings_.idleMs));
            return false;
        } else if (e != ClientError::Timeout) {
            log_.Line(std::string(feed_.KindName()) + ": the guide's idle pass lost " + what + ": " + loan.Describe(e));
            return false;
        }
        if (now - lastData >= kNoDataMs || now - start >= kStreamMs) break;
    }
    // Tried: it is not taken again before its time, whole or not.
    guide_.NoteScheduleTried(stream.networkId, stream.transportStreamId, UtcNow());
    log_.Line(std::string(feed_.KindName()) + ": the guide's idle pass left " + what + " after " +
              Seconds(GetTickCount64() - start) + (GetTickCount64() - lastData >= kNoDataMs ? ": no data" : "") +
              "; its schedule is not whole");
    return true;
}
