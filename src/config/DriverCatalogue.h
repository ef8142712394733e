// Discovery of the tuner plug-ins beside the executable.
#pragma once
#include "config/CConfig.h"
#include "plughost/PlugProtocol.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// How long start-up waits for one plug-in's probe: one whose calls do not come
// back by then (a device that never answers) is left out.
constexpr DWORD kProbeBoundMs = 10000;

// Loads, opens and queries one plug-in, on a thread of its own and within
// kProbeBoundMs; fills entry.spaces. True when at least one space with
// channels was found.
bool ProbeDriver(CDriverInfo& entry, const std::wstring& directory);

// A probe that outlasted its bound goes on. The entries of those that came
// back since with spaces (the catalogue's defaults, FixChannel as a scan sets
// it), taken once each.
std::vector<CDriverInfo> TakeLateProbes();
// From then on each late probe that comes back posts `message` to `window`,
// and one is posted at once when some are waiting already.
void TellLateProbesTo(HWND window, UINT message);

// Copies a name the plug-in returned, bounded in length; false when its
// memory cannot be read (a pointer to memory it has freed).
bool CopyPluginString(const wchar_t* text, std::wstring& out);
