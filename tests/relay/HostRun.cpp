#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const wchar_t* PluginName(TunerKind kind)
{
    return kind == TunerKind::Terrestrial ? L"BonDriver_SimT" : L"BonDriver_SimS";
}

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

}  // namespace

CHostRun::CHostRun(const wchar_t* name) : dir(name)
{
    CopyFromBin(L"TunerHost.exe", dir, L"TunerHost.exe");
    CopyPlugHosts(dir);
    for (TunerKind kind : {TunerKind::Terrestrial, TunerKind::Satellite}) {
        CopyFromBin(L"BonDriver_Sim.dll", dir, std::wstring(PluginName(kind)) + L".dll");
        SetSim(kind, "");
    }
    SetHostIni("");
}

bool CHostRun::UsePlugin(TunerKind kind, const std::wstring& path)
{
    return CopyFileW(path.c_str(), dir.File(std::wstring(PluginName(kind)) + L".dll").c_str(), FALSE) != 0;
}

void CHostRun::SetHostIni(const std::string& sections)
{
    WriteTextFile(dir.File(L"TunerHost.ini"),
                  "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n" + sections);
}

void CHostRun::AddDescrambler(const std::string& settings)
{
    CopyFromBin(L"b25decoder.dll", dir, L"b25decoder.dll");
    WriteTextFile(dir.File(L"b25decoder.ini"), "[B25]\r\nLog=" + Narrow(dir.File(L"b25.log")) + "\r\n" + settings);
}

int CHostRun::CountDescrambler(const char* event) const
{
    return CountLines(dir.File(L"b25.log"), event);
}

int CountLines(const std::wstring& path, const char* event)
{
    const std::string log = ReadTextFile(path);
    const std::string line = std::string(event) + "\n";
    int n = 0;
    for (size_t at = 0; (at = log.find(line, at)) != std::string::npos; at += line.size())
        if (at == 0 || log[at - 1] == '\n') ++n;
    return n;
}

std::wstring CHostRun::LogPath(TunerKind kind) const
{
    return dir.File(std::wstring(PluginName(kind)) + L".log");
}

void CHostRun::SetSim(TunerKind kind, const std::string& settings)
{
    const std::string spaces = kind == TunerKind::Terrestrial ? "T" : "S";
    WriteTextFile(dir.File(std::wstring(PluginName(kind)) + L".ini"),
                  "[Sim]\r\nSpaces=" + spaces + "\r\nLog=" + Narrow(LogPath(kind)) + "\r\n" + settings);
}

bool CHostRun::Start(DWORD ms)
{
    if (!host.Start(dir.File(L"TunerHost.exe"), dir.Path())) return false;
    // The window exists once WM_CREATE has built both contexts, whose pipes
    // listen by then.
    window = WaitForWindow(host, ms);
    return window != nullptr;
}

int CHostRun::Count(TunerKind kind, const char* event) const
{
    return CountLines(LogPath(kind), event);
}

bool CHostRun::Exit(DWORD ms)
{
    if (!window || !PostMessageW(window, WM_COMMAND, 111, 0)) return false;
    DWORD code = 99;
    return host.WaitExit(ms, code) && code == 0;
}

std::string CSimReplica::Check(const uint8_t* message, size_t size)
{
    if (size != kDataMessageSize) return "message of " + std::to_string(size) + " bytes";
    if (!synced_) {
        // Find where in the plug-in's stream this message starts; with odd
        // block sizes it may start inside a packet.
        SimPayload p{};
        size_t off = 0;
        while (off + kTsPacketSize <= size && !(message[off] == 0x47 && ParseSimPayload(message + off, p))) ++off;
        if (off + kTsPacketSize > size) return "no payload packet in the first message";
        if (p.sequence * kTsPacketSize < off) return "first message starts before the stream";
        const uint64_t start = p.sequence * kTsPacketSize - off;
        while ((stream_.Produced() + 1) * kTsPacketSize <= start) stream_.NextPacket(packet_);
        stream_.NextPacket(packet_);
        used_ = static_cast<size_t>(start - (stream_.Produced() - 1) * kTsPacketSize);
        synced_ = true;
    }
    for (size_t at = 0; at < size;) {
        if (used_ == kTsPacketSize) {
            stream_.NextPacket(packet_);
            used_ = 0;
        }
        const size_t n = std::min(kTsPacketSize - used_, size - at);
        const bool tableSlot = SimIsTableSlot(stream_.Produced() - 1);
        if (tableSlot ? used_ == 0 && message[at] != 0x47 : std::memcmp(message + at, packet_ + used_, n) != 0) {
            SimPayload p{};
            if (used_ == 0 && ParseSimPayload(message + at, p) && (p.space != space_ || p.channel != channel_))
                return "packet of space " + std::to_string(p.space) + " channel " + std::to_string(p.channel);
            return "byte " + std::to_string(bytes_ + at) + " differs from the plug-in's stream";
        }
        at += n;
        used_ += n;
    }
    bytes_ += size;
    return "";
}

