// The stream between the data pipe and the app: a thread of the plug-in reads
// TunerHost's messages into a bounded ring of message slots, and the app takes
// them out in the pieces it asks for, never waiting longer than it says. A
// full ring stops the reading: the backlog then waits in TunerHost, which
// bounds it, rather than being lost here.
#pragma once
#include "Kernel32.h"
#include "relay/PipeProtocol.h"

class CStreamBuffer {
public:
    // A block of FetchBlock: a twelfth of a message, 260 packets.
    static constexpr uint32_t kBlockSize = kDataMessageSize / 12;
    static constexpr uint32_t kSlots = 8;

    // `lost` is set when the data pipe breaks, or MarkLost is called.
    explicit CStreamBuffer(HANDLE lost);
    ~CStreamBuffer();
    CStreamBuffer(const CStreamBuffer&) = delete;
    CStreamBuffer& operator=(const CStreamBuffer&) = delete;
    bool Ready() const { return memory_ && wake_ && room_ && ack_ && data_ && io_; }

    // Starts the reader on `pipe`, which it owns from then on.
    bool Start(HANDLE pipe);
    // Ends the reader, which closes its pipe. False when it did not end in
    // time (it is then left running, and this must not be freed).
    bool Stop();
    // The reader stops reading and closes its pipe; false when it did not
    // say so in time.
    bool Park();
    // ...and reads `pipe` from now on.
    void Resume(HANDLE pipe);
    // The connection is over: no data will come until the next Start.
    void MarkLost();
    bool Lost() const { return lost_ != 0; }

    // The app's side; each call first lets go of the block the last
    // FetchBlock handed out.
    bool Fetch(uint8_t** data, uint32_t* size, uint32_t* waiting);
    bool Copy(uint8_t* buffer, uint32_t* size, uint32_t* waiting);
    uint32_t ReadyBlocks();
    // Drops everything buffered.
    void Clear();
    // kStreamReady once data waits, kStreamTimedOut when `ms` ran out; `stop`
    // (set at Close) or the loss of the pipe end the wait sooner.
    uint32_t Wait(uint32_t ms, HANDLE stop);

private:
    enum Request : long { kNone, kPark, kResume, kStop };
    struct Slot {
        uint32_t size;
        uint32_t taken;
    };

    static DWORD WINAPI ReaderMain(void* self);
    void Run();
    void Ask(Request request);
    uint8_t* SlotMemory(uint32_t slot) const { return memory_ + slot * kDataMessageSize; }
    // Under lock_.
    void ReleaseHanded();
    void DropHead();
    uint32_t BlocksLocked() const;
    void NoteEmptyLocked();

    uint8_t* memory_;
    HANDLE lostEvent_;
    volatile long lost_ = 0;
    HANDLE wake_;  // auto-reset: a request for the reader
    HANDLE room_;  // auto-reset: a slot was freed
    HANDLE ack_;   // auto-reset: the reader parked
    HANDLE data_;  // manual-reset: bytes wait
    HANDLE io_;    // the reader's calls
    HANDLE thread_ = nullptr;

    SRWLOCK lock_ = {};
    // Guarded by lock_. The reader fills slot (head_ + count_) % kSlots
    // outside the lock; nothing else touches a slot before it is counted.
    Slot slots_[kSlots] = {};
    uint32_t head_ = 0;
    uint32_t count_ = 0;
    bool handedEnd_ = false;  // the last block handed out ended the head slot
    // Whether data_ is set, and whether the reader waits for room: the
    // events are set and reset only when that changes, each a call into the
    // system (under Wine, a round trip to its server).
    bool dataSet_ = false;
    bool roomWanted_ = false;
    Request request_ = kNone;
    HANDLE nextPipe_ = INVALID_HANDLE_VALUE;
};
