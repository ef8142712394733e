// The control worker: one client at a time on the control pipe. A client's
// connection opens the tuner; its one-byte commands get 4-byte replies; its
// going away closes the tuner.
#include "relay/CPipeServer.h"
#include "relay/CStreamRelay.h"
#include "relay/PipeIo.h"
#include "relay/PipeNames.h"
#include "relay/PipeProtocol.h"
#include "relay/ScrambleBytes.h"

namespace {

// A client that stops reading its replies cannot hold the worker longer.
constexpr DWORD kReplyWriteBoundMs = 5000;
constexpr DWORD kWaitForDataMs = 1000;

struct CControlSession {
    CPipeServer& s;
    OVERLAPPED& ov;
    // Kept from one command, and one connection, to the next: commands 3 and
    // unknown codes answer with it. 0 before any command has set it.
    uint8_t* reply;
    // The client said it yields to the next one (command 6).
    bool yielding = false;

    // Reads exactly `size` bytes as one message.
    bool ReadExact(void* buffer, DWORD size)
    {
        DWORD got = 0;
        return ReadPipe(s.controlPipe.Get(), ov, s.controlGate, buffer, size, got) == PipeIoResult::Done &&
               got == size;
    }

    bool WriteReply()
    {
        DWORD put = 0;
        return WritePipe(s.controlPipe.Get(), ov, s.controlGate, reply, 4, put, kReplyWriteBoundMs) ==
                   PipeIoResult::Done &&
               put == 4;
    }

    void SetReply(uint32_t value)
    {
        for (int i = 0; i < 4; ++i) reply[i] = static_cast<uint8_t>(value >> (8 * i));
    }

    // False when the connection must end without a reply.
    bool Execute(uint8_t command)
    {
        switch (command) {
        case kCmdPauseData:
            s.PauseDataWorker();
            SetReply(1);
            return true;
        case kCmdRearmData:
            s.RearmDataPipe();
            SetReply(1);
            return true;
        case kCmdSelectChannel: {
            uint8_t arg[4];
            if (!ReadExact(arg, 4)) return false;
            const uint32_t value = arg[0] | (arg[1] << 8) | (arg[2] << 16) | (uint32_t(arg[3]) << 24);
            s.tuner->SelectChannel(value);  // clients rely on the reply 1 whatever the outcome
            SetReply(1);
            return true;
        }
        case kCmdWaitForData: {
            // The data worker signals a written chunk only while someone waits.
            {
                CLock hold(s.lock);
                s.chunkWaiter = true;
            }
            ResetEvent(s.chunkWritten.Get());
            const DWORD r = s.controlGate.WaitEither(s.chunkWritten.Get(), kWaitForDataMs);
            {
                CLock hold(s.lock);
                s.chunkWaiter = false;
            }
            return r != 1;
        }
        case kCmdKeepAlive:
            SetReply(1);
            return true;
        case kCmdChallenge: {
            uint8_t challenge[4];
            if (!ReadExact(challenge, 4)) return false;
            ScrambleWithSeed(kChallengeKey, reply, challenge, 4);
            return true;
        }
        case kCmdYield:
            if (!yielding) yielding = s.controlSpare.Listen(s.controlGate);
            SetReply(yielding ? kYieldingReply : 1);
            return true;
        case kCmdKeep:
            // One who came before this ends the connection: it has the tuner.
            if (yielding && s.controlSpare.StopListening()) return false;
            yielding = false;
            SetReply(1);
            return true;
        case kCmdSignalLevel:
            SetReply(LevelReply(s.tuner->SignalLevel()));
            return true;
        default:
            return true;
        }
    }

    // Opens the tuner for the connected client; false when it cannot be.
    bool OpenTuner()
    {
        ITunerPort& t = *s.tuner;
        if (!s.relay || !s.relay->Start()) return false;
        if (!t.LoadPlugin()) return false;
        // The plug-in host ended meanwhile: the open fails as the plug-in's
        // own failure would.
        if (!t.Open() || !t.Start() || s.ConnectionLost()) {
            t.Close();
            return false;
        }
        t.MarkInUse();
        return true;
    }

    void Serve()
    {
        if (!OpenTuner()) return;
        for (;;) {
            uint8_t command = 0;
            if (!ReadExact(&command, 1)) return;
            if (!Execute(command)) return;
            // A retune whose purge could not park a relay worker: no stream
            // can follow, so the connection ends without a reply.
            if (s.relay && s.relay->WorkerLost()) return;
            // The plug-in host ended, or missed a deadline.
            if (s.ConnectionLost()) return;
            // The client yielded, and another has come.
            if (s.controlSpare.Came()) return;
            if (!WriteReply()) return;
        }
    }
};

}  // namespace

namespace {

// Both instances of the control pipe, made once: the first alone, so that a
// name that another process holds leaves the kind unserved.
bool OpenInstances(CPipeServer& s)
{
    const std::wstring& name = s.controlPipeName;
    CFileHandle first(CreateControlInstance(name, true));
    if (!first) return false;
    // A client that connected to the first at once is served on it.
    const bool clientFirst = MakeControlInstanceBusy(first.Get(), name);
    CFileHandle second(CreateControlInstance(name, false));
    if (!second) return false;
    if (!clientFirst) {
        s.controlSpare.Set(std::move(first), name);
        s.controlPipe = std::move(second);
        return true;
    }
    // A second client at that very moment finds the pipe busy after all.
    if (MakeControlInstanceBusy(second.Get(), name)) DisconnectNamedPipe(second.Get());
    s.controlSpare.Set(std::move(second), name);
    s.controlPipe = std::move(first);
    return true;
}

// The end of a connection, always in this order; `connected` when a client
// was, whose tuner is closed. The instance stays, disconnected (busy) until
// it listens again. True when a client who came while the holder yielded
// waits on the spare instance: it is served next.
bool EndOfConnection(CPipeServer& s, bool connected)
{
    DisconnectNamedPipe(s.controlPipe.Get());
    const bool next = s.controlSpare.StopListening();
    // Only a connection that was made ends the data pipe's offer: a client
    // that came and went before the connect leaves the data pipe as it was
    // (at start-up, offered to the first client).
    if (connected) {
        s.PauseDataWorker();
        s.tuner->Close();
    }
    return next;
}

}  // namespace

unsigned __stdcall ControlWorker(void* param)
{
    CPipeServer& s = *static_cast<CPipeServer*>(param);
    SetThreadRole(ThreadRole::Control);
    bool handOver = false;
    if (!s.controlPipe && !OpenInstances(s)) return 0;
    CHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = ioEvent.Get();
    uint8_t reply[4] = {0, 0, 0, 0};
    for (;;) {
        bool connected = true;
        if (handOver) s.controlSpare.Exchange(s.controlPipe);
        else connected = ConnectPipe(s.controlPipe.Get(), ov, s.controlGate, s.controlListening.Get()) == PipeIoResult::Done;
        if (connected) {
            InterlockedExchange(&s.connectionLost, 0);
            CControlSession session{s, ov, reply};
            session.Serve();
        }
        handOver = EndOfConnection(s, connected);
        if (!s.controlGate.Checkpoint(0)) return 1;
    }
}