ClientError ServedWithin(TunerKind kind, DWORD ms)
{
    CStreamClient c;
    ClientError e = c.client.ConnectControl(kind, ms);
    if (e == ClientError::None) e = c.client.ConnectData();
    DWORD got = 0;
    if (e == ClientError::None) e = c.Read(got, 5000);
    return e;
}

ClientError CStreamClient::Connect(TunerKind k)
{
    kind = k;
    ClientError e = client.ConnectControl(k);
    if (e == ClientError::None) e = client.Challenge();
    if (e == ClientError::None) e = client.ConnectData();
    return e;
}

namespace {

void Unxor(std::vector<uint8_t>& message, DWORD size)
{
    const uint8_t key = message[0] ^ 0x47;
    EXPECT_NE(key, 0) << "the descrambler left the stream unchanged";
    for (DWORD i = 0; i < size; ++i) message[i] ^= key;
}

// The band of a space of the simulated plug-in, as CHostRun sets it up.
SimBand BandOf(TunerKind kind, uint32_t space)
{
    const SimBand terrestrial[] = {SimBand::Uhf, SimBand::Catv, SimBand::Vhf}, satellite[] = {SimBand::Bs, SimBand::Cs};
    if (kind == TunerKind::Terrestrial) return space < 3 ? terrestrial[space] : SimBand::None;
    return space < 2 ? satellite[space] : SimBand::None;
}

// Payload packets of the channel, and of any other.
void CountChannel(const uint8_t* message, size_t size, uint32_t space, uint32_t channel, int& ours, int& others)
{
    ours = others = 0;
    SimPayload p{};
    for (size_t at = 0; at + kTsPacketSize <= size; at += kTsPacketSize)
        if (ParseSimPayload(message + at, p)) ++(p.space == space && p.channel == channel ? ours : others);
}

}  // namespace

void CStreamClient::Verify(int n, uint32_t space, uint32_t channel, bool xored)
{
    CSimReplica replica(space, channel, BandOf(kind, space));
    for (int i = 0; i < n; ++i) {
        DWORD got = 0;
        ASSERT_EQ(Read(got), ClientError::None) << "message " << i;
        if (xored) Unxor(buffer, got);
        ASSERT_EQ(replica.Check(buffer.data(), got), "") << "message " << i;
    }
}

void CStreamClient::VerifyAfterTune(int n, uint32_t space, uint32_t channel, bool xored)
{
    CSimReplica replica(space, channel, BandOf(kind, space));
    int skipped = 0;
    for (int checked = 0; checked < n;) {
        DWORD got = 0;
        ASSERT_EQ(Read(got), ClientError::None) << "after " << checked << " messages of the new channel";
        if (xored) Unxor(buffer, got);
        int ours = 0, others = 0;
        CountChannel(buffer.data(), got, space, channel, ours, others);
        if (checked == 0 && ours == 0) {
            ASSERT_LT(++skipped, 300) << "the new channel never came";
            continue;
        }
        ASSERT_EQ(others, 0) << "old channel's packets after the retune";
        ASSERT_EQ(replica.Check(buffer.data(), got), "") << "message " << checked << " of the new channel";
        ++checked;
    }
}
