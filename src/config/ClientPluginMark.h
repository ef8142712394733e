// TunerHost's own client plug-in (BonDriver_TunerHost_*.dll) carries a section
// of this name. The catalogue reads it from a file's headers, without loading
// the file, and leaves such a plug-in out under whatever name it was copied:
// served by TunerHost, it would make TunerHost a client of itself. Plain
// declarations: the client plug-in, built without a runtime, includes it too.
#pragma once

#define TUNERHOST_CLIENT_PLUGIN_SECTION ".thclnt"

// Whether the file at `path` is the client plug-in (false when it cannot be read).
bool IsClientPluginFile(const wchar_t* path);
