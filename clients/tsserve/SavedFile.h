// The files tsserve keeps beside itself (the scan's result, the guide): read
// whole, and written to a new file that then takes the old one's place, so
// that a crash or a full disk leaves the old file as it was.
#pragma once
#include <string>

// False, with a message, when the file cannot be read; `missing` says it is
// not there at all.
bool ReadSavedFile(const std::wstring& path, std::string& bytes, bool& missing, std::string& error);
bool WriteSavedFile(const std::wstring& path, const std::string& bytes, std::string& error);
// The file beside tsserve.exe with this name.
std::wstring BesideProgram(const wchar_t* name);
std::string Utf8Path(const std::wstring& path);
