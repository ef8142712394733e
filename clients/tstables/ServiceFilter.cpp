#include "ServiceFilter.h"

#include "Crc32.h"
#include "Pat.h"
#include "Pmt.h"
#include "SectionDemux.h"

#include <algorithm>
#include <cstring>

namespace tstables {
namespace {

constexpr uint16_t kCatPid = 0x0001;
constexpr uint16_t kTdtPid = kTotPid;  // TDT and TOT share a PID
constexpr uint16_t kNullPid = 0x1FFF;

}  // namespace

CServiceFilter::CServiceFilter(uint16_t serviceId) : serviceId_(serviceId)
{
    Reset();
}

void CServiceFilter::Reset()
{
    pmtPid_ = kNullPid;
    SetPids({});
    pat_.Reset();
    sdt_.Reset();
    sdtDue_ = false;
    pmt_.Reset();
    pmtVersion_ = -1;
    missing_ = false;
    patDue_ = false;
    patReady_ = false;
    patTsid_ = -1;
    packets_.Reset();
}

void CServiceFilter::Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    packets_.Feed(data, size, [&](const uint8_t* packet) { Packet(packet, out); });
}

void CServiceFilter::Packet(const uint8_t* p, std::vector<uint8_t>& out)
{
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    if (pid == 0) {
        // The broadcaster's PAT never passes; ours goes out where each of its ends.
        pat_.Packet(p, [this](const CSection& s) { OnPat(s); });
        if (patDue_ && patReady_) WriteSection(patSection_, 0, patCc_, out);
        patDue_ = false;
        return;
    }
    if (pid == kSdtPid) {
        // Nor does its SDT: the service's entry goes out alone, where the section that holds it ends.
        sdt_.Packet(p, [this](const CSection& s) { OnSdt(s); });
        if (sdtDue_) WriteSection(sdtSection_, kSdtPid, sdtCc_, out);
        sdtDue_ = false;
        return;
    }
    if (pid == kNullPid || !pass_[pid]) return;
    out.insert(out.end(), p, p + kTsPacketSize);
    // The PMT's own packets pass whole; a new version takes effect after it.
    if (pid == pmtPid_) pmt_.Packet(p, [this](const CSection& s) { OnPmt(s); });
}

void CServiceFilter::OnPat(const CSection& section)
{
    Pat pat;
    if (!ParsePat(section, pat)) return;
    const auto it = std::find_if(pat.programs.begin(), pat.programs.end(),
                                 [this](const PatProgram& p) { return p.programNumber == serviceId_; });
    if (it == pat.programs.end()) {
        // A PAT in several sections may list the service in another.
        if (section.lastSectionNumber() != 0) return;
        missing_ = true;
        patReady_ = false;
        if (pmtPid_ != kNullPid) pass_.reset(pmtPid_);
        pmtPid_ = kNullPid;
        SetPids({});
        return;
    }
    missing_ = false;
    const uint16_t pmtPid = it->pmtPid;
    if (pmtPid == 0 || pmtPid == kNullPid) return;
    if (pmtPid != pmtPid_) {
        if (pmtPid_ != kNullPid) pass_.reset(pmtPid_);
        pmtPid_ = pmtPid;
        pmt_.Reset();
        pmtVersion_ = -1;
        SetPids({});
        pass_.set(pmtPid_);
        patTsid_ = -1;  // what the PAT says has changed
    }
    if (patTsid_ != pat.transportStreamId) BuildPat(pat.transportStreamId);
    patDue_ = true;
}

void CServiceFilter::OnPmt(const CSection& section)
{
    Pmt pmt;
    if (!ParsePmt(section, pmt) || pmt.programNumber != serviceId_) return;
    if (pmt.version == pmtVersion_) return;
    pmtVersion_ = pmt.version;
    SetPids(pmt.Pids());
}

void CServiceFilter::SetPids(const std::vector<uint16_t>& streams)
{
    pass_.reset();
    for (const uint16_t pid : {kCatPid, kNitPid, kEitPid, kTdtPid}) pass_.set(pid);
    if (pmtPid_ != kNullPid) pass_.set(pmtPid_);
    for (const uint16_t pid : streams)
        if (pid != 0 && pid != kNullPid) pass_.set(pid);
}

