// The control pipe's second instance. The pipe may have two, and TunerHost
// holds both for as long as it serves the kind: no other process can then
// make an instance under its name and take TunerHost's clients (who would
// hold a tuner that is not there, or be answered by another program).
//
// The second instance is kept busy, so that while a client holds the kind
// another's CreateFile fails with ERROR_PIPE_BUSY as with one instance;
// except while the holder has said that it yields (command 6): then it
// listens, and a client who comes is served in the holder's place.
#pragma once
#include "common/WinHandle.h"
#include "relay/CWorkerGate.h"

#include <string>

// An instance of the control pipe with the pipe's settings; `first` fails
// when the name exists already (another process holds it).
HANDLE CreateControlInstance(const std::wstring& name, bool first);

// Makes an instance that listens, and the only one of the name that does,
// busy: TunerHost connects to it itself and disconnects it (a disconnected
// instance is busy until the next ConnectNamedPipe; Wine does not disconnect
// one that listens). True when a client had connected to it first: that
// client is left connected, to be served.
bool MakeControlInstanceBusy(HANDLE instance, const std::wstring& name);

class CControlSpare {
public:
    CControlSpare();
    ~CControlSpare();
    CControlSpare(const CControlSpare&) = delete;
    CControlSpare& operator=(const CControlSpare&) = delete;

    // Takes a busy instance of the named pipe.
    void Set(CFileHandle instance, const std::wstring& name)
    {
        instance_ = std::move(instance);
        name_ = name;
    }
    // Listens for a client, and interrupts `gate` once one has connected.
    // False when it cannot listen.
    bool Listen(CWorkerGate& gate);
    // Stops listening and leaves the instance busy again. True when a client
    // came meanwhile: it stays connected, to be served next.
    bool StopListening() { return Stop(true); }
    // A client has come while it listened (any thread).
    bool Came() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&came_), 0, 0) != 0; }
    // The instance a client came to becomes the serving one; the one that
    // served, disconnected and so busy, is kept here in its place.
    void Exchange(CFileHandle& serving);
    void Close();

private:
    static void CALLBACK Connected(void* self, BOOLEAN timedOut);
    bool Stop(bool keepBusy);

    CFileHandle instance_;
    std::wstring name_;
    CHandle event_;
    OVERLAPPED ov_ = {};
    HANDLE wait_ = nullptr;
    CWorkerGate* gate_ = nullptr;
    bool listening_ = false;
    volatile LONG came_ = 0;
};
