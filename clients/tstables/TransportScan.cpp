#include "TransportScan.h"

#include <algorithm>

namespace tstables {
namespace {

// A program without an SDT entry: what its PMT carries.
uint8_t GuessServiceType(const Pmt& pmt)
{
    bool audio = false;
    for (const PmtStream& s : pmt.streams) {
        switch (s.streamType) {
        case 0x01: case 0x02: case 0x1B: case 0x24: return 0x01;
        case 0x03: case 0x04: case 0x0F: case 0x11: audio = true; break;
        default: break;
        }
    }
    return audio ? 0x02 : 0xC0;
}

}  // namespace

CTransportScan::CTransportScan(EitHandler onEit)
    : onEit_(std::move(onEit)), demux_([this](uint16_t pid, const CSection& s) { OnSection(pid, s); })
{
    for (const uint16_t pid : {kPatPid, kNitPid, kSdtPid, kEitPid}) demux_.AddPid(pid);
}

void CTransportScan::Feed(const uint8_t* data, size_t size)
{
    packets_.Feed(data, size, [this](const uint8_t* p) {
        // Scrambling control is set only on packets with a payload.
        if (p[3] & 0x10) {
            Scrambling& n = scrambling_[static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2])];
            ++((p[3] & 0xC0) ? n.scrambled : n.clear);
        }
        demux_.FeedPacket(p);
    });
}

void CTransportScan::OnSection(uint16_t pid, const CSection& section)
{
    if (pid == kPatPid) {
        Pat pat;
        if (!ParsePat(section, pat)) return;
        // A new PAT (the stream's first, or a change) names the PMTs to read;
        // those it no longer lists are forgotten.
        auto listed = [&](uint16_t program, uint16_t pmtPid) {
            return std::any_of(pat.programs.begin(), pat.programs.end(), [&](const PatProgram& p) {
                return p.programNumber == program && p.pmtPid == pmtPid;
            });
        };
        auto usesPid = [&](uint16_t pmtPid) {
            return std::any_of(pat.programs.begin(), pat.programs.end(),
                               [&](const PatProgram& p) { return p.pmtPid == pmtPid; });
        };
        if (pat_)
            for (const PatProgram& p : pat_->programs) {
                if (!listed(p.programNumber, p.pmtPid)) pmts_.erase(p.programNumber);
                if (!usesPid(p.pmtPid) && p.pmtPid >= 0x0020) demux_.RemovePid(p.pmtPid);
            }
        pat_ = std::move(pat);
        for (const PatProgram& p : pat_->programs)
            if (p.pmtPid >= 0x0020 && p.pmtPid != 0x1FFF) demux_.AddPid(p.pmtPid);
        return;
    }
    if (section.tableId() == 0x02) {
        Pmt pmt;
        if (pat_ && ParsePmt(section, pmt)) {
            const auto listed = std::find_if(pat_->programs.begin(), pat_->programs.end(), [&](const PatProgram& p) {
                return p.programNumber == pmt.programNumber && p.pmtPid == pid;
            });
            if (listed != pat_->programs.end()) pmts_[pmt.programNumber] = std::move(pmt);
        }
        return;
    }
    if (pid == kSdtPid) {
        Sdt sdt;
        if (!pat_ || !ParseSdt(section, sdt) || sdt.transportStreamId != pat_->transportStreamId) return;
        sdtNetwork_ = sdt.originalNetworkId;
        for (SdtService& s : sdt.services) sdt_[s.serviceId] = std::move(s);
        return;
    }
    if (pid == kNitPid) {
        Nit nit;
        if (!ParseNit(section, nit)) return;
        nitNetwork_ = nit.networkId;
        if (!nit.networkName.empty()) networkName_ = nit.networkName;
        for (NitTransportStream& ts : nit.transportStreams)
            if (pat_ && ts.transportStreamId == pat_->transportStreamId) nitEntry_ = std::move(ts);
        return;
    }
    if (pid == kEitPid) {
        Eit eit;
        if (!ParseEit(section, eit)) return;
        if (eit.isPresentFollowing() && eit.sectionNumber == 0) {
            presentFollowing_.insert(eit.serviceId);
            if (!eit.events.empty() && !eit.events.front().video.empty())
                video_[eit.serviceId] = eit.events.front().video.front();
        }
        if (onEit_) onEit_(eit);
    }
}