// The PAT of the service alone: its program and PMT PID, nothing else.
void CServiceFilter::BuildPat(uint16_t transportStreamId)
{
    patTsid_ = transportStreamId;
    patVersion_ = static_cast<uint8_t>((patVersion_ + 1) & 0x1F);
    patSection_ = {
        0x00,                                                    // table id
        0xB0, 13,                                                // syntax 1, length
        static_cast<uint8_t>(transportStreamId >> 8), static_cast<uint8_t>(transportStreamId),
        static_cast<uint8_t>(0xC1 | patVersion_ << 1),           // version, current
        0, 0,                                                    // section 0 of 0
        static_cast<uint8_t>(serviceId_ >> 8), static_cast<uint8_t>(serviceId_),
        static_cast<uint8_t>(0xE0 | pmtPid_ >> 8), static_cast<uint8_t>(pmtPid_),
    };
    const uint32_t crc = Crc32Mpeg(patSection_.data(), patSection_.size());
    for (int i = 0; i < 4; ++i) patSection_.push_back(static_cast<uint8_t>(crc >> (24 - 8 * i)));
    patReady_ = true;
}

// The SDT (actual) of the service alone: the stream's ids, the service's
// entry as the broadcaster wrote it, a version of its own.
void CServiceFilter::OnSdt(const CSection& section)
{
    if (section.tableId() != 0x42 || !section.isCurrent() || patTsid_ < 0 || section.tableIdExtension() != patTsid_)
        return;
    const auto payload = section.payload();
    if (payload.size() < 3) return;
    for (size_t at = 3; at + 5 <= payload.size();) {
        const uint16_t id = static_cast<uint16_t>(payload[at] << 8 | payload[at + 1]);
        const size_t end = at + 5 + ((payload[at + 3] & 0x0F) << 8 | payload[at + 4]);
        if (end > payload.size()) return;  // a loop that lies
        if (id != serviceId_) {
            at = end;
            continue;
        }
        const std::vector<uint8_t> entry(payload.begin() + static_cast<long>(at), payload.begin() + static_cast<long>(end));
        if (entry != sdtEntry_ || sdtSection_.empty() || sdtSection_[3] != section.bytes()[3] ||
            sdtSection_[4] != section.bytes()[4] || sdtSection_[8] != payload[0] || sdtSection_[9] != payload[1]) {
            sdtEntry_ = entry;
            sdtVersion_ = static_cast<uint8_t>((sdtVersion_ + 1) & 0x1F);
            const size_t length = 5 + 3 + entry.size() + 4;
            sdtSection_ = {0x42, static_cast<uint8_t>((section.bytes()[1] & 0xF0) | length >> 8), static_cast<uint8_t>(length),
                           section.bytes()[3], section.bytes()[4], static_cast<uint8_t>(0xC1 | sdtVersion_ << 1),
                           0, 0, payload[0], payload[1], 0xFF};
            sdtSection_.insert(sdtSection_.end(), entry.begin(), entry.end());
            const uint32_t crc = Crc32Mpeg(sdtSection_.data(), sdtSection_.size());
            for (int i = 0; i < 4; ++i) sdtSection_.push_back(static_cast<uint8_t>(crc >> (24 - 8 * i)));
        }
        sdtDue_ = true;
        return;
    }
}

void CServiceFilter::WriteSection(const std::vector<uint8_t>& section, uint16_t pid, uint8_t& cc,
                                  std::vector<uint8_t>& out)
{
    size_t at = 0;
    bool first = true;
    while (at < section.size()) {
        uint8_t packet[kTsPacketSize];
        std::memset(packet, 0xFF, sizeof packet);
        cc = static_cast<uint8_t>((cc + 1) & 0x0F);
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((first ? 0x40 : 0x00) | (pid >> 8 & 0x1F));
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = static_cast<uint8_t>(0x10 | cc);
        size_t from = 4;
        if (first) packet[from++] = 0;  // pointer field
        const size_t n = std::min(section.size() - at, kTsPacketSize - from);
        std::memcpy(packet + from, section.data() + at, n);
        at += n;
        first = false;
        out.insert(out.end(), packet, packet + kTsPacketSize);
    }
}

}  // namespace tstables
