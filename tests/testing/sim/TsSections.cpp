#include "TsSections.h"

#include "SiSection.h"

CTestSections::CTestSections(std::vector<uint16_t> pids)
{
    for (uint16_t pid : pids) pids_[pid];
}

void CTestSections::Feed(const uint8_t* data, size_t size)
{
    for (size_t at = 0; at + 188 <= size; at += 188) Packet(data + at);
}

void CTestSections::Packet(const uint8_t* p)
{
    ++packets;
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    auto it = pids_.find(pid);
    if (it == pids_.end() || !(p[3] & 0x10)) return;
    Pid& s = it->second;
    const int cc = p[3] & 0x0F;
    if (s.cc >= 0 && cc != ((s.cc + 1) & 0x0F)) ++ccErrors;
    s.cc = cc;
    const size_t off = (p[3] & 0x20) ? 5 + p[4] : 4;
    if (off >= 188) return;
    Take(pid, s, p + off, 188 - off, (p[1] & 0x40) != 0);
}

void CTestSections::Take(uint16_t pid, Pid& s, const uint8_t* data, size_t size, bool atStart)
{
    auto extract = [&] {
        while (!s.pending.empty()) {
            if (s.pending[0] == 0xFF) {  // stuffing to the packet's end
                s.pending.clear();
                s.started = false;
                return;
            }
            if (s.pending.size() < 3) return;
            const size_t length = 3 + ((s.pending[1] & 0x0F) << 8 | s.pending[2]);
            if (s.pending.size() < length) return;
            TestSection section{pid, packets, {s.pending.begin(), s.pending.begin() + length}};
            if (Crc32Mpeg(section.bytes.data(), length) != 0) ++crcErrors;
            else sections.push_back(std::move(section));
            s.pending.erase(s.pending.begin(), s.pending.begin() + length);
        }
    };
    if (!atStart) {
        if (!s.started) return;
        s.pending.insert(s.pending.end(), data, data + size);
        return extract();
    }
    // A packet that says a section starts in it has at least its first byte.
    const size_t pointer = data[0];
    if (1 + pointer >= size) {
        ++pointerErrors;
        s.pending.clear();
        s.started = false;
        return;
    }
    if (s.started) {
        s.pending.insert(s.pending.end(), data + 1, data + 1 + pointer);
        extract();
        if (!s.pending.empty()) ++pointerErrors;  // the pointer did not end the section
    }
    s.pending.assign(data + 1 + pointer, data + size);
    s.started = true;
    extract();
}

std::vector<TestDescriptor> TestDescriptors(const TestSection& s, size_t at, size_t end)
{
    std::vector<TestDescriptor> out;
    while (at + 2 <= end && at + 2 + s.bytes[at + 1] <= end) {
        out.push_back({s.bytes[at], {s.bytes.begin() + at + 2, s.bytes.begin() + at + 2 + s.bytes[at + 1]}});
        at += 2 + s.bytes[at + 1];
    }
    return out;
}

std::vector<TestSdtService> TestReadSdt(const TestSection& s)
{
    std::vector<TestSdtService> out;
    const size_t end = s.bytes.size() - 4;
    for (size_t at = 11; at + 5 <= end;) {
        const size_t loopEnd = at + 5 + s.Length12(at + 3);
        TestSdtService service{static_cast<uint16_t>(s.U16(at)), 0, {}, {}};
        for (const TestDescriptor& d : TestDescriptors(s, at + 5, loopEnd))
            if (d.tag == 0x48) {
                service.type = d.body[0];
                const size_t provider = d.body[1];
                service.provider.assign(d.body.begin() + 2, d.body.begin() + 2 + provider);
                service.name.assign(d.body.begin() + 3 + provider, d.body.end());
            }
        out.push_back(service);
        at = loopEnd;
    }
    return out;
}

std::vector<TestEvent> TestReadEit(const TestSection& s)
{
    std::vector<TestEvent> out;
    const size_t end = s.bytes.size() - 4;
    for (size_t at = 14; at + 12 <= end;) {
        TestEvent e{static_cast<uint16_t>(s.U16(at)), {}, 0, {}};
        for (int i = 0; i < 5; ++i) e.start[i] = s.bytes[at + 2 + i];
        e.durationBcd = s.bytes[at + 7] << 16 | s.U16(at + 8);
        const size_t loopEnd = at + 12 + s.Length12(at + 10);
        e.descriptors = TestDescriptors(s, at + 12, loopEnd);
        out.push_back(std::move(e));
        at = loopEnd;
    }
    return out;
}

std::vector<uint8_t> TestEventTitle(const TestEvent& e)
{
    for (const TestDescriptor& d : e.descriptors)
        if (d.tag == 0x4D) return {d.body.begin() + 4, d.body.begin() + 4 + d.body[3]};
    return {};
}
