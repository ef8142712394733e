#include "ChannelScan.h"

#include "SavedFile.h"
#include "Sdt.h"
#include "TunerLoan.h"

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
    std::lock_guard<std::mutex> lock(mutex_);
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
    thread_ = std::thread(&CChannelScan::Run, this, std::move(channels));
    return true;
}

void CChannelScan::Abort()
{
    abort_ = true;
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

void CChannelScan::SetState(const std::string& state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = state;
}

void CChannelScan::Run(std::vector<const CListedChannel*> channels)
{
    const std::string kind = feed_.KindName();
    std::string ended;
    bool finished = false;
    {
        // The guide's idle pass gives the tuner up within moments; viewers keep it.
        auto loan = std::make_unique<CTunerLoan>(feed_, "scanning");
        for (const ULONGLONG until = GetTickCount64() + kWaitForTunerMs; !loan->Ok() && GetTickCount64() < until && !abort_;) {
            Sleep(100);
            loan = std::make_unique<CTunerLoan>(feed_, "scanning");
        }
        if (!loan->Ok()) {
            ended = "skipped: " + loan->Why();
        } else {
            say_("scanning " + std::to_string(channels.size()) + " " + kind + " channels");
            std::string stop;
            size_t i = 0;
            for (; i < channels.size() && !abort_; ++i)
                if (!ScanOne(*loan, *channels[i], stop)) break;
            const size_t done = Status().done;
            if (abort_) ended = "aborted after " + std::to_string(done) + " of " + std::to_string(channels.size()) +
                                " channels";
            else if (!stop.empty())
                ended = "stopped after " + std::to_string(done) + " of " + std::to_string(channels.size()) +
                        " channels: " + stop;
            else {
                ended = "done";
                finished = true;
            }
        }
    }
    std::string error;
    if (Status().done > 0 && !store_.Save(error))
        say_("could not save the scan in " + Utf8Path(store_.Path()) + ": " + error);
    const CScanStatus s = Status();
    say_(kind + " scan " + ended + ": " + std::to_string(s.found) + " services in " + std::to_string(s.done) +
         " channels, " + Seconds(GetTickCount64() - startedMs_) +
         (s.done && s.done < channels.size() ? "; the channels scanned are kept" : ""));
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = ended;
    status_.finished = finished;
    status_.running = false;
}

bool CChannelScan::ScanOne(CTunerLoan& loan, const CListedChannel& channel, std::string& stop)
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
            return false;
        }
        if (abort_) return false;
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
        return false;
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
    return true;
}
