#include "SavedFile.h"

#include "common/WinHandle.h"

#include <windows.h>

#include <cstdint>
#include <cwctype>

namespace {

std::string SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = text ? Utf8Path(text) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

// The writer's process id in "1234-5678" (process and thread ids, as
// WriteSavedFile names its new file).
bool WriterProcess(const std::wstring& ids, DWORD& process)
{
    const size_t dash = ids.find(L'-');
    if (dash == 0 || dash > 10 || dash + 1 >= ids.size() || ids.size() - dash - 1 > 10) return false;
    uint64_t value = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i == dash) continue;
        if (ids[i] < L'0' || ids[i] > L'9') return false;
        if (i < dash) value = value * 10 + static_cast<uint64_t>(ids[i] - L'0');
    }
    if (value > 0xFFFFFFFFull) return false;
    process = static_cast<DWORD>(value);
    return true;
}

bool ProcessEnded(DWORD id)
{
    CHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    // Another user's process answers access denied: it runs.
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

uint64_t Ticks(const FILETIME& t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

std::string Utf8Path(const std::wstring& w)
{
    if (w.empty()) return "";
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring BesideProgram(const wchar_t* name)
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\') + 1) + name;
}

bool ReadSavedFile(const std::wstring& path, std::string& bytes, bool& missing, std::string& error)
{
    missing = false;
    // Another writer may put a new file in its place meanwhile.
    CFileHandle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              0, nullptr));
    if (!f) {
        const DWORD code = GetLastError();
        missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        error = SystemMessage(code);
        return false;
    }
    LARGE_INTEGER size = {};
    // The largest guide a broadcast fills stays far below this.
    constexpr LONGLONG kMaxSize = 256ll << 20;
    if (!GetFileSizeEx(f.Get(), &size) || size.QuadPart > kMaxSize) {
        error = "too large to be one of tsserve's files";
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t at = 0;
    while (at < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(f.Get(), bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &got, nullptr) || got == 0) {
            error = SystemMessage(GetLastError());
            return false;
        }
        at += got;
    }
    return true;
}

bool WriteSavedFile(const std::wstring& path, const std::string& bytes, std::string& error)
{
    const std::wstring temporary =
        path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetCurrentThreadId()) + L".new";
    {
        CFileHandle f(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
        if (!f) {
            error = SystemMessage(GetLastError());
            return false;
        }
        size_t at = 0;
        while (at < bytes.size()) {
            DWORD wrote = 0;
            const DWORD n = static_cast<DWORD>(bytes.size() - at < (1u << 30) ? bytes.size() - at : (1u << 30));
            if (!WriteFile(f.Get(), bytes.data() + at, n, &wrote, nullptr) || wrote == 0) {
                error = SystemMessage(GetLastError());
                f.Reset();
                DeleteFileW(temporary.c_str());
                return false;
            }
            at += wrote;
        }
        if (!FlushFileBuffers(f.Get())) {
            error = SystemMessage(GetLastError());
            f.Reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = SystemMessage(GetLastError());
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

size_t RemoveUnfinishedSaves(const std::wstring& path)
{
    constexpr uint64_t kOldTicks = 3600ull * 10000000;  // an hour, in 100 ns: no save takes that long
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
    const std::wstring name = path.substr(folder.size());
    const std::wstring suffix = L".new";
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((path + L".*" + suffix).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    size_t removed = 0;
    do {
        const std::wstring file = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || file.size() <= name.size() + 1 + suffix.size() ||
            _wcsnicmp(file.c_str(), name.c_str(), name.size()) != 0 || file[name.size()] != L'.' ||
            _wcsicmp(file.c_str() + file.size() - suffix.size(), suffix.c_str()) != 0)
            continue;
        DWORD process = 0;
        if (!WriterProcess(file.substr(name.size() + 1, file.size() - name.size() - 1 - suffix.size()), process))
            continue;
        const bool old = Ticks(now) > Ticks(found.ftLastWriteTime) + kOldTicks;
        if ((old || ProcessEnded(process)) && DeleteFileW((folder + file).c_str())) ++removed;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return removed;
}

CSavedFileLock::CSavedFileLock(const std::wstring& path)
{
    // Named by the path's full form, case folded: a mutex's name has no backslashes.
    wchar_t full[MAX_PATH * 4] = {};
    const DWORD n = GetFullPathNameW(path.c_str(), ARRAYSIZE(full), full, nullptr);
    std::wstring key = n > 0 && n < ARRAYSIZE(full) ? std::wstring(full, n) : path;
    uint64_t h = 14695981039346656037ull;
    for (const wchar_t c : key) h = (h ^ static_cast<uint64_t>(std::towlower(c))) * 1099511628211ull;
    mutex_.Reset(CreateMutexW(nullptr, FALSE, (L"tsserve saved file " + std::to_wstring(h)).c_str()));
    // A writer that ended while it held it leaves it abandoned, and free.
    constexpr DWORD kLongestSaveMs = 30000;
    const DWORD r = mutex_ ? WaitForSingleObject(mutex_.Get(), kLongestSaveMs) : WAIT_FAILED;
    held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

CSavedFileLock::~CSavedFileLock()
{
    if (held_) ReleaseMutex(mutex_.Get());
}
