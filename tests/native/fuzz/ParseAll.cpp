#include "ParseAll.h"

#include "Genre.h"
#include "Nit.h"
#include "Pat.h"
#include "Pmt.h"
#include "Sdt.h"
#include "TimeTable.h"

#include <cstring>

using namespace tstables;

namespace {

// Reads every byte of the text, so that the sanitizers see a bad one.
size_t Touch(const std::string& s)
{
    return s.empty() ? 0 : std::strlen(s.c_str()) + static_cast<uint8_t>(s.back());
}

}  // namespace

void ParseAll(const CSection& section, CEventCollector& guide)
{
    volatile size_t sink = 0;
    Pat pat;
    if (ParsePat(section, pat)) sink = sink + pat.programs.size();
    Pmt pmt;
    if (ParsePmt(section, pmt)) sink = sink + pmt.Pids().size();
    Sdt sdt;
    if (ParseSdt(section, sdt))
        for (const SdtService& s : sdt.services) sink = sink + Touch(s.serviceName) + Touch(s.providerName);
    Nit nit;
    if (ParseNit(section, nit))
        for (const NitTransportStream& ts : nit.transportStreams) sink = sink + Touch(ts.name) + ts.services.size();
    BroadcastTime time;
    if (ParseTimeTable(section, time)) sink = sink + static_cast<size_t>(time.utc);
    Eit eit;
    if (ParseEit(section, eit)) {
        for (const EitEvent& e : eit.events) {
            sink = sink + Touch(e.title) + Touch(e.description);
            for (const uint8_t g : e.genres) sink = sink + XmltvCategories(g).size();
            for (const VideoComponent& v : e.video) sink = sink + (VideoQuality(v) != nullptr) + (VideoAspect(v) != nullptr);
            for (const AudioComponent& a : e.audio) sink = sink + (AudioStereo(a) != nullptr) + Touch(a.text);
        }
        guide.Add(eit);
        for (const ListedEvent& e : guide.Listing({eit.originalNetworkId, eit.transportStreamId, eit.serviceId}))
            sink = sink + static_cast<size_t>(e.stop - e.start) + Touch(e.event->title);
        for (const auto& [key, event] : guide.events())
            for (const ExtendedItem& item : event.extended) sink = sink + Touch(item.description) + Touch(item.text);
        guide.DropEndedBefore(1704110400);
    }
}
