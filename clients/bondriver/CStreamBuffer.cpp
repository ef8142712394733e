#include "CStreamBuffer.h"

#include "PipeCalls.h"
#include "SrwHold.h"
#include "tuner/IBonDriver.h"

namespace {

// The reader only ever waits on its own events and on a read it cancels at
// once: it ends within this unless the system stalls.
constexpr DWORD kReaderBoundMs = 10000;

constexpr uint32_t Min(uint32_t a, uint32_t b)
{
    return a < b ? a : b;
}

}  // namespace

CStreamBuffer::CStreamBuffer(HANDLE lost)
    : memory_(static_cast<uint8_t*>(
          VirtualAlloc(nullptr, size_t{kSlots} * kDataMessageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))),
      lostEvent_(lost),
      wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      room_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      ack_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      data_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      io_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CStreamBuffer::~CStreamBuffer()
{
    const HANDLE events[] = {wake_, room_, ack_, data_, io_};
    for (HANDLE h : events)
        if (h) CloseHandle(h);
    if (memory_) VirtualFree(memory_, 0, MEM_RELEASE);
}

bool CStreamBuffer::Start(HANDLE pipe)
{
    if (thread_ || !Ready()) {
        CloseHandle(pipe);
        return false;
    }
    {
        CSrwHold hold(lock_);
        request_ = kResume;
        nextPipe_ = pipe;
    }
    lost_ = 0;
    thread_ = CreateThread(nullptr, 0, ReaderMain, this, 0, nullptr);
    if (thread_) return true;
    CloseHandle(pipe);
    nextPipe_ = INVALID_HANDLE_VALUE;
    request_ = kNone;
    return false;
}

void CStreamBuffer::Ask(Request request)
{
    {
        CSrwHold hold(lock_);
        request_ = request;
    }
    SetEvent(wake_);
}

bool CStreamBuffer::Stop()
{
    if (!thread_) return true;
    Ask(kStop);
    if (WaitForSingleObject(thread_, kReaderBoundMs) != WAIT_OBJECT_0) return false;
    CloseHandle(thread_);
    thread_ = nullptr;
    request_ = kNone;
    return true;
}

bool CStreamBuffer::Park()
{
    if (!thread_) return false;
    Ask(kPark);
    return WaitForSingleObject(ack_, kReaderBoundMs) == WAIT_OBJECT_0;
}

void CStreamBuffer::Resume(HANDLE pipe)
{
    {
        CSrwHold hold(lock_);
        if (nextPipe_ != INVALID_HANDLE_VALUE) CloseHandle(nextPipe_);
        nextPipe_ = pipe;
        request_ = kResume;
    }
    SetEvent(wake_);
}

DWORD WINAPI CStreamBuffer::ReaderMain(void* self)
{
    // The thread holds the plug-in loaded until it has left the plug-in's
    // code, even if the app unloads it the moment Close returns.
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<const wchar_t*>(&ReaderMain),
                       &module);
    static_cast<CStreamBuffer*>(self)->Run();
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

void CStreamBuffer::Run()
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        Request request = kNone;
        bool room = false;
        uint32_t slot = 0;
        {
            CSrwHold hold(lock_);
            request = request_;
            if (request == kResume) {
                if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
                pipe = nextPipe_;
                nextPipe_ = INVALID_HANDLE_VALUE;
            }
            if (request != kStop) request_ = kNone;
            room = count_ < kSlots;
            roomWanted_ = !room;
            slot = (head_ + count_) % kSlots;
        }
        if (request == kStop || request == kPark) {
            if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
            if (request == kStop) return;
            SetEvent(ack_);
            continue;
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            WaitForSingleObject(wake_, INFINITE);
            continue;
        }
        if (!room) {
            const HANDLE waits[2] = {wake_, room_};
            WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            continue;
        }
        DWORD got = 0;
        const PipeResult r = ReadMessage(pipe, io_, SlotMemory(slot), kDataMessageSize, got, INFINITE, wake_);
        if (r == PipeResult::Done && got > 0) {
            CSrwHold hold(lock_);
            slots_[slot] = {got, 0};
            ++count_;
            if (!dataSet_) SetEvent(data_);
            dataSet_ = true;
            continue;
        }
        // A request cut the read short: it is read at the top.
        if (r == PipeResult::Stopped) continue;
        // TunerHost ended the connection, or went.
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
        MarkLost();
    }
}

