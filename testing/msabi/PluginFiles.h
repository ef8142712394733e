// The files a test plug-in reads and writes: its settings beside it, and a
// log that gets one line per event.
#pragma once
#include "Kernel32.h"

constexpr size_t kPluginPathLength = MAX_PATH * 4;

// The module's own path with ".ini" in place of its extension.
void SettingsPathOf(HMODULE module, wchar_t (&path)[kPluginPathLength]);

// Appends `line` and a line feed to the file at `logPath`; nothing when the
// path is empty or the file cannot be opened.
void AppendLogLine(const wchar_t* logPath, const char* line);

// Whether a file exists (and can be opened for reading).
bool PluginFileExists(const wchar_t* path);
