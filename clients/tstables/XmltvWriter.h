// A guide as XMLTV (the XMLTV project's xmltv.dtd), as media servers read
// one: a <channel> per service with its display names, then a <programme>
// per event with start and stop in the broadcast's own offset
// ("20250101210000 +0900"; an event of unknown length stops where the guide
// says, see CEventCollector::Listing), the title, the description (the short event's
// text, then each extended item under its heading), categories (ARIB's genre
// table, Japanese and English), video and audio. Text is escaped; characters
// that XML does not allow, C1 controls and broken UTF-8 are dropped.
//
//   CXmltvWriter xml("tsserve");
//   xml.Channel({"1024.32736.t.tunerhost", {"NHK総合", "11"}});   // every channel first
//   for (const ListedEvent& e : guide.Listing(service))
//       xml.Programme("1024.32736.t.tunerhost", *e.event, e.stop);
//   std::string document = xml.Finish();
#pragma once
#include "EventCollector.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tstables {

struct XmltvChannel {
    std::string id;  // shaped like a domain name, as XMLTV asks: "1024.32736.t.tunerhost"
    std::vector<std::string> displayNames;  // the most common first
    std::string icon;                       // the URL of its logo; empty: none
};

class CXmltvWriter {
public:
    explicit CXmltvWriter(std::string_view generator);

    void Channel(const XmltvChannel& channel);
    // False (and nothing written) for an event without a start or a title,
    // which XMLTV cannot list. Without `stopUtc` it stops at its start plus
    // its duration, or CEventCollector::kAssumedSeconds after its start when
    // its duration is undefined: media servers leave out programmes without
    // a stop.
    bool Programme(const std::string& channelId, const GuideEvent& event, std::optional<int64_t> stopUtc = {});
    std::string Finish();

private:
    std::string out_;
};

// "20250101210000 +0900": the moment `utc` (seconds since 1970) as the clock
// at `offset` seconds from UTC reads it.
std::string XmltvTime(int64_t utc, int32_t offset);
// Text fit for an XML element or attribute: escaped, only characters XML
// allows, valid UTF-8.
std::string XmlText(std::string_view utf8);

}  // namespace tstables
