// soak: a bounded soak and fault campaign against the real TunerHost.
//   soak [--short|--long] [--seed N]
// Phases, both tuner kinds at once where it applies: random control
// connections with mid-stream disconnects; random control messages; a client
// that stalls and resumes and one that reads one message a second; plug-in and
// descrambler faults mid-stream. After each phase: TunerHost still running, a
// new client served within 2 s, handles, threads and private bytes back within
// 1 % of their value after warm-up, and the test doubles' counters balanced.
// Exit codes: 0 every check held, 1 a check failed, 2 usage.
#include "Baselines.h"
#include "CSoak.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    Profile p = kShort;
    unsigned seed = 20261207;
    std::wstring phases = L"cmsf";
    std::string simT;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--short") == 0) p = kShort;
        else if (std::wcscmp(argv[i], L"--long") == 0) p = kLong;
        else if (std::wcscmp(argv[i], L"--seed") == 0 && i + 1 < argc) seed = static_cast<unsigned>(_wtoi(argv[++i]));
        else if (std::wcscmp(argv[i], L"--phases") == 0 && i + 1 < argc) phases = argv[++i];
        else if (std::wcscmp(argv[i], L"--messages") == 0 && i + 1 < argc) p.messages = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--connections") == 0 && i + 1 < argc) p.connections = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--stall") == 0 && i + 1 < argc) p.stallSeconds = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--slow") == 0 && i + 1 < argc) p.slowSeconds = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--rate") == 0 && i + 1 < argc) simT = "RateKBps=" + std::to_string(_wtoi(argv[++i])) + "\r\n";
        else if (std::wcscmp(argv[i], L"--pipes") == 0 && i + 1 < argc) return PipeBaseline(_wtoi(argv[++i]));
        else if (std::wcscmp(argv[i], L"--loader") == 0 && i + 1 < argc) return LoaderBaseline(_wtoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: soak [--short|--long] [--seed N] [--phases cmsfdt] [--connections N] [--messages N]\n"
                                 "            [--stall SECONDS] [--slow SECONDS] [--rate KBPS]\n"
                                 "       soak --loader CYCLES | --pipes CYCLES\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const double kbPerOpen = MeasurePlatformBaseline();
    CSoak soak(p, seed, phases, kbPerOpen);
    soak.simT_ = simT;
    return soak.Run();
}
