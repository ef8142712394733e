// A programme's video and audio as its EIT describes them: ARIB's component
// descriptor (0x50) and audio component descriptor (0xC4) of ARIB STD-B10,
// with their types put as XMLTV's <video> and <audio> elements say them.
#pragma once
#include "Descriptors.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tstables {

struct VideoComponent {
    uint8_t streamContent = 0;  // 0x01 MPEG-2, 0x05 H.264, 0x09 HEVC
    uint8_t componentType = 0;  // resolution (high nibble) and aspect (low)
    uint8_t componentTag = 0;
    std::string language;       // ISO 639-2, e.g. "jpn"
    std::string text;
};

struct AudioComponent {
    uint8_t streamContent = 0;
    uint8_t componentType = 0;  // channel layout: 0x01 mono ... 0x09 5.1
    uint8_t componentTag = 0;
    uint8_t streamType = 0;
    uint8_t simulcastGroupTag = 0;
    bool multiLingual = false;  // dual mono in two languages
    bool mainComponent = false;
    uint8_t qualityIndicator = 0;
    uint8_t samplingRate = 0;   // code: 1 16 kHz, 2 22.05, 3 24, 5 32, 6 44.1, 7 48
    std::string language;
    std::string language2;      // the second language of dual mono
    std::string text;
};

std::optional<VideoComponent> ParseComponentDescriptor(const Descriptor& d);
std::optional<AudioComponent> ParseAudioComponentDescriptor(const Descriptor& d);

// XMLTV <quality>: "480i", "480p", "720p", "1080i", "1080p", "2160p", "240p";
// null if not a known video type.
const char* VideoQuality(const VideoComponent& v);
// XMLTV <aspect>: "4:3" or "16:9"; null if wider or unknown.
const char* VideoAspect(const VideoComponent& v);
// XMLTV <stereo>: "mono", "bilingual", "stereo", "surround"; null if unknown.
const char* AudioStereo(const AudioComponent& a);

}  // namespace tstables
