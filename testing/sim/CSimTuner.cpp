#include "CSimTuner.h"

#include "Faults.h"
#include "PluginFiles.h"
#include "SimMisbehaviour.h"
#include "SimNow.h"
#include "Text.h"

namespace {
constexpr size_t kOddSizes[] = {1, 187, 1000, 7, 48129, 189, 4093, 376};

// The objects whose reader threads run, for the unload to find.
constexpr size_t kMaxLive = 16;
SRWLOCK g_liveLock = {};
CSimTuner* g_live[kMaxLive] = {};
// Taken by every Open, held by one that hangs with HangHoldsLock, and taken
// by the unload: a device plug-in's open and detach serialise on it.
SRWLOCK g_openLock = {};
}  // namespace

CSimTuner::CSimTuner(const SimSettings& s) : settings_(s)
{
    if (s.noSpaces) return;
    if (s.emptyFirstSpace) spaces_[spaceCount_++] = {L"Empty", 0};
    if (TextContains(s.spaces, L'T')) {
        AddSpace(L"UHF", L"", 13, 62, 1, L"ch");
        AddSpace(L"CATV", L"C", 13, 63, 1, L"ch");
        AddSpace(L"VHF", L"", 1, 12, 1, L"ch");
    }
    if (TextContains(s.spaces, L'S')) {
        AddSpace(L"BS", L"BS", 1, 23, 2, L"");
        AddSpace(L"CS110", L"ND", 2, 24, 2, L"");
    }
    if (spaceCount_) stream_.SetChannel(0, 0, SimBandOf(spaces_[0].name));
}

void CSimTuner::AddSpace(const wchar_t* name, const wchar_t* prefix, uint32_t from, uint32_t to, int minDigits,
                         const wchar_t* suffix)
{
    const uint32_t index = spaceCount_++;
    spaces_[index] = {name, to - from + 1};
    for (uint32_t i = 0; i < spaces_[index].channels; ++i) {
        wchar_t* n = channelNames_[index][i];
        AppendText(n, kNameLength, prefix);
        AppendDecimal(n, kNameLength, from + i, minDigits);
        AppendText(n, kNameLength, suffix);
    }
}

CSimTuner::~CSimTuner()
{
    StopReader();
}

BOOL32 CSimTuner::Open()
{
    Slow();
    AcquireSRWLockExclusive(&g_openLock);
    if (settings_.misbehaveIn == kInOpen) Misbehave(settings_, &g_openLock);
    ReleaseSRWLockExclusive(&g_openLock);
    if (settings_.openHangMs != 0) {
        if (settings_.hangHoldsLock) AcquireSRWLockExclusive(&g_openLock);
        AppendLogLine(settings_.log, "hang");
        Sleep(settings_.openHangMs < 0 ? INFINITE : static_cast<DWORD>(settings_.openHangMs));
        if (settings_.hangHoldsLock) ReleaseSRWLockExclusive(&g_openLock);
    }
    if (settings_.openFault) {
        AppendLogLine(settings_.log, "fault");
        RaiseSimFault(settings_.openFault);
    }
    AppendLogLine(settings_.log, "open");
    if (settings_.openFails) return DeviceFailed();
    constexpr double kDefaultRate = 2000 * 1000.0;
    rate_ = settings_.rateKBps >= 0 ? settings_.rateKBps * 1000.0 : kDefaultRate;
    if (settings_.sourceFile[0]) {
        if (!source_.Load(settings_.sourceFile)) {
            AppendLogLine(settings_.log, "source unreadable");
            return 0;
        }
        if (settings_.rateKBps < 0 && source_.PcrRate() > 0) rate_ = source_.PcrRate();
    }
    stream_.SetClock(SimNowUnix());
    stream_.SetRate(static_cast<uint32_t>(static_cast<int32_t>(rate_)));
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
    if (settings_.readerThread) StartReader();
    return 1;
}

