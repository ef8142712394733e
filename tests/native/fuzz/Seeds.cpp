// Seed corpora for the fuzzers, made with the tests' section builder: one
// section of each table (for fuzz_tables: a flag byte, then the section
// without its CRC, which the harness appends) and those sections in packets
// of their PIDs (for fuzz_sections, and behind a service id for fuzz_filter).
//
//   tstables_seeds DIR   writes DIR/tables/*, DIR/sections/* and DIR/filter/*
#include "SectionBuilder.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const Bytes kName = {0x0E, 0x4E, 0x48, 0x4B, 0x0F, 0x41, 0x6D, 0x39, 0x67, 0x0E, 0x31};  // ＮＨＫ総合１
const Bytes kKana = {0xCB, 0xDB, 0xF3, 0x25, 0x46, 0x1D, 0x4B, 0x21, 0x21};              // にほんテニ　

Bytes Event(uint16_t id, const Bytes& descriptors)
{
    return EventEntry(id, JstTime(2024, 1, 1, 21, 0, 0), BcdDuration(1, 0, 0), descriptors);
}

Bytes Eit(uint8_t table, const Bytes& events)
{
    return CSectionBuilder::Long(table, 0x0400, 1, 0, 1).U16(0x7FE0).U16(0x7FE0).U8(0).U8(table).Add(events).Build();
}

std::vector<std::pair<uint16_t, Bytes>> Tables()
{
    const Bytes extended = Desc(0x4E, Cat({{0x01, 'j', 'p', 'n'}, Counted(Cat({Counted(kName), Counted(kKana)})), {0}}));
    const Bytes more = Desc(0x4E, Cat({{0x11, 'j', 'p', 'n'}, Counted(Cat({Counted({}), Counted(kKana)})), Counted(kName)}));
    const Bytes tsInfo = Desc(0xCD, Cat({{0x01, static_cast<uint8_t>(kName.size() << 2 | 1)}, kName, {0x0F, 2, 0x04, 0x00, 0x04, 0x01}}));
    const Bytes serviceList = Desc(0x41, {0x04, 0x00, 0x01, 0x05, 0x80, 0xC0});
    return {
        {0x0000, CSectionBuilder::Long(0x00, 0x7FE0).U16(0).U16(0xE010).U16(0x0400).U16(0xE1F0).Build()},
        {0x01F0, CSectionBuilder::Long(0x02, 0x0400).U16(0xE111).Loop(Desc(0x09, {0, 5, 0xE9, 1}))
                     .U8(0x02).U16(0xE111).Loop(Desc(0x52, {0})).U8(0x0F).U16(0xE112).Loop(Desc(0x09, {0, 5, 0xE9, 2})).Build()},
        {0x0011, CSectionBuilder::Long(0x42, 0x7FE0).U16(0x7FE0).U8(0xFF).U16(0x0400).U8(0xFF)
                     .Loop(Desc(0x48, Cat({{0x01}, Counted(kName), Counted(kKana)}))).Build()},
        {0x0010, CSectionBuilder::Long(0x40, 0x7FE0).Loop(Desc(0x40, kName))
                     .Loop(Cat({{0x7F, 0xE0, 0x7F, 0xE0, 0xF0, static_cast<uint8_t>(serviceList.size() + tsInfo.size())}, serviceList, tsInfo}))
                     .Build()},
        {0x0014, CSectionBuilder::Short(0x70, false).Add(JstTime(2024, 1, 1, 21, 0, 0)).Build()},
        {0x0014, CSectionBuilder::Short(0x73, true).Add(JstTime(2024, 1, 1, 21, 0, 0)).Loop(Desc(0x58, {'J', 'P', 'N', 2, 0, 0, 0xE4, 0xD6, 0, 0, 0, 0, 0})).Build()},
        {0x0012, Eit(0x4E, Event(0x1001, Cat({Desc(0x4D, Cat({{'j', 'p', 'n'}, Counted(kName), Counted(kKana)})), Desc(0x54, {0x00, 0xFF, 0x6F, 0xFF}),
                                               Desc(0x50, {0xF1, 0xB3, 0, 'j', 'p', 'n'}), Desc(0xC4, {0xF2, 0x02, 0x10, 0x0F, 0xFF, 0xFF, 'j', 'p', 'n', 'e', 'n', 'g'})})))},
        {0x0012, Eit(0x50, Cat({Event(0x1001, Desc(0x54, {0x31, 0xFF})), Event(0x1002, {})}))},
        {0x0012, Eit(0x58, Event(0x1001, Cat({extended, more})))},
    };
}

void Write(const std::filesystem::path& file, const Bytes& bytes)
{
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tstables_seeds DIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir / "tables");
    std::filesystem::create_directories(dir / "sections");
    const auto tables = Tables();
    std::vector<uint8_t> cc(8192, 0);
    Bytes all;
    for (size_t i = 0; i < tables.size(); ++i) {
        const auto& [pid, section] = tables[i];
        const bool crc = section[0] != 0x70;
        Write(dir / "tables" / ("seed" + std::to_string(i)), Cat({{0x01}, Bytes(section.begin(), section.end() - (crc ? 4 : 0))}));
        const Bytes ts = Packetize(pid, {section}, cc[pid]);
        Write(dir / "sections" / ("seed" + std::to_string(i)), ts);
        all.insert(all.end(), ts.begin(), ts.end());
    }
    Write(dir / "sections" / "all", all);
    // fuzz_filter: the service (0x0400) and the piece size first, then the stream.
    std::filesystem::create_directories(dir / "filter");
    Write(dir / "filter" / "all", Cat({{0x04, 0x00, 0x3D}, all}));
    Write(dir / "filter" / "other", Cat({{0x04, 0x01, 0x00}, all}));
    return 0;
}
