#pragma once
#include <windows.h>

#include <string>

// The folder of the test executable, where the build puts the host, the tools
// and the test plug-ins.
std::wstring BinDir();

// A fresh folder under the build's test area, removed with its contents.
class CTempDir {
public:
    explicit CTempDir(const wchar_t* name);
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Copies a file from BinDir() into dir under a new name.
bool CopyFromBin(const wchar_t* binName, const CTempDir& dir, const std::wstring& newName);
bool WriteTextFile(const std::wstring& path, const std::string& text);
std::string ReadTextFile(const std::wstring& path);
