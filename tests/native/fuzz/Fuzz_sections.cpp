// Section reassembly and every parser behind it: the input is a transport
// stream cut anywhere (the seeds are packets of real tables), fed in pieces
// to a demultiplexer that listens on the tables' PIDs.
#include "ParseAll.h"
#include "SectionDemux.h"

using namespace tstables;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CEventCollector guide;
    CSectionDemux demux([&](uint16_t pid, const CSection& section) {
        ParseAll(section, guide);
        if (pid == kPatPid) demux.AddPid(0x01F0);
        if (pid == 0x01F0) demux.RemovePid(kTotPid);
    });
    for (const uint16_t pid : {kPatPid, kNitPid, kSdtPid, kEitPid, kTotPid}) demux.AddPid(pid);
    // Pieces of odd sizes, so that packets are put together across them too.
    size_t at = 0, step = size % 7 + 1;
    while (at < size) {
        const size_t n = std::min(step, size - at);
        demux.Feed(data + at, n);
        at += n;
        step = step * 31 % 389 + 1;
    }
    return 0;
}
