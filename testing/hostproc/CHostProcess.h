// TunerHost in a folder of its own beside the simulated plug-in (as
// BonDriver_SimT.dll and BonDriver_SimS.dll) and, when asked, the stand-in
// descrambler; for the benchmark and the soak tool. The plug-ins' logs are
// kept in the folder and can be counted.
#pragma once
#include "TunerClient.h"
#include "common/WinHandle.h"

#include <windows.h>

#include <string>
#include <vector>

// Under Wine: the Linux process id of the process whose command line holds
// `marker` (Wine shows a process's Windows command line as its Linux one), and
// a field of its /proc status in kB. 0 and -1 when not found.
int FindUnixPid(const std::string& marker);
// Every such process.
std::vector<int> FindUnixPids(const std::string& marker);
double UnixStatusKb(int unixPid, const char* field);
// The CPU seconds Linux counts for a process (user and system); -1 when not
// found. The Linux process id of this prefix's Wine server; 0 when not found.
double UnixCpuSeconds(int unixPid);
int FindWineServerPid();

class CHostProcess {
public:
    CHostProcess();
    ~CHostProcess() { Stop(); }
    CHostProcess(const CHostProcess&) = delete;
    CHostProcess& operator=(const CHostProcess&) = delete;

    // Extra [Sim] lines for a kind's plug-in, read at its next load.
    bool SetSim(TunerKind kind, const std::string& lines);
    // The stand-in descrambler beside TunerHost.exe, with extra [B25] lines; read at its next load.
    bool SetDescrambler(const std::string& lines);
    // TunerHost.exe, and its plug-in hosts where that folder has them, from
    // another build's folder (for a side-by-side run) rather than this one's.
    void UseProgramFrom(const std::wstring& folder) { program_ = folder; }
    bool Start();
    // Exit as the tray menu gives it; terminated if it does not end in 15 s.
    // Stop also removes the folder, Exit keeps it to be read.
    void Stop();
    void Exit();
    bool Alive() const;

    // TunerHost's and its plug-in hosts'.
    double CpuSeconds() const;
    // Private bytes and working set. Where the platform does not tell them for
    // another process (Wine), the resident anonymous and total memory of the
    // process as Linux counts it.
    double PrivateMB() const;
    double WorkingSetMB() const;
    DWORD Handles() const;
    DWORD Threads() const;
    // Processes TunerHost started that still run (plug-in hosts).
    DWORD Children() const;
    // Lines of a plug-in's log (or the descrambler's, kind ignored) that start with `event`.
    int Count(TunerKind kind, const char* event) const;
    int CountDescrambler(const char* event) const;

    const std::wstring& Dir() const { return dir_; }

private:
    std::wstring Log(const wchar_t* name) const { return dir_ + name; }
    int CountIn(const std::wstring& file, const char* event) const;
    void RemoveFolder();
    // The Linux process id, found once per start; -1 when not under Wine.
    int UnixPid() const;
    // A field of Linux's /proc/<pid>/status for this process, in kB; -1 when not under Wine.
    double ProcStatus(const char* field) const;
    mutable int unixPid_ = 0;  // 0: not looked for yet

    std::wstring dir_;
    std::wstring from_;
    std::wstring program_;
    CHandle process_;
    HWND window_ = nullptr;
};
