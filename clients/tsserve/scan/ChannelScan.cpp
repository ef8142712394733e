#include "ChannelScan.h"

#include "base/SavedFile.h"
#include "Sdt.h"
#include "feed/TunerLoan.h"

#include <cstdio>
#include <memory>

using namespace tstables;

namespace {

constexpr DWORD kReadSliceMs = 100;  // how soon an abort or a viewer is seen

std::string Seconds(ULONGLONG ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

std::string Hex4(uint16_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return text;
}

bool Listed(const ScannedService& s)
{
    return s.serviceId != 0 && KindOfServiceType(s.serviceType) != ServiceKind::Data;
}

}  // namespace

CChannelScan::CChannelScan(CTunerFeed& feed, const CListedKind& kind, CScanStore& store, CGuideStore& guide, Say say)
    : feed_(feed), kind_(kind), store_(store), guide_(guide), say_(std::move(say))
{
}

CChannelScan::~CChannelScan()
{
    Abort();
    Wait();
}

bool CChannelScan::Start(const std::vector<const CListedChannel*>* only)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // An aborted scan on its way out (giving its tuner back, saving what it
    // found) ends within moments: the new one starts after it.
    if (status_.running && abort_)
        ended_.wait_for(lock, std::chrono::milliseconds(kEndingMs), [this] { return !status_.running; });
    if (status_.running) return false;
    if (thread_.joinable()) thread_.join();
    std::vector<const CListedChannel*> channels;
    if (only) channels = *only;
    else
        for (const CListedBand& band : kind_.bands)
            for (const CListedChannel& c : band.channels) channels.push_back(&c);
    abort_ = false;
    status_ = CScanStatus();
    status_.running = true;
    status_.total = channels.size();
    status_.state = "starting";
    startedMs_ = GetTickCount64();
    channels_ = channels;
    thread_ = std::thread(&CChannelScan::Run, this, std::move(channels));
    return true;
}

void CChannelScan::Abort()
{
    abort_ = true;
}

bool CChannelScan::Ending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.running && abort_;
}

void CChannelScan::Wait()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        thread = std::move(thread_);
    }
    if (thread.joinable()) thread.join();
}

CScanStatus CChannelScan::Status() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::vector<const CListedChannel*> CChannelScan::Pending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!status_.running || status_.done >= channels_.size()) return {};
    return {channels_.begin() + static_cast<std::ptrdiff_t>(status_.done), channels_.end()};
}

void CChannelScan::SetState(const std::string& state, bool waiting)
{
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = state;
    status_.waiting = waiting;
}

std::unique_ptr<CTunerLoan> CChannelScan::WaitForTuner()
{
    std::string said;
    for (;;) {
        if (abort_) return nullptr;
        // The guide's idle pass gives the tuner up within moments; viewers
        // and other clients of TunerHost keep it as long as they like.
        auto loan = std::make_unique<CTunerLoan>(feed_, "scanning");
        if (loan->Ok()) return loan;
        if (loan->Why() != said) {
            said = loan->Why();
            say_(std::string(feed_.KindName()) + " scan waits for the tuner: " + said);
        }
        SetState("waiting for the tuner", true);
        Sleep(kLookMs);
    }
}

void CChannelScan::Run(std::vector<const CListedChannel*> channels)
{
    const std::string kind = feed_.KindName();
    const std::string count = std::to_string(channels.size());
    std::string ended;
    size_t next = 0;  // where the scan goes on after a pause
    // A tune after which TunerHost ends the connection every time looks like
    // another client coming: a channel the tuner is lost on this often is
    // passed over.
    size_t lostAt = channels.size();
    int losses = 0;
    for (bool resumed = false; !abort_ && next < channels.size(); resumed = true) {
        std::unique_ptr<CTunerLoan> loan = WaitForTuner();
        if (!loan) break;
        if (!resumed) say_("scanning " + count + " " + kind + " channels");
        else
            say_(kind + " scan goes on at " + channels[next]->argument + " (" + std::to_string(next + 1) + " of " +
                 count + ")");
        std::string stop;
        Outcome outcome = Outcome::Scanned;
        for (; next < channels.size() && !abort_; ++next)
            if ((outcome = ScanOne(*loan, *channels[next], stop)) != Outcome::Scanned) break;
        loan.reset();
        if (outcome == Outcome::Failed) {
            ended = "stopped after " + std::to_string(Status().done) + " of " + count + " channels: " + stop;
            break;
        }
        if (abort_) break;
        if (outcome == Outcome::Lost) {
            losses = lostAt == next ? losses + 1 : 1;
            lostAt = next;
            if (losses == kLossesPerChannel) {
                say_(kind + " " + channels[next]->argument + ": passed over: " + stop + ", each of " +
                     std::to_string(losses) + " times it was tuned");
                std::lock_guard<std::mutex> lock(mutex_);
                ++status_.done;
                ++next;
                continue;
            }
        }
        if (outcome != Outcome::Scanned)
            say_(kind + " scan paused after " + std::to_string(Status().done) + " of " + count + " channels: " + stop +
                 "; it goes on when the tuner is free");
    }
    const bool finished = ended.empty() && !abort_;
    if (ended.empty())
        ended = finished ? "done" : "aborted after " + std::to_string(Status().done) + " of " + count + " channels";
    std::string error;
    if (!store_.Save(error)) say_("could not save the scan in " + Utf8Path(store_.Path()) + ": " + error);
    const CScanStatus s = Status();
    say_(kind + " scan " + ended + ": " + std::to_string(s.found) + " services in " + std::to_string(s.done) +
         " channels, " + Seconds(GetTickCount64() - startedMs_) +
         (s.done && s.done < channels.size() ? "; the channels scanned are kept" : ""));
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = ended;
    status_.waiting = false;
    status_.finished = finished;
    status_.running = false;
    ended_.notify_all();
}

