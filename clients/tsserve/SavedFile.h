// The files tsserve keeps beside itself (the scan's result, the guide): read
// whole, and written to a new file of the writer's own that then takes the
// old one's place, so that a crash or a full disk leaves the old file as it
// was, and two writers (two threads, or a tsserve --scan beside tsserve) do
// not write into one another's.
#pragma once
#include "common/WinHandle.h"

#include <string>

// False, with a message, when the file cannot be read; `missing` says it is
// not there at all.
bool ReadSavedFile(const std::wstring& path, std::string& bytes, bool& missing, std::string& error);
bool WriteSavedFile(const std::wstring& path, const std::string& bytes, std::string& error);
// Removes the new files that writers of the path left when they ended
// mid-save (a crash, a power cut): those named as WriteSavedFile names them
// whose process has ended, or that are older than any save takes. How many.
size_t RemoveUnfinishedSaves(const std::wstring& path);
// The file beside tsserve.exe with this name.
std::wstring BesideProgram(const wchar_t* name);
std::string Utf8Path(const std::wstring& path);

// Held while a file is read, merged and written again: one such writer of a
// path at a time, in any thread of any process on this machine.
class CSavedFileLock {
public:
    explicit CSavedFileLock(const std::wstring& path);
    ~CSavedFileLock();
    CSavedFileLock(const CSavedFileLock&) = delete;
    CSavedFileLock& operator=(const CSavedFileLock&) = delete;
    // False when another writer held it for longer than a save can take.
    bool Held() const { return held_; }

private:
    CHandle mutex_;
    bool held_ = false;
};
