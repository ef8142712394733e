#include "GuideTap.h"

#include "Cdt.h"
#include "Eit.h"
#include "Sdt.h"

using namespace tstables;

CGuideTap::CGuideTap(CGuideStore& guide)
    : guide_(guide), demux_([this](uint16_t pid, const CSection& s) { OnSection(pid, s); })
{
    demux_.AddPid(kSdtPid);
    demux_.AddPid(kEitPid);
    demux_.AddPid(kCdtPid);
}

void CGuideTap::Reset()
{
    demux_.Reset();
    progress_.Clear();
    stream_.reset();
    scheduled_.clear();
    complete_ = false;
}

void CGuideTap::Feed(const uint8_t* data, size_t size)
{
    demux_.Feed(data, size);
}

void CGuideTap::OnSection(uint16_t pid, const CSection& section)
{
    if (pid == kSdtPid) {
        Sdt sdt;
        if (!ParseSdt(section, sdt)) return;
        // The SDT of another stream would be "other" (0x46), not this table; a
        // changed id is a new stream after all.
        if (stream_ && *stream_ != std::pair(sdt.originalNetworkId, sdt.transportStreamId)) {
            progress_.Clear();
            scheduled_.clear();
            complete_ = false;
        }
        stream_ = {sdt.originalNetworkId, sdt.transportStreamId};
        for (const SdtService& s : sdt.services) {
            if (s.eitSchedule && KindOfServiceType(s.serviceType) != ServiceKind::Data) scheduled_.insert(s.serviceId);
            if (const auto logo = LogoIdOf(s.descriptors))
                guide_.NoteServiceLogo({sdt.originalNetworkId, sdt.transportStreamId, s.serviceId}, *logo);
        }
        Check();
        return;
    }
    if (pid == kCdtPid) {
        CdtLogo logo;
        if (ParseCdtLogo(section, logo)) guide_.AddLogo(logo);
        return;
    }
    Eit eit;
    if (!ParseEit(section, eit)) return;
    guide_.Add(eit, UtcNow());
    if (eit.tableId >= 0x50) {
        progress_.Add(eit);
        Check();
    }
}

void CGuideTap::Check()
{
    if (complete_ || !stream_ || !demux_.versions().Complete(kSdtPid, 0x42, stream_->second)) return;
    for (const uint16_t service : scheduled_)
        if (!progress_.Complete(service)) return;
    complete_ = true;
    guide_.NoteScheduleTaken(stream_->first, stream_->second, UtcNow());
}
