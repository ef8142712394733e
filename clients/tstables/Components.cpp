#include "Components.h"

#include "AribText.h"
#include "ByteReader.h"

namespace tstables {
namespace {

bool IsVideoContent(uint8_t content)
{
    return content == 0x01 || content == 0x05 || content == 0x09;
}

}  // namespace

std::optional<VideoComponent> ParseComponentDescriptor(const Descriptor& d)
{
    if (d.tag != kComponentDescriptor) return std::nullopt;
    CByteReader r(d.data);
    VideoComponent v;
    v.streamContent = r.U8() & 0x0F;
    v.componentType = r.U8();
    v.componentTag = r.U8();
    v.language = LanguageCode(r.Bytes(3));
    if (!r.ok()) return std::nullopt;
    v.text = DecodeAribText(r.Bytes(r.left()));
    return v;
}

std::optional<AudioComponent> ParseAudioComponentDescriptor(const Descriptor& d)
{
    if (d.tag != kAudioComponentDescriptor) return std::nullopt;
    CByteReader r(d.data);
    AudioComponent a;
    a.streamContent = r.U8() & 0x0F;
    a.componentType = r.U8();
    a.componentTag = r.U8();
    a.streamType = r.U8();
    a.simulcastGroupTag = r.U8();
    const uint8_t flags = r.U8();
    a.multiLingual = (flags & 0x80) != 0;
    a.mainComponent = (flags & 0x40) != 0;
    a.qualityIndicator = (flags >> 4) & 3;
    a.samplingRate = (flags >> 1) & 7;
    a.language = LanguageCode(r.Bytes(3));
    if (a.multiLingual) a.language2 = LanguageCode(r.Bytes(3));
    if (!r.ok()) return std::nullopt;
    a.text = DecodeAribText(r.Bytes(r.left()));
    return a;
}

const char* VideoQuality(const VideoComponent& v)
{
    if (!IsVideoContent(v.streamContent)) return nullptr;
    switch (v.componentType >> 4) {
    case 0x0: return "480i";
    case 0x9: return "2160p";
    case 0xA: return "480p";
    case 0xB: return "1080i";
    case 0xC: return "720p";
    case 0xD: return "240p";
    case 0xE: return "1080p";
    default: return nullptr;
    }
}

const char* VideoAspect(const VideoComponent& v)
{
    if (!IsVideoContent(v.streamContent)) return nullptr;
    switch (v.componentType & 0x0F) {
    case 0x1: return "4:3";
    case 0x2: case 0x3: return "16:9";
    default: return nullptr;
    }
}

const char* AudioStereo(const AudioComponent& a)
{
    switch (a.componentType) {
    case 0x01: return "mono";
    case 0x02: return "bilingual";
    case 0x03: return "stereo";
    case 0x04: case 0x05: case 0x06: case 0x07: case 0x08: case 0x09: return "surround";
    default: return nullptr;
    }
}

}  // namespace tstables