void CSimTuner::Close()
{
    if (settings_.waitingLies) {
        char line[40] = "fetches ";
        AppendDecimal(line, sizeof line, fetches_);
        AppendLogLine(settings_.log, line);
    }
    if (settings_.closeHangMs != 0) {
        AppendLogLine(settings_.log, "hang");
        Sleep(settings_.closeHangMs < 0 ? INFINITE : static_cast<DWORD>(settings_.closeHangMs));
    }
    AppendLogLine(settings_.log, "close");
    StopReader();
}

void CSimTuner::StartReader()
{
    if (reader_) return;
    stopReader_ = 0;
    reader_ = CreateThread(nullptr, 0, ReaderMain, this, 0, nullptr);
    if (!reader_) return;
    AcquireSRWLockExclusive(&g_liveLock);
    for (CSimTuner*& slot : g_live)
        if (!slot) {
            slot = this;
            break;
        }
    ReleaseSRWLockExclusive(&g_liveLock);
}

void CSimTuner::StopReader()
{
    if (!reader_) return;
    AcquireSRWLockExclusive(&g_liveLock);
    for (CSimTuner*& slot : g_live)
        if (slot == this) slot = nullptr;
    ReleaseSRWLockExclusive(&g_liveLock);
    // Under the lock, as a device plug-in's release does: it waits for a
    // FetchBlock in progress.
    AcquireSRWLockExclusive(&lock_);
    __atomic_store_n(&stopReader_, 1, __ATOMIC_SEQ_CST);
    ReleaseSRWLockExclusive(&lock_);
    WaitForSingleObject(reader_, INFINITE);
    CloseHandle(reader_);
    reader_ = nullptr;
}

DWORD WINAPI CSimTuner::ReaderMain(void* self)
{
    CSimTuner& t = *static_cast<CSimTuner*>(self);
    while (!__atomic_load_n(&t.stopReader_, __ATOMIC_SEQ_CST)) {
        AcquireSRWLockExclusive(&t.lock_);
        t.Produce();
        ReleaseSRWLockExclusive(&t.lock_);
        Sleep(10);
    }
    return 0;
}

void CSimTuner::OnUnload()
{
    AcquireSRWLockExclusive(&g_openLock);
    ReleaseSRWLockExclusive(&g_openLock);
    CSimTuner* live[kMaxLive] = {};
    AcquireSRWLockExclusive(&g_liveLock);
    for (size_t i = 0; i < kMaxLive; ++i) live[i] = g_live[i];
    ReleaseSRWLockExclusive(&g_liveLock);
    for (CSimTuner* t : live)
        if (t && t->settings_.readerThread == 1) t->StopReader();
}

bool CSimTuner::FillBlock()
{
    if (!block_.Resize(kBlockBytes)) return false;
    for (size_t at = 0; at < kBlockBytes; at += kTsPacketSize) NextPacket(block_.Data() + at);
    return true;
}

double CSimTuner::ElapsedSeconds() const
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - start_.QuadPart) / double(frequency_.QuadPart);
}

BOOL32 CSimTuner::FetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting)
{
    Slow();
    *data = nullptr;
    *size = 0;
    *waiting = 0;
    ++fetches_;
    if (settings_.waitingLies) {
        *waiting = 1;
        return 0;
    }
    if (settings_.misbehave && settings_.misbehaveIn == kInFetch && !misbehaved_ &&
        MisbehaviourDue(settings_, ElapsedSeconds() * 1000.0)) {
        misbehaved_ = true;
        Misbehave(settings_, &g_openLock);
    }
    if (settings_.fetchFault && ElapsedSeconds() * 1000.0 >= settings_.fetchFaultAfterMs) {
        AppendLogLine(settings_.log, "fault");
        RaiseSimFault(settings_.fetchFault);
    }
    // A reader thread's buffer is handed out under its lock, a stall included.
    Lock();
    const BOOL32 got = FetchFromPending(data, size, waiting);
    Unlock();
    return got;
}

void CSimTuner::Discard()
{
    Lock();
    pending_.Clear();
    Unlock();
}

