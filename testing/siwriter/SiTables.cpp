#include "SiTables.h"

#include "SiSection.h"

namespace {

constexpr size_t kMaxPsiSection = 1024;  // PAT, PMT, SDT, NIT, TOT

uint8_t Bcd(uint32_t v)
{
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

// ARIB's TS information descriptor: the remote-control key, the stream's
// name, and its services by transmission type (ordinary ones, then the
// one-segment ones).
void TsInformation(CSectionWriter& w, const SiNitTransport& t)
{
    size_t partial = 0;
    for (size_t i = 0; i < t.serviceCount; ++i) partial += t.services[i].partialReception ? 1 : 0;
    const size_t types = (t.serviceCount > partial ? 1 : 0) + (partial ? 1 : 0);
    const uint8_t nameLength = t.name.length > 63 ? 63 : t.name.length;
    const size_t d = w.BeginDescriptor(0xCD);
    w.U8(t.remoteKey);
    w.U8((nameLength << 2) | types);
    w.Bytes(t.name.data, nameLength);
    for (int pass = 0; pass < 2; ++pass) {
        const bool partialPass = pass == 1;
        const size_t n = partialPass ? partial : t.serviceCount - partial;
        if (!n) continue;
        w.U8(partialPass ? 0xAF : 0x0F);
        w.U8(n);
        for (size_t i = 0; i < t.serviceCount; ++i)
            if (t.services[i].partialReception == partialPass) w.U16(t.services[i].id);
    }
    w.EndDescriptor(d);
}

// The size of a transport stream's entry in the NIT's loop, by writing it
// into scratch space.
size_t NitEntry(CSectionWriter& w, const SiNitTransport& t)
{
    const size_t before = w.Size();
    w.U16(t.tsid);
    w.U16(t.networkId);
    const size_t loop = w.OpenLoop();
    const size_t list = w.BeginDescriptor(0x41);  // service list
    for (size_t i = 0; i < t.serviceCount; ++i) {
        w.U16(t.services[i].id);
        w.U8(t.services[i].type);
    }
    w.EndDescriptor(list);
    TsInformation(w, t);
    w.CloseLoop(loop);
    return w.Size() - before;
}

}  // namespace

void SiJstTime(uint32_t unixSeconds, uint8_t out[5])
{
    const uint32_t jst = unixSeconds + 9 * 3600;
    const uint32_t mjd = 40587 + jst / 86400;
    const uint32_t s = jst % 86400;
    out[0] = static_cast<uint8_t>(mjd >> 8);
    out[1] = static_cast<uint8_t>(mjd);
    out[2] = Bcd(s / 3600);
    out[3] = Bcd(s / 60 % 60);
    out[4] = Bcd(s % 60);
}

uint32_t SiBcdDuration(uint32_t seconds)
{
    return (static_cast<uint32_t>(Bcd(seconds / 3600 % 100)) << 16) | (Bcd(seconds / 60 % 60) << 8) |
           Bcd(seconds % 60);
}

size_t WritePat(uint8_t* out, size_t capacity, uint16_t tsid, uint8_t version, const SiProgram* programs,
                size_t count)
{
    CSectionWriter w(out, capacity < kMaxPsiSection ? capacity : kMaxPsiSection);
    w.BeginLong(0x00, tsid, version, 0, 0);
    for (size_t i = 0; i < count; ++i) {
        w.U16(programs[i].number);
        w.U16(0xE000 | programs[i].pid);
    }
    return w.Finish();
}

size_t WritePmt(uint8_t* out, size_t capacity, uint16_t program, uint8_t version, uint16_t pcrPid,
                const SiElementary* streams, size_t count)
{
    CSectionWriter w(out, capacity < kMaxPsiSection ? capacity : kMaxPsiSection);
    w.BeginLong(0x02, program, version, 0, 0);
    w.U16(0xE000 | pcrPid);
    w.CloseLoop(w.OpenLoop());  // no program descriptors
    for (size_t i = 0; i < count; ++i) {
        w.U8(streams[i].streamType);
        w.U16(0xE000 | streams[i].pid);
        const size_t loop = w.OpenLoop();
        const size_t d = w.BeginDescriptor(0x52);  // stream identifier
        w.U8(streams[i].componentTag);
        w.EndDescriptor(d);
        w.CloseLoop(loop);
    }
    return w.Finish();
}

size_t WriteSdt(uint8_t* out, size_t capacity, uint16_t tsid, uint16_t networkId, uint8_t version,
                const SiSdtService* services, size_t count)
{
    CSectionWriter w(out, capacity < kMaxPsiSection ? capacity : kMaxPsiSection);
    w.BeginLong(0x42, tsid, version, 0, 0);
    w.U16(networkId);
    w.U8(0xFF);
    for (size_t i = 0; i < count; ++i) {
        w.U16(services[i].id);
        w.U8(0xE3);  // reserved, no user-defined flags, EIT schedule and present/following
        // Running, free: status 4 in the top three bits of the loop length.
        const size_t loop = w.OpenLoop();
        const size_t d = w.BeginDescriptor(0x48);  // service
        w.U8(services[i].type);
        w.Text8(services[i].provider);
        w.Text8(services[i].name);
        w.EndDescriptor(d);
        if (services[i].hasLogo) {
            const size_t logo = w.BeginDescriptor(0xCF);  // logo transmission, type 1: CDT
            w.U8(0x01);
            w.U16(0xFE00 | (services[i].logoId & 0x1FF));
            w.U16(0xF000 | (services[i].logoVersion & 0xFFF));
            w.U16(services[i].logoDownloadId);
            w.EndDescriptor(logo);
        }
        w.CloseLoop(loop);
        w.SetAt(loop, static_cast<uint8_t>(0x80 | (w.At(loop) & 0x0F)));
    }
    return w.Finish();
}

size_t WriteNit(uint8_t* out, size_t capacity, uint16_t networkId, uint8_t version, SiText networkName,
                const SiNitTransport* transports, size_t count)
{
    size_t written = 0, next = 0;
    uint8_t sections = 0;
    do {
        CSectionWriter w(out + written, capacity - written);
        w.BeginLong(0x40, networkId, version, sections, 0);
        const size_t network = w.OpenLoop();
        const size_t d = w.BeginDescriptor(0x40);  // network name
        w.Bytes(networkName.data, networkName.length);
        w.EndDescriptor(d);
        w.CloseLoop(network);
        const size_t loop = w.OpenLoop();
        for (; next < count; ++next) {
            // An entry that would not fit goes into the next section; one
            // that fits in none is an error.
            uint8_t scratch[512];
            CSectionWriter probe(scratch, sizeof scratch);
            const size_t entry = NitEntry(probe, transports[next]);
            if (!probe.Ok()) return 0;
            if (entry > w.Room(kMaxPsiSection)) break;
            NitEntry(w, transports[next]);
        }
        w.CloseLoop(loop);
        const size_t size = w.Finish();
        if (!size || (next < count && sections == 0xFF)) return 0;
        written += size;
        ++sections;
    } while (next < count);
    // Now that the count is known: every section's last section number.
    for (size_t at = 0; at < written;) {
        uint8_t* s = out + at;
        const size_t size = 3 + (((s[1] & 0x0F) << 8) | s[2]);
        s[7] = static_cast<uint8_t>(sections - 1);
        const uint32_t crc = Crc32Mpeg(s, size - 4);
        for (int i = 0; i < 4; ++i) s[size - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        at += size;
    }
    return written;
}

size_t WriteTot(uint8_t* out, size_t capacity, uint32_t unixSeconds)
{
    CSectionWriter w(out, capacity);
    w.BeginShort(0x73);
    uint8_t t[5];
    SiJstTime(unixSeconds, t);
    w.Bytes(t, 5);
    w.CloseLoop(w.OpenLoop());  // no descriptors
    return w.Finish();
}
