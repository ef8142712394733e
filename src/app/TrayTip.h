// The text shown when the pointer rests on the tray icon.
#pragma once
#include <string>

// What the tip tells of one tuner kind.
struct CTunerStatus {
    bool served = false;      // a tuner context exists
    std::wstring plugin;      // its plug-in's file name
    bool inUse = false;       // a client has it open
    std::wstring channel;     // the channel last tuned, empty while none
    float signalLevel = 0.0f;
};

// "TunerHost", then a line per kind; never more than maxUnits units (the
// tip's buffer holds 127 and its terminator): long plug-in names are cut.
std::wstring FormatTrayTip(const CTunerStatus& terrestrial, const CTunerStatus& satellite, size_t maxUnits = 127);
