#include "plughost/CPlugServer.h"

#include "plughost/PluginProbe.h"
#include "plughost/QuietFaults.h"
#include "plughost/Wire.h"

namespace {

bool ReadAll(HANDLE channel, void* buffer, DWORD size)
{
    auto* at = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        DWORD got = 0;
        if (!ReadFile(channel, at, size, &got, nullptr) || got == 0) return false;
        at += got;
        size -= got;
    }
    return true;
}

bool WriteAll(HANDLE channel, const void* buffer, DWORD size)
{
    const auto* at = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(channel, at, size, &put, nullptr) || put == 0) return false;
        at += put;
        size -= put;
    }
    return true;
}

std::vector<uint8_t> Result(uint32_t value)
{
    CWireWriter w;
    w.U32(value);
    return std::move(w.Bytes());
}

}  // namespace

CPlugServer::CPlugServer(HANDLE channel, void* ringView, HANDLE ready, HANDLE room)
    : channel_(channel), ringView_(ringView), ring_(ringView ? CRingWriter(ringView, ready, room) : CRingWriter())
{
}

bool CPlugServer::ReadRequest(PlugRequest& request, std::vector<uint8_t>& args)
{
    CFrameHeader header = {};
    if (!ReadAll(channel_, &header, sizeof header) || header.size > kMaxFrameBytes) return false;
    args.resize(header.size);
    request = static_cast<PlugRequest>(header.code);
    return header.size == 0 || ReadAll(channel_, args.data(), header.size);
}

bool CPlugServer::Reply(const std::vector<uint8_t>& payload)
{
    const CFrameHeader header = {static_cast<uint32_t>(payload.size()), 0};
    return WriteAll(channel_, &header, sizeof header) &&
           (payload.empty() || WriteAll(channel_, payload.data(), static_cast<DWORD>(payload.size())));
}

std::vector<uint8_t> CPlugServer::Execute(PlugRequest request, const std::vector<uint8_t>& args, bool& quit)
{
    CWireReader in(args);
    switch (request) {
    case PlugRequest::Load: {
        std::wstring name;
        if (!ring_.Attached() || tuner_ || !in.Text(name, 32768)) return Result(kResultFailed);
        tuner_ = std::make_unique<CPlugTuner>(ring_);
        return Result(tuner_->Load(name) ? kResultDone : kResultFailed);
    }
    case PlugRequest::Open:
        return Result(tuner_ && tuner_->Open() ? kResultDone : kResultFailed);
    case PlugRequest::Start:
        return Result(tuner_ ? tuner_->Start() : kResultFailed);
    case PlugRequest::Tune: {
        uint32_t space = 0, channel = 0;
        if (!tuner_ || !in.U32(space) || !in.U32(channel)) return Result(kResultFailed);
        return Result(tuner_->Tune(space, channel));
    }
    case PlugRequest::Halt:
        return Result(tuner_ && tuner_->Halt() ? kResultDone : kResultFailed);
    case PlugRequest::Resume:
        if (tuner_) tuner_->Resume();
        return Result(kResultDone);
    case PlugRequest::Close:
        tuner_.reset();
        // A host serves one connection: the next one's host writes the ring
        // while this one ends, and nothing left here can reach it.
        if (ringView_) UnmapViewOfFile(ringView_);
        ringView_ = nullptr;
        ring_ = CRingWriter();
        return Result(kResultDone);
    case PlugRequest::ProbeLoad: {
        std::wstring path;
        if (probed_ || !in.Text(path, 32768)) return Result(kResultFailed);
        return Result(ProbeLoad(path, probed_) ? kResultDone : kResultFailed);
    }
    case PlugRequest::ProbeList: {
        std::vector<CSpaceInfo> spaces;
        const bool found = ProbeList(probed_, spaces);
        CWireWriter out;
        out.U32(found ? kResultDone : kResultFailed);
        out.U32(static_cast<uint32_t>(spaces.size()));
        for (const CSpaceInfo& space : spaces) {
            out.Text(space.name);
            out.U32(static_cast<uint32_t>(space.channels.size()));
            for (const std::wstring& channel : space.channels) out.Text(channel);
        }
        // Too big to send: left out, as a list that never ends is.
        if (out.Bytes().size() > kMaxFrameBytes) return Result(kResultFailed);
        return std::move(out.Bytes());
    }
    case PlugRequest::Quit:
        quit = true;
        return Result(kResultDone);
    }
    return Result(kResultFailed);
}

int CPlugServer::Run()
{
    std::vector<uint8_t> args;
    for (;;) {
        PlugRequest request{};
        if (!ReadRequest(request, args)) break;
        bool quit = false;
        const std::vector<uint8_t> reply = Execute(request, args, quit);
        KeepFaultFilter();
        if (!Reply(reply)) break;
        if (quit) {
            // Quit comes when nothing is loaded: the process ends in order.
            if (!tuner_ && !probed_) return 0;
            break;
        }
    }
    // TunerHost has gone, or left a plug-in loaded: its detach code is not
    // run, which may wait on what the plug-in holds.
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
