// The start-up probe of one plug-in, in a throwaway plug-in host: loaded by
// its full path (its DllMain runs here, where a hang or a crash costs only
// this process), then opened, its spaces and channels listed, closed,
// destroyed and unloaded.
#pragma once
#include "common/WinHandle.h"
#include "config/CConfig.h"

#include <string>
#include <vector>

bool ProbeLoad(const std::wstring& path, CModule& module);
// Fills `spaces` with those that list at least one channel; unloads the
// module. False when the plug-in cannot be opened or lists nothing usable.
bool ProbeList(CModule& module, std::vector<CSpaceInfo>& spaces);

// Copies a name the plug-in returned, bounded in length; false when its
// memory cannot be read (a pointer to memory it has freed).
bool CopyPluginString(const wchar_t* text, std::wstring& out);