BOOL32 CSimTuner::FetchFromPending(uint8_t** data, uint32_t* size, uint32_t* waiting)
{
    if (settings_.fetchHangMs > 0 && !hung_ && ElapsedSeconds() * 1000.0 >= settings_.fetchHangAfterMs) {
        hung_ = true;
        // The block is made before the stall and handed out right after
        // it: coming back, the plug-in touches no heap, so whatever happens
        // to the thread then happens in TunerHost's code.
        if (!FillBlock()) return 0;
        AppendLogLine(settings_.log, "hang");
        // ReaderThread=2 waits on its device without its lock, so its reader
        // runs on meanwhile.
        if (settings_.readerThread == 2) Unlock();
        Sleep(static_cast<DWORD>(settings_.fetchHangMs));
        if (settings_.readerThread == 2) Lock();
        *data = block_.Data();
        *size = static_cast<uint32_t>(block_.Size());
        return 1;
    }
    if (settings_.fetchMode == 2) return 0;
    if (rate_ <= 0) return FetchUnpaced(data, size, waiting);
    if (!settings_.readerThread) Produce();
    // A tuner's device hands over whole transfers: nothing until a block is due.
    if (pending_.Empty() || (settings_.fetchMode == 0 && pending_.Size() < kBlockBytes)) return 0;
    size_t take = pending_.Size() < kBlockBytes ? pending_.Size() : kBlockBytes;
    if (settings_.fetchMode == 1) {
        const size_t odd = kOddSizes[oddIndex_++ % (sizeof kOddSizes / sizeof kOddSizes[0])];
        if (odd < take) take = odd;
    }
    if (!block_.Assign(pending_.Data(), take)) return 0;
    pending_.EraseFront(take);
    delivered_ += take;
    if (settings_.stamp) Stamp(block_.Data(), block_.Size());
    *data = block_.Data();
    *size = static_cast<uint32_t>(block_.Size());
    *waiting = static_cast<uint32_t>(pending_.Size());
    return 1;
}

void CSimTuner::Produce()
{
    if (rate_ <= 0 || settings_.fetchMode == 2) return;
    // In doubles, which 32-bit code converts without runtime helpers.
    const double dueBytes = ElapsedSeconds() * rate_;
    double ahead = dueBytes - double(delivered_) - double(pending_.Size());
    // Without a reader thread the device holds what is due up to a limit: a
    // host that falls behind gets the stream later, not a pile that grows
    // faster than it can take it.
    if (!settings_.readerThread) {
        const double room = double(kMaxPacketsAhead) * kTsPacketSize - double(pending_.Size());
        if (room < ahead) ahead = room;
    }
    if (ahead < kTsPacketSize) return;
    const uint32_t packets = ahead >= double(kMaxPacketsAhead) * kTsPacketSize
                                 ? kMaxPacketsAhead
                                 : static_cast<uint32_t>(static_cast<int32_t>(ahead)) / kTsPacketSize;
    const size_t at = pending_.Size();
    if (pending_.Resize(at + packets * kTsPacketSize))
        for (uint32_t i = 0; i < packets; ++i) NextPacket(pending_.Data() + at + i * kTsPacketSize);
    // A device's buffer, which a reader thread fills, is a ring: what nobody
    // fetched in time is overwritten.
    if (settings_.readerThread && pending_.Size() > kRingBytes) {
        const size_t drop = pending_.Size() - kRingBytes;
        pending_.EraseFront(drop);
        delivered_ += drop;
    }
}

// As fast as the host takes it: one block made once, handed out again and
// again, with more always waiting.
BOOL32 CSimTuner::FetchUnpaced(uint8_t** data, uint32_t* size, uint32_t* waiting)
{
    if (block_.Size() != kBlockBytes && !FillBlock()) return 0;
    if (settings_.stamp) Stamp(block_.Data(), block_.Size());
    delivered_ += block_.Size();
    *data = block_.Data();
    *size = static_cast<uint32_t>(block_.Size());
    *waiting = static_cast<uint32_t>(block_.Size());
    return 1;
}

