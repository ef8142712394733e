#include "XmltvWriter.h"

#include "Components.h"
#include "Genre.h"

#include <cstdio>
#include <set>

namespace tstables {
namespace {

// The civil date of a day count since 1970 (proleptic Gregorian).
void CivilDate(int64_t days, int& year, int& month, int& day)
{
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// The code point at `at` and its length; 0 for a length when the bytes are
// no valid UTF-8 (overlong, surrogate, past U+10FFFF, cut short).
char32_t NextCodePoint(std::string_view s, size_t at, size_t& length)
{
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(at);
    length = 0;
    if (c < 0x80) {
        length = 1;
        return c;
    }
    size_t n;
    char32_t cp, min;
    if ((c & 0xE0) == 0xC0) n = 2, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) n = 3, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) n = 4, cp = c & 0x07, min = 0x10000;
    else return 0;
    if (at + n > s.size()) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(at + i) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(at + i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    length = n;
    return cp;
}

bool XmlAllows(char32_t c)
{
    if (c == 0x9 || c == 0xA || c == 0xD) return true;
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;  // controls, C1 too
    // The replacement character stands for text already lost; validators take
    // it for mis-encoding.
    return c != 0xFFFD && c != 0xFFFE && c != 0xFFFF;
}

void Element(std::string& out, const char* name, std::string_view text, const char* lang = nullptr)
{
    out += "    <";
    out += name;
    if (lang) {
        out += " lang=\"";
        out += lang;
        out += '"';
    }
    out += '>';
    out += XmlText(text);
    out += "</";
    out += name;
    out += ">\n";
}

bool Blank(std::string_view s)
{
    for (char c : s)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return false;
    return true;
}

std::string Description(const GuideEvent& e)
{
    std::string text = e.description;
    for (const ExtendedItem& item : e.extended) {
        if (Blank(item.text)) continue;
        if (!text.empty()) text += "\n\n";
        if (!item.description.empty()) text += item.description + "\n";
        text += item.text;
    }
    return text;
}

}  // namespace

std::string XmltvTime(int64_t utc, int32_t offset)
{
    const int64_t local = utc + offset;
    int64_t days = local / 86400, seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    int year, month, day;
    CivilDate(days, year, month, day);
    const int32_t off = offset < 0 ? -offset : offset;
    char text[40];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d %c%02d%02d", year, month, day,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                  offset < 0 ? '-' : '+', static_cast<int>(off / 3600), static_cast<int>(off / 60 % 60));
    return text;
}

std::string XmlText(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t at = 0; at < s.size();) {
        size_t n;
        const char32_t c = NextCodePoint(s, at, n);
        if (n == 0) {
            ++at;  // a broken byte goes, the rest stays
            continue;
        }
        if (XmlAllows(c)) {
            switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\r': out += "&#13;"; break;
            default: out.append(s.substr(at, n));
            }
        }
        at += n;
    }
    return out;
}

CXmltvWriter::CXmltvWriter(std::string_view generator)
{
    out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n<tv generator-info-name=\"" +
           XmlText(generator) + "\">\n";
}

void CXmltvWriter::Channel(const XmltvChannel& channel)
{
    out_ += "  <channel id=\"" + XmlText(channel.id) + "\">\n";
    bool any = false;
    for (const std::string& name : channel.displayNames) {
        if (Blank(XmlText(name))) continue;
        Element(out_, "display-name", name);
        any = true;
    }
    if (!any) Element(out_, "display-name", channel.id);  // the DTD wants one
    if (!channel.icon.empty()) out_ += "    <icon src=\"" + XmlText(channel.icon) + "\" />\n";
    out_ += "  </channel>\n";
}

bool CXmltvWriter::Programme(const std::string& channelId, const GuideEvent& e, std::optional<int64_t> stopUtc)
{
    if (!e.startUtc || Blank(XmlText(e.title))) return false;
    const int64_t stop = stopUtc                                       ? *stopUtc
                         : e.durationSeconds && *e.durationSeconds > 0 ? *e.startUtc + *e.durationSeconds
                                                                       : *e.startUtc + CEventCollector::kAssumedSeconds;
    out_ += "  <programme start=\"" + XmltvTime(*e.startUtc, e.utcOffset) + "\"";
    out_ += " stop=\"" + XmltvTime(stop, e.utcOffset) + "\"";
    out_ += " channel=\"" + XmlText(channelId) + "\">\n";
    Element(out_, "title", e.title, "ja");
    const std::string desc = Description(e);
    if (!Blank(XmlText(desc))) Element(out_, "desc", desc, "ja");
    std::set<std::string> said;  // a genre given twice is one category
    for (const uint8_t genre : e.genres)
        for (const XmltvCategory& c : XmltvCategories(genre))
            if (said.insert(std::string(c.lang) + c.text).second) Element(out_, "category", c.text, c.lang);
    if (!e.video.empty()) {
        const char* aspect = VideoAspect(e.video.front());
        const char* quality = VideoQuality(e.video.front());
        out_ += "    <video>\n      <present>yes</present>\n";
        if (aspect) out_ += std::string("      <aspect>") + aspect + "</aspect>\n";
        if (quality) out_ += std::string("      <quality>") + quality + "</quality>\n";
        out_ += "    </video>\n";
    }
    if (!e.audio.empty()) {
        const char* stereo = AudioStereo(e.audio.front());
        out_ += "    <audio>\n      <present>yes</present>\n";
        if (stereo) out_ += std::string("      <stereo>") + stereo + "</stereo>\n";
        out_ += "    </audio>\n";
    }
    out_ += "  </programme>\n";
    return true;
}

std::string CXmltvWriter::Finish()
{
    out_ += "</tv>\n";
    return std::move(out_);
}

}  // namespace tstables
