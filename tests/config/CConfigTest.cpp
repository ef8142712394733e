#include "TestUtil.h"
#include "config/CConfig.h"
#include "config/IniNumber.h"

#include <gtest/gtest.h>

TEST(IniNumber, ParsesLikeTheSettingsFile)
{
    EXPECT_EQ(ParseIniInt32(L"12abc"), 12);
    EXPECT_EQ(ParseIniInt32(L"abc"), 0);
    EXPECT_EQ(ParseIniInt32(L" -1"), -1);
    EXPECT_EQ(ParseIniInt32(L"\t+7"), 7);
    EXPECT_EQ(ParseIniInt32(L""), 0);
    EXPECT_EQ(ParseIniInt32(L"-"), 0);
    EXPECT_EQ(ParseIniInt32(L"2147483647"), 2147483647);
    EXPECT_EQ(ParseIniInt32(L"2147483648"), 2147483647);
    EXPECT_EQ(ParseIniInt32(L"-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseIniInt32(L"-99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(ParseIniInt32(L"99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(FormatIniInt32(-42), L"-42");
    EXPECT_EQ(FormatIniInt32(0), L"0");
}

TEST(SectionName, AcceptsOnlyPluginSections)
{
    std::wstring d;
    EXPECT_TRUE(ParseDriverSectionName(L"BonDriver_X.dll_Config", d));
    EXPECT_EQ(d, L"BonDriver_X.dll");
    EXPECT_TRUE(ParseDriverSectionName(L"BONDRIVER_X.DLL_CONFIG", d));
    EXPECT_EQ(d, L"BONDRIVER_X.DLL");
    EXPECT_TRUE(ParseDriverSectionName(L"bondriver_.dll_Config", d));  // 21 units, the shortest
    EXPECT_FALSE(ParseDriverSectionName(L"bondriver.dll_Config", d));   // 20 units
    EXPECT_FALSE(ParseDriverSectionName(L"Config", d));
    EXPECT_FALSE(ParseDriverSectionName(L"Tuner_Abcdefghijk.dll_Config", d));
    EXPECT_FALSE(ParseDriverSectionName(L"BonDriver_Abcdefgh.exe_Config", d));
    EXPECT_FALSE(ParseDriverSectionName(L"BonDriver_Abcdefgh.dll_Settings", d));
    EXPECT_FALSE(ParseDriverSectionName(L"BonDriverAbcdefghij.dll_Config", d));
}

namespace {
CDriverInfo Entry(int spaces, int channelsInSpace0)
{
    CDriverInfo e;
    for (int i = 0; i < spaces; ++i) {
        CSpaceInfo s;
        s.name = L"S" + std::to_wstring(i);
        for (int c = 0; c < (i == 0 ? channelsInSpace0 : 3); ++c) s.channels.push_back(L"c");
        e.spaces.push_back(s);
    }
    return e;
}
}  // namespace

TEST(Settings, ClampingRules)
{
    CDriverInfo e = Entry(3, 2);
    e.TuningSpaceCATV = 5;
    e.TuningSpaceUHF = -7;
    e.TuningSpaceVHF = 3;  // what the sheet stores for "none"
    e.TuningSpaceBS = 2;
    e.FixedTuningSpace = 7;
    e.FixedChannel = 99;
    e.ClampSettings();
    EXPECT_EQ(e.TuningSpaceCATV, -1);
    EXPECT_EQ(e.TuningSpaceUHF, -7);
    EXPECT_EQ(e.TuningSpaceVHF, -1);
    EXPECT_EQ(e.TuningSpaceBS, 2);
    EXPECT_EQ(e.FixedTuningSpace, 0);
    EXPECT_EQ(e.FixedChannel, 99);  // left unchecked when the space was invalid

    e.FixedTuningSpace = -1;
    e.ClampSettings();
    EXPECT_EQ(e.FixedTuningSpace, 0);

    e.FixedTuningSpace = 0;
    e.FixedChannel = -3;
    e.ClampSettings();
    EXPECT_EQ(e.FixedChannel, 0);
    e.FixedChannel = 2;  // equal to the channel count of space 0
    e.ClampSettings();
    EXPECT_EQ(e.FixedChannel, 0);
    e.FixedChannel = 1;
    e.ClampSettings();
    EXPECT_EQ(e.FixedChannel, 1);
}

TEST(Settings, PathSplitting)
{
    CTempDir dir(L"paths");
    CConfig c;
    EXPECT_FALSE(c.LoadConfigForPath(L"noslash.exe"));
    EXPECT_FALSE(c.LoadConfigForPath(dir.File(L"TunerHost")));  // no extension
    ASSERT_TRUE(c.LoadConfigForPath(dir.File(L"tuner.host.exe")));
    EXPECT_EQ(c.exeDirectory, dir.Path());
    EXPECT_EQ(c.exeBaseName, L"tuner.host");
    EXPECT_EQ(c.iniPath, dir.File(L"tuner.host.ini"));
    // No file and no plug-ins: true, both indices -1, nothing written.
    EXPECT_EQ(c.DriverIndexT, -1);
    EXPECT_EQ(c.DriverIndexS, -1);
    EXPECT_TRUE(c.drivers.empty());
    EXPECT_EQ(GetFileAttributesW(c.iniPath.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Settings, ReadsValuesAndFiltersSections)
{
    CTempDir dir(L"read");
    WriteTextFile(dir.File(L"TunerHost.ini"),
                  "[Config]\r\nDriverNameT=BonDriver_A.dll\r\nDriverNameS=\r\n"
                  "[BonDriver_A.dll_Config]\r\nTuningSpaceUHF=12abc\r\nTuningSpaceCATV=abc\r\nTuningSpaceVHF= -1\r\n"
                  "TuningSpaceBS=99999999999\r\nFixChannel=1\r\n"
                  "[BONDRIVER_B.DLL_CONFIG]\r\nFixedChannel=4\r\n"
                  "[Tuner_X.dll_Config]\r\nFixChannel=1\r\n"
                  "[BonDriver_C.exe_Config]\r\nFixChannel=1\r\n"
                  "[Other]\r\nkeep=me\r\n");
    CConfig c;
    c.iniPath = dir.File(L"TunerHost.ini");
    c.ReadConfig();
    EXPECT_EQ(c.DriverNameT, L"BonDriver_A.dll");
    EXPECT_EQ(c.DriverNameS, L"");
    ASSERT_EQ(c.driverSettings.size(), 2u);
    const CDriverInfo& a = c.driverSettings[0];
    EXPECT_EQ(a.fileName, L"BonDriver_A.dll");
    EXPECT_EQ(a.TuningSpaceUHF, 12);
    EXPECT_EQ(a.TuningSpaceCATV, 0);
    EXPECT_EQ(a.TuningSpaceVHF, -1);
    EXPECT_EQ(a.TuningSpaceBS, INT32_MAX);
    EXPECT_EQ(a.TuningSpaceCS, 1);  // absent key keeps its default
    EXPECT_EQ(a.FixChannel, 1);
    EXPECT_EQ(c.driverSettings[1].fileName, L"BONDRIVER_B.DLL");
    EXPECT_EQ(c.driverSettings[1].FixedChannel, 4);
}

TEST(Settings, EmptyAndOverlongFiles)
{
    CTempDir dir(L"overlong");
    CConfig c;
    c.iniPath = dir.File(L"TunerHost.ini");
    WriteTextFile(c.iniPath, "");
    c.ReadConfig();
    EXPECT_TRUE(c.driverSettings.empty());
    EXPECT_EQ(c.DriverNameT, L"");

    // Section names that do not fit in 4096 units: none is applied.
    std::string text = "[Config]\r\nDriverNameT=" + std::string(3000, 'x') + "\r\n";
    text += "[BonDriver_A.dll_Config]\r\nFixChannel=1\r\n";
    for (int i = 0; i < 300; ++i) text += "[Filler_section_number_" + std::to_string(i) + "]\r\nk=v\r\n";
    WriteTextFile(c.iniPath, text);
    c.ReadConfig();
    EXPECT_TRUE(c.driverSettings.empty());
    EXPECT_EQ(c.DriverNameT.size(), 1023u);  // cut by the platform
}

TEST(Settings, SaveWritesEverySectionAndKeepsForeignLines)
{
    CTempDir dir(L"save");
    CConfig c;
    c.iniPath = dir.File(L"TunerHost.ini");
    WriteTextFile(c.iniPath, "[Other]\r\nkeep=me\r\n[BonDriver_Gone.dll_Config]\r\nFixChannel=1\r\n");
    CDriverInfo a = Entry(3, 2), b = Entry(1, 1);
    a.fileName = L"BonDriver_A.dll";
    b.fileName = L"BonDriver_B.dll";
    b.TuningSpaceVHF = -1;
    b.TuningSpaceCATV = 1;  // equal to b's space count: the sheet's "none"
    c.drivers = {a, b};
    c.DriverIndexT = 0;
    c.DriverIndexS = -1;
    EXPECT_TRUE(c.SaveConfig());

    const std::string text = ReadTextFile(c.iniPath);
    EXPECT_NE(text.find("keep=me"), std::string::npos);
    EXPECT_NE(text.find("[BonDriver_Gone.dll_Config]"), std::string::npos);
    EXPECT_NE(text.find("DriverNameT=BonDriver_A.dll"), std::string::npos);
    EXPECT_NE(text.find("DriverNameS=\r\n"), std::string::npos);
    const size_t sa = text.find("[BonDriver_A.dll_Config]"), sb = text.find("[BonDriver_B.dll_Config]");
    ASSERT_NE(sa, std::string::npos);
    ASSERT_NE(sb, std::string::npos);
    EXPECT_LT(sa, sb);
    EXPECT_NE(text.find("TuningSpaceVHF=-1", sb), std::string::npos);

    // Read back: every value survives; the "none" band reads as -1 once clamped.
    CConfig back;
    back.iniPath = c.iniPath;
    back.ReadConfig();
    EXPECT_EQ(back.DriverNameT, L"BonDriver_A.dll");
    ASSERT_EQ(back.driverSettings.size(), 3u);
    CDriverInfo rb = Entry(1, 1);
    for (const CDriverInfo& e : back.driverSettings)
        if (e.fileName == L"BonDriver_B.dll") rb.CopySettingsFrom(e);
    EXPECT_EQ(rb.TuningSpaceCATV, 1);
    rb.ClampSettings();
    EXPECT_EQ(rb.TuningSpaceCATV, -1);
    EXPECT_EQ(rb.TuningSpaceVHF, -1);
}

TEST(Settings, SaveThatCannotWriteReportsFailure)
{
    CTempDir dir(L"unwritable");
    CConfig c;
    c.iniPath = dir.File(L"missing\\TunerHost.ini");  // a folder that does not exist
    CDriverInfo a = Entry(1, 1);
    a.fileName = L"BonDriver_A.dll";
    c.drivers = {a};
    c.DriverIndexT = 0;
    EXPECT_FALSE(c.SaveConfig());
}

namespace {
CConfig OnePlugin(const std::wstring& iniPath, int32_t uhf)
{
    CConfig c;
    c.iniPath = iniPath;
    CDriverInfo a = Entry(1, 1);
    a.fileName = L"BonDriver_A.dll";
    a.TuningSpaceUHF = uhf;
    c.drivers = {a};
    c.DriverIndexT = 0;
    return c;
}

int FilesIn(const CTempDir& dir)
{
    WIN32_FIND_DATAW data;
    CFindHandle find(FindFirstFileW(dir.File(L"*").c_str(), &data));
    int n = 0;
    if (find) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
        } while (FindNextFileW(find.Get(), &data));
    }
    return n;
}
}  // namespace

TEST(Settings, SavingTouchesTheFileItselfAndNothingBesideIt)
{
    CTempDir dir(L"saveinplace");
    const std::wstring ini = dir.File(L"TunerHost.ini");
    ASSERT_TRUE(WriteTextFile(ini, "[Config]\r\nDriverNameT=BonDriver_A.dll\r\n"));

    // A file of the user's own beside the settings stays as it was.
    ASSERT_TRUE(WriteTextFile(dir.File(L"TunerHost.ini.tmp"), "mine"));
    // A second name of the same file (a link) sees the new settings.
    ASSERT_TRUE(CreateHardLinkW(dir.File(L"linked.ini").c_str(), ini.c_str(), nullptr));
    EXPECT_TRUE(OnePlugin(ini, -1).SaveConfig());
    EXPECT_EQ(ReadTextFile(dir.File(L"TunerHost.ini.tmp")), "mine");
    EXPECT_NE(ReadTextFile(dir.File(L"linked.ini")).find("TuningSpaceUHF=-1"), std::string::npos);
    EXPECT_EQ(ReadTextFile(dir.File(L"linked.ini")), ReadTextFile(ini));
    EXPECT_EQ(FilesIn(dir), 3);

    // A read-only file is not written, and leaves nothing behind that would
    // block the save once the user has cleared the flag.
    const std::string before = ReadTextFile(ini);
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(OnePlugin(ini, 2).SaveConfig());
    EXPECT_EQ(ReadTextFile(ini), before);
    EXPECT_EQ(FilesIn(dir), 3);
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(OnePlugin(ini, 2).SaveConfig());
    EXPECT_NE(ReadTextFile(ini).find("TuningSpaceUHF=2"), std::string::npos);
    EXPECT_EQ(FilesIn(dir), 3);

    // A save that fails where there was no file leaves none.
    CTempDir empty(L"savenofile");
    ASSERT_TRUE(CreateDirectoryW(empty.File(L"TunerHost.ini").c_str(), nullptr));  // in the way
    EXPECT_FALSE(OnePlugin(empty.File(L"TunerHost.ini"), 2).SaveConfig());
    EXPECT_EQ(FilesIn(empty), 0);
}
