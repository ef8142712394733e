#include "Eit.h"

#include "AribText.h"
#include "ByteReader.h"

#include <algorithm>

namespace tstables {
namespace {

void ReadShortEvent(const Descriptor& d, EitEvent& e)
{
    CByteReader r(d.data);
    const auto language = r.Bytes(3);
    const auto title = r.Bytes(r.U8());
    const auto text = r.Bytes(r.U8());
    if (!r.ok()) return;
    e.hasShortEvent = true;
    e.language = LanguageCode(language);
    e.title = DecodeAribText(title);
    e.description = DecodeAribText(text);
}

void ReadContent(const Descriptor& d, EitEvent& e)
{
    e.hasContent = true;
    for (size_t i = 0; i + 1 < d.data.size(); i += 2) {
        e.genres.push_back(d.data[i]);
        e.userGenres.push_back(d.data[i + 1]);
    }
}

// group_type 1 shared, 2 relay and 3 movement within the network: service
// and event ids; 4 relay and 5 movement to another network: after an
// empty event loop, network, stream, service and event ids. Other types
// (and reserved ones) tell nothing a guide shows.
void ReadEventGroup(const Descriptor& d, EitEvent& e)
{
    CByteReader r(d.data);
    const uint8_t head = r.U8();
    const uint8_t type = head >> 4, count = head & 0x0F;
    if (!r.ok() || type == 0 || type > 5) return;
    e.hasRelated = true;
    std::vector<RelatedEvent> found;
    for (uint8_t i = 0; i < count; ++i) {
        const uint16_t service = r.U16(), event = r.U16();
        if (!r.ok()) return;
        if (type <= 3) found.push_back({static_cast<RelatedEvent::Type>(type), 0, service, event});
    }
    while (type > 3 && r.ok() && !r.empty()) {
        const uint16_t network = r.U16();
        r.U16();  // the transport stream
        const uint16_t service = r.U16(), event = r.U16();
        if (!r.ok()) return;
        found.push_back({type == 4 ? RelatedEvent::Type::Relay : RelatedEvent::Type::Movement, network, service,
                         event});
    }
    e.related.insert(e.related.end(), found.begin(), found.end());
}

void ReadExtendedEvent(const Descriptor& d, EitEvent& e)
{
    CByteReader r(d.data);
    ExtendedEventPart part;
    const uint8_t numbers = r.U8();
    part.number = numbers >> 4;
    part.last = numbers & 0x0F;
    part.language = LanguageCode(r.Bytes(3));
    CByteReader items = r.Sub(r.U8());
    while (items.ok() && !items.empty()) {
        const auto description = items.Bytes(items.U8());
        const auto text = items.Bytes(items.U8());
        if (!items.ok()) break;
        part.items.push_back({{description.begin(), description.end()}, {text.begin(), text.end()}});
    }
    const auto text = r.Bytes(r.U8());
    if (!items.ok() || !r.ok()) return;
    part.text.assign(text.begin(), text.end());
    e.extendedParts.push_back(std::move(part));
}

void ReadDescriptors(const DescriptorList& list, EitEvent& e)
{
    for (const Descriptor& d : list) {
        switch (d.tag) {
        case kShortEventDescriptor: ReadShortEvent(d, e); break;
        case kContentDescriptor: ReadContent(d, e); break;
        case kEventGroupDescriptor: ReadEventGroup(d, e); break;
        case kExtendedEventDescriptor: ReadExtendedEvent(d, e); break;
        case kComponentDescriptor:
            if (auto v = ParseComponentDescriptor(d)) e.video.push_back(std::move(*v));
            break;
        case kAudioComponentDescriptor:
            if (auto a = ParseAudioComponentDescriptor(d)) e.audio.push_back(std::move(*a));
            break;
        default: break;
        }
    }
}

}  // namespace

std::vector<ExtendedItem> JoinExtendedItems(std::vector<const ExtendedEventPart*> parts)
{
    std::stable_sort(parts.begin(), parts.end(),
                     [](const ExtendedEventPart* a, const ExtendedEventPart* b) { return a->number < b->number; });
    std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> raw;
    std::vector<uint8_t> freeText;
    for (const ExtendedEventPart* part : parts) {
        for (const auto& item : part->items) {
            if (item.description.empty() && !raw.empty())
                raw.back().second.insert(raw.back().second.end(), item.text.begin(), item.text.end());
            else
                raw.emplace_back(item.description, item.text);
        }
        freeText.insert(freeText.end(), part->text.begin(), part->text.end());
    }
    std::vector<ExtendedItem> out;
    for (const auto& [description, text] : raw) out.push_back({DecodeAribText(description), DecodeAribText(text)});
    if (!freeText.empty()) out.push_back({std::string(), DecodeAribText(freeText)});
    return out;
}

bool ParseEit(const CSection& section, Eit& out)
{
    const uint8_t table = section.tableId();
    if ((table != 0x4E && (table < 0x50 || table > 0x5F)) || !section.isLong()) return false;
    Eit eit;
    eit.tableId = table;
    eit.serviceId = section.tableIdExtension();
    eit.version = section.version();
    eit.sectionNumber = section.sectionNumber();
    eit.lastSectionNumber = section.lastSectionNumber();
    CByteReader r(section.payload());
    eit.transportStreamId = r.U16();
    eit.originalNetworkId = r.U16();
    eit.segmentLastSectionNumber = r.U8();
    eit.lastTableId = r.U8();
    while (r.ok() && !r.empty()) {
        EitEvent e;
        e.eventId = r.U16();
        const auto start = r.Bytes(5);
        const auto duration = r.Bytes(3);
        const uint16_t status = r.U16();
        DescriptorList descriptors;
        if (!ReadDescriptorLoop(r, status & 0x0FFF, descriptors)) break;
        e.startUtc = JstMjdBcdToUtc(start.data());
        e.durationSeconds = BcdDurationSeconds(duration.data());
        e.runningStatus = static_cast<uint8_t>(status >> 13);
        e.freeCaMode = (status & 0x1000) != 0;
        ReadDescriptors(descriptors, e);
        eit.events.push_back(std::move(e));
    }
    if (!r.ok()) return false;
    out = std::move(eit);
    return true;
}

}  // namespace tstables