// The moment of handing out, in performance-counter ticks, over the filler
// of every payload packet: a client can measure how long a packet took.
void CSimTuner::Stamp(uint8_t* block, size_t size)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    for (size_t at = 0; at + kTsPacketSize <= size; at += kTsPacketSize) {
        SimPayload p;
        if (ParseSimPayload(block + at, p, true)) __builtin_memcpy(block + at + kSimStampOffset, &now.QuadPart, 8);
    }
}

const wchar_t* CSimTuner::SpaceName(uint32_t space)
{
    if (settings_.endlessSpaces) return Endless(L"Space", space);
    if (space >= spaceCount_) return nullptr;
    return settings_.namesFreed ? Freed(spaces_[space].name) : spaces_[space].name;
}

const wchar_t* CSimTuner::Freed(const wchar_t* name)
{
    auto* copy = static_cast<wchar_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!copy) return name;
    for (size_t i = 0; i < 64 && (copy[i] = name[i]); ++i) {
    }
    VirtualFree(copy, 0, MEM_RELEASE);
    return copy;
}

const wchar_t* CSimTuner::ChannelName(uint32_t space, uint32_t channel)
{
    if (settings_.endlessChannels || (settings_.endlessSpaces && space >= spaceCount_)) return Endless(L"Ch", channel);
    if (space >= spaceCount_ || channel >= spaces_[space].channels) return nullptr;
    return settings_.namesFreed ? Freed(channelNames_[space][channel]) : channelNames_[space][channel];
}

BOOL32 CSimTuner::Tune(uint32_t space, uint32_t channel)
{
    Slow();
    char line[40] = "tune ";
    AppendDecimal(line, sizeof line, space);
    AppendText(line, sizeof line, " ");
    AppendDecimal(line, sizeof line, channel);
    AppendLogLine(settings_.log, line);
    if (settings_.misbehaveIn == kInTune) Misbehave(settings_, &g_openLock);
    if (settings_.tuneFault) {
        AppendLogLine(settings_.log, "fault");
        RaiseSimFault(settings_.tuneFault);
    }
    if (settings_.tuneFails) return DeviceFailed();
    if (space >= spaceCount_ || channel >= spaces_[space].channels) return 0;
    // UHF channel n is index n - 13 of its space.
    const SimBand band = SimBandOf(spaces_[space].name);
    const int uhf = band == SimBand::Uhf ? static_cast<int>(channel) + 13 : 0;
    if (uhf && uhf == settings_.tuneFailsOn) return 0;
    const int32_t as = uhf && uhf == settings_.relayTo && settings_.relayFrom >= 13 ? settings_.relayFrom - 13 : -1;
    Lock();
    stream_.SetScrambled(static_cast<uint16_t>(settings_.scrambled));
    stream_.SetLossy(static_cast<uint16_t>(settings_.lossyService), static_cast<uint32_t>(settings_.lossEvery));
    SimGuideShape guide;
    guide.block = settings_.guideBlockSeconds > 0 ? static_cast<uint32_t>(settings_.guideBlockSeconds) : 0;
    guide.offset = settings_.guideBlockStart > 0 && guide.block ? static_cast<uint32_t>(settings_.guideBlockStart) % guide.block : 0;
    guide.lateService = static_cast<uint16_t>(settings_.guideLateService);
    guide.lateSeconds = static_cast<uint32_t>(settings_.guideLateSeconds);
    stream_.SetGuide(guide);
    stream_.SetChannel(space, channel, band, as);
    if (source_.Loaded()) source_.Restart();
    pending_.Clear();
    Unlock();
    return 1;
}

void CSimTuner::NextPacket(uint8_t* out)
{
    if (source_.Loaded()) source_.NextPacket(out);
    else stream_.NextPacket(out);
}

void CSimTuner::Slow() const
{
    if (settings_.slowMs > 0) Sleep(static_cast<DWORD>(settings_.slowMs));
}

const wchar_t* CSimTuner::Endless(const wchar_t* prefix, uint32_t n)
{
    endlessName_[0] = 0;
    AppendText(endlessName_, sizeof endlessName_ / sizeof endlessName_[0], prefix);
    AppendDecimal(endlessName_, sizeof endlessName_ / sizeof endlessName_[0], n);
    return endlessName_;
}
