// tsrec: records a tuner's stream from TunerHost into a .ts file.
#include "ChannelArgument.h"
#include "ChannelList.h"
#include "TsChecker.h"
#include "TunerClient.h"
#include "Version.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNoHost = 2,
    kExitBusy = 3,
    kExitTunerFailed = 4,
    kExitNotTunerHost = 5,
    kExitWriteFailed = 6,
    kExitStreamFailed = 7,
};

void Usage()
{
    std::fputs(
        "usage: tsrec [options]\n"
        "       tsrec --list [DIR]\n"
        "       tsrec --version\n"
        "  -s            record the satellite tuner (default: terrestrial)\n"
        "  -c CHANNEL    select a channel first. Terrestrial: 13..62 (UHF), 1..12 (VHF),\n"
        "                C13..C63 (CATV), or a frequency in kHz; satellite: a TSID in hex\n"
        "  -t SECONDS    record this long (default 10)\n"
        "  -b BYTES      stop after this many bytes instead\n"
        "  -o FILE       output file (default out.ts)\n"
        "  -q            no progress line\n"
        "  --list [DIR]  print the channels TunerHost in DIR (default: tsrec's folder) would tune\n"
        "exit codes: 0 done, 1 usage, 2 TunerHost not running or not serving the kind,\n"
        "  3 tuner busy, 4 tuner failed to open, 5 not TunerHost (challenge), 6 cannot write,\n"
        "  7 the stream failed or no data arrived\n",
        stderr);
}

int ExitFor(ClientError e)
{
    switch (e) {
    case ClientError::NotRunning:
    case ClientError::NotServed: return kExitNoHost;
    case ClientError::Busy: return kExitBusy;
    case ClientError::TunerFailed: return kExitTunerFailed;
    case ClientError::ChallengeMismatch: return kExitNotTunerHost;
    default: return kExitStreamFailed;
    }
}

bool ParseNumber(const wchar_t* text, unsigned long long& out)
{
    wchar_t* end = nullptr;
    errno = 0;
    out = std::wcstoull(text, &end, 0);
    return text[0] && *end == 0 && errno == 0 && text[0] != L'-';
}

std::string Narrow(const std::wstring& w)
{
    char buf[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, buf, sizeof buf - 1, nullptr, nullptr);
    return buf;
}

struct Options {
    TunerKind kind = TunerKind::Terrestrial;
    std::wstring channel;  // as the user gave it
    double seconds = 10.0;
    unsigned long long bytes = 0;  // 0: by time
    std::wstring output = L"out.ts";
    bool quiet = false;
};

bool ParseOptions(int argc, wchar_t** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long long n = 0;
        if (a == L"-s") {
            o.kind = TunerKind::Satellite;
        } else if (a == L"-q") {
            o.quiet = true;
        } else if (a == L"-c" && hasValue) {
            o.channel = argv[++i];
        } else if (a == L"-t" && hasValue) {
            if (!ParseNumber(argv[++i], n) || n == 0) return false;
            o.seconds = static_cast<double>(n);
        } else if (a == L"-b" && hasValue) {
            if (!ParseNumber(argv[++i], n) || n == 0) return false;
            o.bytes = n;
        } else if (a == L"-o" && hasValue) {
            o.output = argv[++i];
        } else {
            return false;
        }
    }
    return o.channel.empty() || ParseChannelArgument(o.channel, o.kind == TunerKind::Terrestrial);
}

std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\'));
}

class CRecorder {
public:
    CRecorder(const Options& o) : o_(o) { QueryPerformanceFrequency(&frequency_); }

