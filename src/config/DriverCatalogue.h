// Discovery of the tuner plug-ins beside the executable. Each plug-in is
// probed in a throwaway plug-in host of its bitness: its DllMain, Open and
// lists run there, and a plug-in that hangs or crashes in them costs only
// that process.
#pragma once
#include "config/CConfig.h"
#include "plughost/PlugProtocol.h"

#include <windows.h>

#include <string>
#include <vector>

// How long start-up waits for one plug-in's probe, from its turn: one whose
// calls do not come back by then (a device that never answers, a DllMain that
// hangs) is left out for now.
constexpr DWORD kProbeBoundMs = 10000;
// How long such a probe is let go on in the background, from its start,
// before its host is ended: one that comes back with spaces within it joins
// the catalogue late (see TakeLateProbes).
constexpr DWORD kLateProbeBoundMs = 120000;
// Hosts started ahead of their turn: process start-up and the plug-ins'
// DllMain overlap, while the plug-ins are opened one after the other, each
// closed before the next is opened, as a device shared by two plug-ins needs.
constexpr size_t kProbesAhead = 4;

// Probes the plug-ins, in the entries' order; fills each entry's spaces.
// An entry is true when at least one space with channels was found.
std::vector<bool> ProbeDrivers(std::vector<CDriverInfo>& entries, const std::wstring& directory);

// A probe that outlasted its bound goes on. The entries of those that came
// back since with spaces (the catalogue's defaults, FixChannel as a scan sets
// it), taken once each.
std::vector<CDriverInfo> TakeLateProbes();
// From then on each late probe that comes back posts `message` to `window`,
// and one is posted at once when some are waiting already.
void TellLateProbesTo(HWND window, UINT message);
