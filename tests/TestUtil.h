#pragma once
#include <windows.h>

#include "common/WinHandle.h"

#include <string>

// The folder of the test executable, where the build puts the host, the tools
// and the test plug-ins.
std::wstring BinDir();

// The other build's bin folder (TUNERHOST_OTHER_BIN), as Wine names it;
// empty when not given.
std::wstring OtherBin();

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
// Copies the plug-in host that TunerHost starts beside itself (the build's
// own bitness's) into dir.
bool CopyPlugHosts(const CTempDir& dir);
bool WriteTextFile(const std::wstring& path, const std::string& text);
std::string ReadTextFile(const std::wstring& path);

// A process started by a test; ended by its handle however the test leaves.
class CChild {
public:
    // With `output`, the child's standard output and error go to that file.
    bool Start(const std::wstring& exe, const std::wstring& dir, const std::wstring& args = L"",
               const std::wstring& output = L"")
    {
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        CFileHandle out;
        if (!output.empty()) {
            SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
            out.Reset(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
            if (!out) return false;
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdOutput = si.hStdError = out.Get();
            si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        }
        if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, out ? TRUE : FALSE, 0, nullptr, dir.c_str(),
                            &si, &pi))
            return false;
        process_.Reset(pi.hProcess);
        CloseHandle(pi.hThread);
        pid_ = pi.dwProcessId;
        return true;
    }
    ~CChild()
    {
        if (process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.Get(), 1);
            WaitForSingleObject(process_.Get(), 5000);
        }
    }
    // True when the process ended within the time; its code in `code`.
    bool WaitExit(DWORD ms, DWORD& code)
    {
        if (WaitForSingleObject(process_.Get(), ms) != WAIT_OBJECT_0) return false;
        GetExitCodeProcess(process_.Get(), &code);
        return true;
    }
    bool Running() const { return WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }
    DWORD Pid() const { return pid_; }

private:
    CHandle process_;
    DWORD pid_ = 0;
};

struct WindowSearch {
    DWORD pid;
    HWND found;
    int count;
};
// TunerHost windows: how many there are, and the one of process pid.
WindowSearch Search(DWORD pid);
HWND WaitForWindow(const CChild& child, DWORD ms);
