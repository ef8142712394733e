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
    pass_.reset();
    for (const uint16_t pid : {kCatPid, kNitPid, kSdtPid, kEitPid, kTdtPid}) pass_.set(pid);
    pat_.Reset();
    pmt_.Reset();
    pmtPid_ = kNullPid;
    pmtVersion_ = -1;
    missing_ = false;
    patDue_ = false;
    patReady_ = false;
    patTsid_ = -1;
    partialSize_ = 0;
}

void CServiceFilter::Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    while (size > 0) {
        if (partialSize_ == 0) {
            if (data[0] != 0x47) {
                ++data;
                --size;
                continue;
            }
            if (size >= kTsPacketSize) {
                Packet(data, out);
                data += kTsPacketSize;
                size -= kTsPacketSize;
                continue;
            }
        }
        const size_t n = std::min(size, kTsPacketSize - partialSize_);
        std::memcpy(partial_.data() + partialSize_, data, n);
        partialSize_ += n;
        data += n;
        size -= n;
        if (partialSize_ == kTsPacketSize) {
            partialSize_ = 0;
            Packet(partial_.data(), out);
        }
    }
}

void CServiceFilter::Packet(const uint8_t* p, std::vector<uint8_t>& out)
{
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    if (pid == 0) {
        // The broadcaster's PAT never passes; ours goes out where each of its ends.
        pat_.Packet(p, [this](const CSection& s) { OnPat(s); });
        if (patDue_ && patReady_) WritePat(out);
        patDue_ = false;
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
    for (const uint16_t pid : {kCatPid, kNitPid, kSdtPid, kEitPid, kTdtPid}) pass_.set(pid);
    if (pmtPid_ != kNullPid) pass_.set(pmtPid_);
    for (const uint16_t pid : streams)
        if (pid != 0 && pid != kNullPid) pass_.set(pid);
}

// The PAT of the service alone: its program and PMT PID, nothing else.
void CServiceFilter::BuildPat(uint16_t transportStreamId)
{
    patTsid_ = transportStreamId;
    patVersion_ = static_cast<uint8_t>((patVersion_ + 1) & 0x1F);
    uint8_t section[16] = {
        0x00,                                                    // table id
        0xB0, 13,                                                // syntax 1, length
        static_cast<uint8_t>(transportStreamId >> 8), static_cast<uint8_t>(transportStreamId),
        static_cast<uint8_t>(0xC1 | patVersion_ << 1),           // version, current
        0, 0,                                                    // section 0 of 0
        static_cast<uint8_t>(serviceId_ >> 8), static_cast<uint8_t>(serviceId_),
        static_cast<uint8_t>(0xE0 | pmtPid_ >> 8), static_cast<uint8_t>(pmtPid_),
    };
    const uint32_t crc = Crc32Mpeg(section, 12);
    for (int i = 0; i < 4; ++i) section[12 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    patPacket_.fill(0xFF);
    patPacket_[0] = 0x47;
    patPacket_[1] = 0x40;  // payload unit start, PID 0
    patPacket_[2] = 0x00;
    patPacket_[4] = 0;  // pointer field
    std::memcpy(patPacket_.data() + 5, section, sizeof section);
    patReady_ = true;
}

void CServiceFilter::WritePat(std::vector<uint8_t>& out)
{
    patCc_ = static_cast<uint8_t>((patCc_ + 1) & 0x0F);
    patPacket_[3] = static_cast<uint8_t>(0x10 | patCc_);
    out.insert(out.end(), patPacket_.begin(), patPacket_.end());
}

}  // namespace tstables
