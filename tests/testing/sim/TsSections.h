// For the tests: sections gathered from transport-stream packets, and the
// few fields of the tables that the tests look at. Written plainly for the
// tests' own checks; what TunerHost's clients parse is elsewhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TestSection {
    uint16_t pid;
    uint64_t packet;  // the packet it ended in
    std::vector<uint8_t> bytes;

    uint8_t TableId() const { return bytes[0]; }
    uint16_t Extension() const { return static_cast<uint16_t>(bytes[3] << 8 | bytes[4]); }
    uint8_t Version() const { return (bytes[5] >> 1) & 0x1F; }
    uint8_t Number() const { return bytes[6]; }
    uint8_t Last() const { return bytes[7]; }
    unsigned U16(size_t at) const { return bytes[at] << 8 | bytes[at + 1]; }
    unsigned Length12(size_t at) const { return (bytes[at] & 0x0F) << 8 | bytes[at + 1]; }
};

// Reassembles the sections of the given PIDs; counts what is wrong.
class CTestSections {
public:
    explicit CTestSections(std::vector<uint16_t> pids);
    void Packet(const uint8_t* p);
    void Feed(const uint8_t* data, size_t size);  // whole packets

    std::vector<TestSection> sections;
    size_t crcErrors = 0, pointerErrors = 0, ccErrors = 0;
    uint64_t packets = 0;

private:
    struct Pid {
        std::vector<uint8_t> pending;
        bool started = false;
        int cc = -1;
    };
    void Take(uint16_t pid, Pid& s, const uint8_t* data, size_t size, bool atStart);
    std::map<uint16_t, Pid> pids_;
};

// The descriptors in [at, end) of a section: tag and body.
struct TestDescriptor {
    uint8_t tag;
    std::vector<uint8_t> body;
};
std::vector<TestDescriptor> TestDescriptors(const TestSection& s, size_t at, size_t end);

// Tables the tests read.
struct TestSdtService {
    uint16_t id;
    uint8_t type;
    std::vector<uint8_t> provider, name;  // ARIB bytes
};
std::vector<TestSdtService> TestReadSdt(const TestSection& s);

struct TestEvent {
    uint16_t id;
    uint8_t start[5];
    uint32_t durationBcd;
    std::vector<TestDescriptor> descriptors;
};
std::vector<TestEvent> TestReadEit(const TestSection& s);

// A short event descriptor's title (ARIB bytes).
std::vector<uint8_t> TestEventTitle(const TestEvent& e);