CChannelScan::Outcome CChannelScan::ScanOne(CTunerLoan& loan, const CListedChannel& channel, std::string& stop)
{
    const std::string kind = feed_.KindName();
    const std::string what = kind + " " + channel.argument + (channel.name.empty() ? "" : " (" + channel.name + ")");
    SetState("scanning " + channel.argument);
    const ULONGLONG start = GetTickCount64();
    CTransportScan scan([this](const Eit& eit) { guide_.Add(eit, UtcNow()); });
    ClientError e = loan.Tune(channel);
    std::string outcome;
    ULONGLONG firstData = 0;
    std::vector<uint8_t> buffer;
    while (e == ClientError::None) {
        if (loan.Revoked()) {
            stop = "a viewer took the tuner";
            return Outcome::Paused;
        }
        if (abort_) return Outcome::Paused;
        e = loan.Read(buffer, kReadSliceMs);
        const ULONGLONG now = GetTickCount64();
        if (e == ClientError::Timeout) e = ClientError::None;
        else if (e == ClientError::None) {
            if (!firstData) firstData = now;
            scan.Feed(buffer.data(), buffer.size());
            if (scan.Complete()) break;
        }
        if (e != ClientError::None) break;
        if (!firstData && now - start >= kNoDataMs) {
            outcome = "nothing (no data within " + Seconds(kNoDataMs) + ")";
            break;
        }
        if (firstData && !scan.HasPat() && now - firstData >= kNoPatMs) {
            outcome = "nothing (data, but no PAT within " + Seconds(kNoPatMs) + ")";
            break;
        }
        if (now - start >= kChannelMs) {
            outcome = "incomplete after " + Seconds(kChannelMs) + " (" + scan.Missing() + " missing)";
            break;
        }
    }
    if (e != ClientError::None) {
        stop = loan.Describe(e);
        if (!loan.ToAnother(e)) return Outcome::Failed;
        return e == ClientError::Busy ? Outcome::Paused : Outcome::Lost;
    }
    CScannedChannel record;
    record.terrestrial = kind_.terrestrial;
    record.argument = channel.argument;
    record.scannedUtc = UtcNow();
    record.found = scan.HasPat();
    size_t listed = 0;
    if (record.found) {
        record.transport = scan.Result();
        std::string services;
        for (const ScannedService& s : record.transport.services) {
            if (!services.empty()) services += ", ";
            services += (s.number ? std::to_string(s.number) : std::to_string(s.serviceId)) + " " +
                        (s.name.empty() ? "service " + std::to_string(s.serviceId) : s.name);
            if (Listed(s)) ++listed;
            else services += " (data)";
        }
        const std::string ids = "TSID " + Hex4(record.transport.transportStreamId);
        outcome = (outcome.empty() ? "" : outcome + "; ") + ids + ", " +
                  (record.transport.services.empty() ? "no services" : services);
    }
    store_.Put(record);
    std::string error;
    if (!store_.Save(error)) say_("could not save the scan in " + Utf8Path(store_.Path()) + ": " + error);
    size_t done, total;
    ULONGLONG elapsed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done = ++status_.done;
        total = status_.total;
        status_.found += listed;
        elapsed = GetTickCount64() - startedMs_;
    }
    const ULONGLONG left = elapsed / done * (total - done);
    say_(what + ": " + outcome + " [" + Seconds(GetTickCount64() - start) + "; " + std::to_string(done) + " of " +
         std::to_string(total) + ", about " + Seconds(left) + " left]");
    return Outcome::Scanned;
}