    int Run()
    {
        // Another client who reads the kind's stream for 5 s holds it (exit
        // 3); TunerHost still closing the last client's tuner is waited for.
        ClientError e = client_.ConnectControlWhenFree(o_.kind, 5000, 5000);
        if (e == ClientError::None) e = client_.Challenge();
        if (e == ClientError::None) e = client_.ConnectData();
        if (e == ClientError::None && !o_.channel.empty()) {
            const uint32_t value = *ParseChannelArgument(o_.channel, o_.kind == TunerKind::Terrestrial);
            e = client_.Command(kCmdSelectChannel, value, nullptr);
        }
        if (e != ClientError::None) {
            std::fprintf(stderr, "tsrec: %s\n", Describe(e));
            return ExitFor(e);
        }
        out_.Reset(CreateFileW(o_.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out_) {
            std::fprintf(stderr, "tsrec: cannot create %s (error %lu)\n", Narrow(o_.output).c_str(), GetLastError());
            return kExitWriteFailed;
        }
        QueryPerformanceCounter(&start_);
        const int code = Record();
        if (!o_.quiet) std::fputs("\n", stdout);
        Summary();
        return code;
    }

private:
    double Elapsed() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return double(now.QuadPart - start_.QuadPart) / double(frequency_.QuadPart);
    }

    bool Done() const { return o_.bytes ? written_ >= o_.bytes : Elapsed() >= o_.seconds; }

    int Record()
    {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDataMessageSize]);
        double lastShown = -1.0;
        while (!Done()) {
            DWORD got = 0;
            const ClientError e = client_.ReadData(buffer.get(), kDataMessageSize, got, 1000);
            if (e == ClientError::Timeout) {
                Progress(lastShown);
                continue;
            }
            if (e != ClientError::None) {
                std::fprintf(stderr, "\ntsrec: the data pipe ended: %s\n", Describe(e));
                return kExitStreamFailed;
            }
            DWORD keep = got;
            if (o_.bytes && written_ + keep > o_.bytes) keep = static_cast<DWORD>(o_.bytes - written_);
            DWORD put = 0;
            if (!WriteFile(out_.Get(), buffer.get(), keep, &put, nullptr) || put != keep) {
                const DWORD error = GetLastError();
                std::fprintf(stderr, "\ntsrec: cannot write %s: %s\n", Narrow(o_.output).c_str(),
                             error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? "disk full" : "write failed");
                return kExitWriteFailed;
            }
            checker_.Feed(buffer.get(), keep);
            written_ += keep;
            ++messages_;
            Progress(lastShown);
        }
        if (written_ == 0) {
            std::fputs(o_.channel.empty() ? "\ntsrec: no data arrived\n"
                                          : "\ntsrec: no data arrived: the channel could not be tuned\n",
                       stderr);
            return kExitStreamFailed;
        }
        return kExitOk;
    }

    void Progress(double& lastShown) const
    {
        const double t = Elapsed();
        if (o_.quiet || t - lastShown < 0.5) return;
        lastShown = t;
        std::printf("\r%10.2f MB  %6.2f MB/s  %6.1f s  sync losses %llu  CC errors %llu   ", written_ / 1e6,
                    t > 0 ? written_ / 1e6 / t : 0.0, t, (unsigned long long)checker_.syncLosses,
                    (unsigned long long)checker_.ccErrors);
        std::fflush(stdout);
    }

    void Summary() const
    {
        const double t = Elapsed();
        std::printf("recorded %llu bytes (%llu messages, %llu packets) in %.1f s, %.2f MB/s, to %s\n",
                    (unsigned long long)written_, (unsigned long long)messages_,
                    (unsigned long long)checker_.packets, t, t > 0 ? written_ / 1e6 / t : 0.0,
                    Narrow(o_.output).c_str());
        std::printf("sync losses %llu, continuity errors %llu\n", (unsigned long long)checker_.syncLosses,
                    (unsigned long long)checker_.ccErrors);
    }

    const Options& o_;
    CTunerClient client_;
    CFileHandle out_;
    CTsChecker checker_;
    LARGE_INTEGER frequency_{}, start_{};
    unsigned long long written_ = 0, messages_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wstring(argv[1]) == L"--version") {
        std::printf("tsrec (TunerHost) %s\n", TUNERHOST_VERSION);
        return kExitOk;
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"--list" && argc <= 3)
        return PrintChannelList(argc == 3 ? argv[2] : OwnDirectory()) ? kExitOk : kExitNoHost;
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return kExitUsage;
    }
    CRecorder recorder(o);
    return recorder.Run();
}
