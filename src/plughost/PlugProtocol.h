// What TunerHost and its plug-in host processes say to each other. TunerHost
// gives each connection a host of its own (and a throwaway one to each
// plug-in it probes at start-up), of the plug-in's own bitness; the host loads the
// plug-in and, when present, the descrambler, and only descrambled stream
// crosses, through the stream ring (relay/StreamRing.h).
//
// The host's command line names four handles it inherits, in decimal: the
// channel (its end of a byte pipe), the ring's section, its ready event and
// its room event; a probe host gets 0 for the last three. On the channel each request
// and each reply is a frame: a CFrameHeader and `size` bytes that follow.
// Requests are answered in order, one at a time; every reply starts with a
// 32-bit result.
#pragma once
#include <cstdint>

constexpr wchar_t kPlugHost32[] = L"PlugHost32.exe";
constexpr wchar_t kPlugHost64[] = L"PlugHost64.exe";

struct CFrameHeader {
    uint32_t size;  // bytes after the header
    uint32_t code;  // request: a PlugRequest; reply: 0
};

// The most a frame may carry; a catalogue entry bigger than this is left out.
constexpr uint32_t kMaxFrameBytes = 16u << 20;

// Bounds on what a plug-in may list; a plug-in whose spaces or channels do
// not end within them is left out, since its lists would never end.
constexpr uint32_t kMaxSpaces = 256;
constexpr uint32_t kMaxChannelsPerSpace = 4096;
constexpr uint32_t kMaxNameUnits = 1024;  // longer names are cut

enum class PlugRequest : uint32_t {
    // A connection's tuner, in the order of a connection.
    Load = 1,    // file name (UTF-16): the descrambler, then the plug-in
    Open = 2,    // factory, Open, IBonDriver2, reception and signal threads
    Start = 3,   // reception parked, Discard, the host's queue purged; parked
    Tune = 4,    // space, channel: parked, Tune, Discard, purged; parked
    Halt = 5,    // reception parked: the stream stops
    Resume = 6,  // the stream goes on (after TunerHost's own purge)
    Close = 7,   // threads ended, object closed and destroyed, DLLs unloaded, the ring let go
    // The start-up probe's two steps, so that hosts start side by side.
    ProbeLoad = 8,  // full path
    ProbeList = 9,  // Open, spaces and channels, Close, Destroy, unload
    Quit = 10,
};

// Results of Start and Tune beyond success and failure.
constexpr uint32_t kResultFailed = 0;
constexpr uint32_t kResultDone = 1;
// The host's descrambler worker did not park for the purge (a Decode that
// does not come back): no stream can follow.
constexpr uint32_t kResultStreamLost = 2;
