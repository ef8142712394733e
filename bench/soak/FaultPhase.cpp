// The soak's fault phase: plug-in and descrambler faults, one connection each.
#include "CSoak.h"

#include "SimStream.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

// Faults of the plug-in and the descrambler mid-stream, one connection each.
void CSoak::Faults()
{
    struct Fault {
        const char* what;
        std::string sim, b25;
        bool expectData;
    };
    const Fault faults[] = {
        // 8 s: back about as the close's deadline runs out (the start's park
        // gives up at 3 s, the close then waits 5 s), while TunerHost decides
        // to end the plug-in host; 20 s: far past it.
        {"FetchBlock back at the stop bound", "FetchHangMs=8000\r\n", "", false},
        {"FetchBlock stalls past the stop bounds", "FetchHangMs=20000\r\n", "", false},
        {"odd block sizes", "FetchMode=1\r\n", "", true},
        {"Tune fails", "TuneFails=1\r\n", "", false},
        {"FetchBlock never delivers", "FetchMode=2\r\n", "", false},
        {"descrambler fails mid-stream", "", "FailAfter=300\r\n", true},  // after the 4 messages read
        {"descrambler start-up fails", "", "StartupFails=1\r\n", true},
        // Plug-ins with a reader thread of their own, as device plug-ins have:
        // streaming; stalled mid-stream past the deadlines while holding the
        // lock that their unload takes; stalled with the reader running on.
        // Their hosts are ended, never asked to unload them.
        {"reader thread", "ReaderThread=1\r\n", "", true},
        {"stall holding the reader's lock", "ReaderThread=1\r\nFetchHangAfterMs=3000\r\nFetchHangMs=20000\r\n", "", true},
        {"stall with the reader running on", "ReaderThread=2\r\nFetchHangAfterMs=3000\r\nFetchHangMs=20000\r\n", "", true},
        // Last: its host is ended with the instance stuck inside Decode.
        {"Decode blocks through a retune", "", "DecodeHangMs=20000\r\n", false},
    };
    std::vector<uint8_t> buffer(kDataMessageSize);
    for (const Fault& f : faults) {
        host_.SetSim(TunerKind::Terrestrial, f.sim);
        if (!f.b25.empty()) host_.SetDescrambler(f.b25);
        CTunerClient c;
        uint32_t reply = 0;
        DWORD got = 0;
        int messages = 0;
        ClientError e = c.ConnectControl(TunerKind::Terrestrial, 5000);
        if (e == ClientError::None) e = c.ConnectData();
        if (e == ClientError::None) {
            c.Command(kCmdSelectChannel, kTuneValue[0], &reply, 5000);
            for (int i = 0; i < 4; ++i) {
                e = c.ReadData(buffer.data(), kDataMessageSize, got, 2500);
                if (e != ClientError::None) break;
                ++messages;
            }
        }
        c.CloseData();
        c.CloseControl();
        // A fault that stops the stream is expected to cost the client its
        // data; TunerHost itself must come through it (checked after the phase).
        const bool expected = f.expectData ? messages > 0 : messages == 0;
        std::printf("   fault: %-40s %d messages (%s), %s\n", f.what, messages,
                    e == ClientError::None ? "read on" : Describe(e), expected ? "as expected" : "UNEXPECTED");
        if (!expected) ++failures_;
        // A hung plug-in or descrambler has its host ended at the close's
        // deadline; let that pass.
        const bool hangs = f.sim.find("Hang") != std::string::npos || f.b25.find("Hang") != std::string::npos;
        Sleep(hangs ? 6000 : 300);
        if (!f.b25.empty()) {
            // Gone before the next phase: the descrambler is released at the
            // tuner's close, or ended with its host; its settings go back to
            // plain too.
            Sleep(500);
            host_.SetDescrambler("");
            DeleteFileW((host_.Dir() + L"b25decoder.dll").c_str());
        }
    }
    host_.SetSim(TunerKind::Terrestrial, simT_);
}
