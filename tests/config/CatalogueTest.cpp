#include "TestUtil.h"
#include "config/CConfig.h"
#include "config/DriverCatalogue.h"

#include <gtest/gtest.h>

#include <map>

namespace {

void AddSim(const CTempDir& dir, const std::wstring& name, const std::string& settings,
            const wchar_t* extension = L".dll")
{
    ASSERT_TRUE(CopyFromBin(L"BonDriver_Sim.dll", dir, name + extension));
    WriteTextFile(dir.File(name + L".ini"), "[Sim]\r\n" + settings);
}

std::map<std::wstring, const CDriverInfo*> ByName(const CConfig& c)
{
    std::map<std::wstring, const CDriverInfo*> m;
    for (const CDriverInfo& e : c.drivers) m[e.fileName] = &e;
    return m;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

}  // namespace

TEST(Catalogue, ListsWorkingPluginsAndLeavesOutFaultyOnes)
{
    CTempDir dir(L"catalogue");
    const std::string goodLog = Narrow(dir.File(L"good.log"));
    const std::string fileLog = Narrow(dir.File(L"file.log"));
    AddSim(dir, L"BonDriver_Good", "Log=" + goodLog + "\r\n");
    AddSim(dir, L"BonDriver_Sat", "Spaces=S\r\n");
    AddSim(dir, L"BonDriver_OpenFails", "OpenFails=1\r\n");
    AddSim(dir, L"BonDriver_NoIf2", "NoInterface2=1\r\n");
    AddSim(dir, L"BonDriver_Null", "FactoryNull=1\r\n");
    AddSim(dir, L"BonDriver_EndlessS", "EndlessSpaces=1\r\n");
    AddSim(dir, L"BonDriver_EndlessC", "EndlessChannels=1\r\n");
    AddSim(dir, L"BonDriver_None", "NoSpaces=1\r\n");
    AddSim(dir, L"BonDriver_Shifted", "EmptyFirstSpace=1\r\n");
    AddSim(dir, L"BonDriver_File", "Log=" + fileLog + "\r\n");
    AddSim(dir, L"BONDRIVER_TCP", "", L".DLL");
    AddSim(dir, L"BonDriver_Udp", "OpenFails=1\r\n");
    // A stale pointer for a name, and faults inside the plug-in's calls: each
    // is left out, and the process goes on.
    AddSim(dir, L"BonDriver_Freed", "NamesFreed=1\r\n");
    AddSim(dir, L"BonDriver_OpenAv", "OpenFault=1\r\n");
    AddSim(dir, L"BonDriver_OpenThrows", "OpenFault=2\r\n");
    ASSERT_TRUE(CopyFromBin(L"NoFactory.dll", dir, L"BonDriver_NoFactory.dll"));
    WriteTextFile(dir.File(L"BonDriver_Garbage.dll"), "this is not a DLL");
    CreateDirectoryW(dir.File(L"BonDriver_Folder.dll").c_str(), nullptr);
    WriteTextFile(dir.File(L"TunerHost.ini"),
                  "[Config]\r\nDriverNameT=BonDriver_Good.dll\r\nDriverNameS=bondriver_sat.dll\r\n"
                  "[BonDriver_Good.dll_Config]\r\nTuningSpaceCATV=5\r\nFixedTuningSpace=2\r\nFixedChannel=11\r\n"
                  "[BONDRIVER_TCP.DLL_Config]\r\nTuningSpaceUHF=1\r\n"
                  "[bondriver_shifted.dll_Config]\r\nTuningSpaceUHF=2\r\n");

    CConfig c;
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    auto m = ByName(c);
    ASSERT_EQ(m.size(), 4u) << "catalogue: Good, Sat, Shifted, BONDRIVER_TCP.DLL";
    ASSERT_TRUE(m.count(L"BonDriver_Good.dll"));
    ASSERT_TRUE(m.count(L"BonDriver_Sat.dll"));
    ASSERT_TRUE(m.count(L"BonDriver_Shifted.dll"));
    ASSERT_TRUE(m.count(L"BONDRIVER_TCP.DLL"));

    const CDriverInfo& good = *m[L"BonDriver_Good.dll"];
    ASSERT_EQ(good.spaces.size(), 3u);
    EXPECT_EQ(good.spaces[0].name, L"UHF");
    EXPECT_EQ(good.spaces[0].channels.size(), 50u);
    EXPECT_EQ(good.spaces[0].channels[0], L"13ch");
    EXPECT_EQ(good.spaces[2].name, L"VHF");
    EXPECT_EQ(good.TuningSpaceCATV, -1);   // clamped: 5 >= 3 spaces
    EXPECT_EQ(good.FixedTuningSpace, 2);
    EXPECT_EQ(good.FixedChannel, 11);      // VHF lists 12 channels

    // The plug-in was opened once and released fully before the next probe.
    EXPECT_EQ(ReadTextFile(dir.File(L"good.log")), "load\ncreate\nopen\nclose\ndestroy\nunload\n");
    // BonDriver_File.dll is never probed.
    EXPECT_EQ(ReadTextFile(dir.File(L"file.log")), "");

    // A space without channels is dropped and later positions move up.
    const CDriverInfo& shifted = *m[L"BonDriver_Shifted.dll"];
    ASSERT_EQ(shifted.spaces.size(), 3u);
    EXPECT_EQ(shifted.spaces[0].name, L"UHF");
    EXPECT_EQ(shifted.TuningSpaceUHF, 2);  // its section, named in other letter case, applies
    EXPECT_EQ(shifted.TuningSpaceVHF, 2);

    // TCP/UDP plug-ins are pinned unless the file says otherwise; the stored
    // section (same letter case) applies.
    const CDriverInfo& tcp = *m[L"BONDRIVER_TCP.DLL"];
    EXPECT_EQ(tcp.FixChannel, 0);  // the section's FixChannel default "0" replaces the 1
    EXPECT_EQ(tcp.TuningSpaceUHF, 1);

    // A plug-in the file does not mention keeps its defaults, unclamped.
    const CDriverInfo& sat = *m[L"BonDriver_Sat.dll"];
    EXPECT_EQ(sat.spaces.size(), 2u);
    EXPECT_EQ(sat.TuningSpaceVHF, 2);

    // File names match as the file system does: DriverNameS differs in case.
    ASSERT_GE(c.DriverIndexT, 0);
    EXPECT_EQ(c.drivers[c.DriverIndexT].fileName, L"BonDriver_Good.dll");
    ASSERT_GE(c.DriverIndexS, 0);
    EXPECT_EQ(c.drivers[c.DriverIndexS].fileName, L"BonDriver_Sat.dll");
}

TEST(Catalogue, ASectionInOtherLetterCaseKeepsItsSettingsAcrossASave)
{
    // The INI functions find a section whatever its letter case, so a save
    // writes into the user's section: what it holds must be what was read.
    CTempDir dir(L"sectioncase");
    AddSim(dir, L"BonDriver_Good", "");
    const std::wstring ini = dir.File(L"TunerHost.ini");
    WriteTextFile(ini, "[Config]\r\nDriverNameT=bondriver_good.dll\r\nDriverNameS=\r\n"
                       "[BONDRIVER_GOOD.DLL_CONFIG]\r\nTuningSpaceCATV=2\r\nFixChannel=1\r\nFixedChannel=7\r\n");
    CConfig first;
    ASSERT_TRUE(first.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    ASSERT_EQ(first.drivers.size(), 1u);
    EXPECT_EQ(first.DriverIndexT, 0);
    EXPECT_EQ(first.drivers[0].TuningSpaceCATV, 2);
    EXPECT_EQ(first.drivers[0].FixChannel, 1);
    first.drivers[0].TuningSpaceUHF = 1;  // the user changes one value
    ASSERT_TRUE(first.SaveConfig());

    CConfig second;
    ASSERT_TRUE(second.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    ASSERT_EQ(second.drivers.size(), 1u);
    EXPECT_EQ(second.DriverIndexT, 0);
    EXPECT_EQ(second.drivers[0].TuningSpaceUHF, 1);
    EXPECT_EQ(second.drivers[0].TuningSpaceCATV, 2);
    EXPECT_EQ(second.drivers[0].FixChannel, 1);
    EXPECT_EQ(second.drivers[0].FixedChannel, 7);
}

TEST(Catalogue, TcpPluginWithoutSectionIsPinned)
{
    CTempDir dir(L"tcp");
    AddSim(dir, L"BonDriver_Tcp", "");
    CConfig c;
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    ASSERT_EQ(c.drivers.size(), 1u);
    EXPECT_EQ(c.drivers[0].FixChannel, 1);
}

TEST(Catalogue, EmptyOrMissingFolder)
{
    CTempDir dir(L"emptycat");
    CConfig c;
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    EXPECT_TRUE(c.drivers.empty());
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"missing\\TunerHost.exe")));
    EXPECT_TRUE(c.drivers.empty());
    EXPECT_EQ(c.DriverIndexT, -1);
}

