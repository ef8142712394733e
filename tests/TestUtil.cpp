#include "TestUtil.h"

#include "common/WinHandle.h"

#include <cstdlib>
#include <cstring>
#include <vector>

std::wstring BinDir()
{
    wchar_t path[4096] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\'));
}

std::wstring OtherBin()
{
    const char* unixPath = std::getenv("TUNERHOST_OTHER_BIN");
    if (!unixPath || !*unixPath) return L"";
    std::wstring path = L"Z:";
    for (const char* c = unixPath; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

namespace {
void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW data;
    CFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(dir.c_str());
}
}  // namespace

CTempDir::CTempDir(const wchar_t* name)
{
    const std::wstring root = BinDir() + L"\\testdirs";
    CreateDirectoryW(root.c_str(), nullptr);
    path_ = root + L"\\" + name + L"_" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

CTempDir::~CTempDir() { RemoveTree(path_); }

bool CopyFromBin(const wchar_t* binName, const CTempDir& dir, const std::wstring& newName)
{
    return CopyFileW((BinDir() + L"\\" + binName).c_str(), dir.File(newName).c_str(), FALSE) != 0;
}

bool CopyPlugHosts(const CTempDir& dir)
{
    bool any = false;
    for (const wchar_t* host : {L"PlugHost32.exe", L"PlugHost64.exe"})
        if (GetFileAttributesW((BinDir() + L"\\" + host).c_str()) != INVALID_FILE_ATTRIBUTES)
            any = CopyFromBin(host, dir, host) || any;
    return any;
}

bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    CFileHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD written = 0;
    return WriteFile(f.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string ReadTextFile(const std::wstring& path)
{
    CFileHandle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return {};
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f.Get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

namespace {
BOOL CALLBACK FindHostWindow(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<WindowSearch*>(param);
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (std::wcscmp(cls, L"TunerHost") != 0) return TRUE;
    ++s->count;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid) s->found = hwnd;
    return TRUE;
}
}  // namespace

WindowSearch Search(DWORD pid)
{
    WindowSearch s{pid, nullptr, 0};
    EnumWindows(FindHostWindow, reinterpret_cast<LPARAM>(&s));
    return s;
}
HWND WaitForWindow(const CChild& child, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (HWND w = Search(child.Pid()).found) return w;
        if (!child.Running()) return nullptr;
        Sleep(100);
    }
    return nullptr;
}

