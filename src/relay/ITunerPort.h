// The tuner that a pipe server serves, as its control worker drives it: a
// client's connection opens it, command 2 tunes it, the connection's end
// closes it. The tuner context implements it; the relay knows nothing else of
// the tuner, which in turn reaches the relay only from above (push, purge).
#pragma once
#include "common/Bool32.h"

#include <stdint.h>

class ITunerPort {
public:
    // Loads the kind's plug-in for this connection (in its plug-in host).
    virtual bool LoadPlugin() = 0;
    // Creates and opens the plug-in's object and starts reception.
    virtual BOOL32 Open() = 0;
    // Starts the stream from an empty buffer.
    virtual BOOL32 Start() = 0;
    // The client's channel value: kHz for the terrestrial kind, a TSID for
    // the satellite kind.
    virtual BOOL32 SelectChannel(uint32_t value) = 0;
    // Stops reception, releases and unloads the plug-in, stops the relay
    // worker; the kind is free again.
    virtual BOOL32 Close() = 0;
    // The kind is held by a client (the tray shows it).
    virtual void MarkInUse() = 0;
    // The plug-in's last signal level (its host reads it once a second).
    virtual float SignalLevel() const = 0;
    // The plug-in's host broke the rules (its stream's positions make no
    // sense): it is ended at the close rather than asked to close. Called on
    // any thread; waits on nothing.
    virtual void AbandonPlugin() = 0;

protected:
    ~ITunerPort() = default;
};