TEST(Catalogue, APluginThatDoesNotReturnFromOpenIsLeftOutWithinTheBound)
{
    CTempDir dir(L"hungprobe");
    const std::string hungLog = Narrow(dir.File(L"hung.log"));
    AddSim(dir, L"BonDriver_Hung", "OpenHangMs=30000\r\nLog=" + hungLog + "\r\n");
    AddSim(dir, L"BonDriver_Good", "");
    CConfig c;
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    EXPECT_LT(GetTickCount64() - start, 20000u) << "the catalogue waited for the plug-in";
    auto m = ByName(c);
    EXPECT_EQ(m.size(), 1u);
    EXPECT_TRUE(m.count(L"BonDriver_Good.dll"));
    EXPECT_EQ(ReadTextFile(dir.File(L"hung.log")), "load\ncreate\nhang\n");
}

TEST(Catalogue, AFileWithMoreSectionsThanTheListHoldsStillAppliesEachPluginsSection)
{
    CTempDir dir(L"manysections");
    AddSim(dir, L"BonDriver_Good", "");
    AddSim(dir, L"BonDriver_Tcp", "");
    std::string text = "[Config]\r\nDriverNameT=BonDriver_Good.dll\r\n";
    for (int i = 0; i < 300; ++i) text += "[Filler_section_number_" + std::to_string(i) + "]\r\nk=v\r\n";
    text += "[BonDriver_Good.dll_Config]\r\nTuningSpaceCATV=2\r\nFixChannel=1\r\n";
    WriteTextFile(dir.File(L"TunerHost.ini"), text);
    CConfig c;
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"TunerHost.exe")));
    auto m = ByName(c);
    ASSERT_TRUE(m.count(L"BonDriver_Good.dll"));
    EXPECT_EQ(m[L"BonDriver_Good.dll"]->TuningSpaceCATV, 2);
    EXPECT_EQ(m[L"BonDriver_Good.dll"]->FixChannel, 1);
    ASSERT_TRUE(m.count(L"BonDriver_Tcp.dll"));
    EXPECT_EQ(m[L"BonDriver_Tcp.dll"]->FixChannel, 1);  // no section: the catalogue's own value stays
}
