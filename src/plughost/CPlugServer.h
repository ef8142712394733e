// The plug-in host's one conversation: requests from TunerHost on the
// channel, each carried out and answered in turn, until TunerHost says Quit
// or goes away.
#pragma once
#include "common/WinHandle.h"
#include "plughost/CPlugTuner.h"
#include "plughost/PlugProtocol.h"

#include <memory>
#include <vector>

class CPlugServer {
public:
    // The channel, and the ring's view and events (null for a probe).
    CPlugServer(HANDLE channel, void* ringView, HANDLE ready, HANDLE room);
    // Serves until the end; the process's exit code.
    int Run();

private:
    bool ReadRequest(PlugRequest& request, std::vector<uint8_t>& args);
    bool Reply(const std::vector<uint8_t>& payload);
    std::vector<uint8_t> Execute(PlugRequest request, const std::vector<uint8_t>& args, bool& quit);

    HANDLE channel_;
    void* ringView_;
    CRingWriter ring_;
    std::unique_ptr<CPlugTuner> tuner_;
    CModule probed_;
};