void CStreamBuffer::MarkLost()
{
    lost_ = 1;
    SetEvent(lostEvent_);
}

void CStreamBuffer::DropHead()
{
    head_ = (head_ + 1) % kSlots;
    --count_;
    if (roomWanted_) SetEvent(room_);
    roomWanted_ = false;
}

void CStreamBuffer::ReleaseHanded()
{
    if (handedEnd_ && count_ > 0) DropHead();
    handedEnd_ = false;
}

uint32_t CStreamBuffer::BlocksLocked() const
{
    uint32_t blocks = 0;
    for (uint32_t i = 0; i < count_; ++i) {
        const Slot& s = slots_[(head_ + i) % kSlots];
        blocks += (s.size - s.taken + kBlockSize - 1) / kBlockSize;
    }
    return blocks;
}

void CStreamBuffer::NoteEmptyLocked()
{
    if (!dataSet_ || BlocksLocked()) return;
    ResetEvent(data_);
    dataSet_ = false;
}

bool CStreamBuffer::Fetch(uint8_t** data, uint32_t* size, uint32_t* waiting)
{
    CSrwHold hold(lock_);
    ReleaseHanded();
    *data = nullptr;
    *size = 0;
    *waiting = 0;
    if (count_ == 0) {
        NoteEmptyLocked();
        return false;
    }
    Slot& s = slots_[head_];
    const uint32_t n = Min(kBlockSize, s.size - s.taken);
    *data = SlotMemory(head_) + s.taken;
    *size = n;
    s.taken += n;
    // The app reads the block until its next call: the slot is let go then.
    handedEnd_ = s.taken == s.size;
    *waiting = BlocksLocked();
    NoteEmptyLocked();
    return true;
}

bool CStreamBuffer::Copy(uint8_t* buffer, uint32_t* size, uint32_t* waiting)
{
    CSrwHold hold(lock_);
    ReleaseHanded();
    const uint32_t capacity = *size;
    uint32_t copied = 0;
    while (copied < capacity && count_ > 0) {
        Slot& s = slots_[head_];
        const uint32_t n = Min(capacity - copied, s.size - s.taken);
        __builtin_memcpy(buffer + copied, SlotMemory(head_) + s.taken, n);
        copied += n;
        s.taken += n;
        if (s.taken == s.size) DropHead();
    }
    uint32_t left = 0;
    for (uint32_t i = 0; i < count_; ++i) {
        const Slot& s = slots_[(head_ + i) % kSlots];
        left += s.size - s.taken;
    }
    *size = copied;
    *waiting = left;
    NoteEmptyLocked();
    return copied > 0;
}

uint32_t CStreamBuffer::ReadyBlocks()
{
    CSrwHold hold(lock_);
    return BlocksLocked();
}

void CStreamBuffer::Clear()
{
    CSrwHold hold(lock_);
    // The slot being read into stays the next one to be counted.
    head_ = (head_ + count_) % kSlots;
    count_ = 0;
    handedEnd_ = false;
    NoteEmptyLocked();
    if (roomWanted_) SetEvent(room_);
    roomWanted_ = false;
}

uint32_t CStreamBuffer::Wait(uint32_t ms, HANDLE stop)
{
    if (ReadyBlocks()) return kStreamReady;
    if (lost_) {
        // No data will come: the time asked for passes (unless the tuner is
        // closed meanwhile), so that an app that waits in a loop does not spin.
        if (ms != INFINITE) WaitForSingleObject(stop, ms);
        return kStreamTimedOut;
    }
    const HANDLE waits[3] = {data_, lostEvent_, stop};
    WaitForMultipleObjects(3, waits, FALSE, ms);
    return ReadyBlocks() ? kStreamReady : kStreamTimedOut;
}