bool CTransportScan::Whole(uint16_t pid, uint8_t tableId, uint16_t extension) const
{
    return demux_.versions().Complete(pid, tableId, extension);
}

bool CTransportScan::Complete() const
{
    return Missing().empty();
}

std::string CTransportScan::Missing() const
{
    if (!pat_) return "PAT";
    std::string missing;
    auto add = [&](const char* what) { missing += (missing.empty() ? "" : ", ") + std::string(what); };
    if (!Whole(kPatPid, 0x00, pat_->transportStreamId)) add("PAT");
    for (const PatProgram& p : pat_->programs)
        if (p.pmtPid >= 0x0020 && p.pmtPid != 0x1FFF && !pmts_.count(p.programNumber)) {
            add("PMT");
            break;
        }
    if (!Whole(kSdtPid, 0x42, pat_->transportStreamId)) add("SDT");
    if (!nitNetwork_ || !Whole(kNitPid, 0x40, *nitNetwork_)) add("NIT");
    for (const auto& [id, s] : sdt_)
        if (s.eitPresentFollowing && KindOfServiceType(s.serviceType) != ServiceKind::Data &&
            !presentFollowing_.count(id)) {
            add("EIT");
            break;
        }
    return missing;
}

ScannedTransport CTransportScan::Result() const
{
    ScannedTransport t;
    if (!pat_) return t;
    t.transportStreamId = pat_->transportStreamId;
    t.originalNetworkId = sdtNetwork_.value_or(nitNetwork_.value_or(0));
    t.networkId = nitNetwork_.value_or(0);
    t.networkName = networkName_;
    if (nitEntry_) {
        t.remoteControlKeyId = nitEntry_->remoteControlKeyId;
        t.name = nitEntry_->name;
        if (!sdtNetwork_) t.originalNetworkId = nitEntry_->originalNetworkId;
    }
    std::map<uint16_t, ScannedService> services;
    for (const auto& [id, s] : sdt_) {
        ScannedService& out = services[id];
        out.serviceId = id;
        out.serviceType = s.serviceType;
        out.name = s.serviceName;
        out.provider = s.providerName;
        out.scrambled = s.freeCaMode;
    }
    for (const PatProgram& p : pat_->programs) {
        ScannedService& out = services[p.programNumber];
        out.serviceId = p.programNumber;
        out.pmtPid = p.pmtPid;
        const auto pmt = pmts_.find(p.programNumber);
        if (pmt == pmts_.end()) continue;
        Scrambling seen;
        for (const PmtStream& s : pmt->second.streams) {
            out.streamTypes.push_back(s.streamType);
            const auto n = scrambling_.find(s.pid);
            if (n == scrambling_.end()) continue;
            seen.scrambled += n->second.scrambled;
            seen.clear += n->second.clear;
        }
        out.scrambledPackets = seen.scrambled > seen.clear;
        if (!sdt_.count(p.programNumber)) out.serviceType = GuessServiceType(pmt->second);
    }
    if (nitEntry_)
        for (const NitService& n : nitEntry_->services) {
            const auto it = services.find(n.serviceId);
            if (it == services.end()) continue;
            it->second.number = n.number;
            if (!it->second.serviceType) it->second.serviceType = n.serviceType;
        }
    for (const auto& [id, v] : video_) {
        const auto it = services.find(id);
        if (it == services.end()) continue;
        it->second.videoContent = v.streamContent;
        it->second.videoType = v.componentType;
    }
    for (auto& [id, s] : services) t.services.push_back(std::move(s));
    return t;
}

}  // namespace tstables
