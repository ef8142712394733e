// The settings sheet of the real TunerHost, driven through window messages.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <prsht.h>

#include <string>

namespace {

const auto T = TunerKind::Terrestrial;

struct SheetSearch {
    DWORD pid;
    HWND skip;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<SheetSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[32] = {}, title[64] = {};
    GetClassNameW(hwnd, cls, 32);
    GetWindowTextW(hwnd, title, 64);
    if (pid == s->pid && hwnd != s->skip && std::wstring(cls) == L"#32770" && std::wstring(title) == L"TunerHost" &&
        IsWindowVisible(hwnd)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level dialog of the host titled "TunerHost", other than `skip`.
HWND WaitForDialog(const CHostRun& run, DWORD ms, HWND skip = nullptr)
{
    HWND found = nullptr;
    WaitUntil([&] {
        SheetSearch s{run.host.Pid(), skip, nullptr};
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&s));
        found = s.found;
        return found != nullptr;
    }, ms);
    return found;
}

HWND Page(HWND sheet, int index)
{
    // Wine creates a page when it is first selected.
    if (!SendMessageW(sheet, PSM_INDEXTOHWND, index, 0)) {
        const int current = static_cast<int>(SendMessageW(sheet, PSM_HWNDTOINDEX, SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0), 0));
        SendMessageW(sheet, PSM_SETCURSEL, index, 0);
        SendMessageW(sheet, PSM_SETCURSEL, current, 0);
    }
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_INDEXTOHWND, index, 0));
}

std::wstring ItemText(HWND page, int id, int item)
{
    wchar_t text[256] = {};
    SendDlgItemMessageW(page, id, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(text));
    return text;
}

int Count(HWND page, int id)
{
    return static_cast<int>(SendDlgItemMessageW(page, id, CB_GETCOUNT, 0, 0));
}

int Selection(HWND page, int id)
{
    return static_cast<int>(SendDlgItemMessageW(page, id, CB_GETCURSEL, 0, 0));
}

// Selects an item the way a user's choice arrives at the page.
void Choose(HWND page, int id, int item)
{
    HWND combo = GetDlgItem(page, id);
    SendMessageW(combo, CB_SETCURSEL, item, 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

int ItemNamed(HWND page, int id, const std::wstring& text)
{
    for (int i = 0; i < Count(page, id); ++i)
        if (ItemText(page, id, i) == text) return i;
    return -1;
}

void LeftClickTray(const CHostRun& run)
{
    PostMessageW(run.window, WM_USER, 0, WM_LBUTTONDOWN);
}

// A click that arrives while the sheet is still hiding is ignored, as it is
// for a user: click again until it shows.
bool ShowAgain(const CHostRun& run, HWND sheet)
{
    return WaitUntil([&] {
        LeftClickTray(run);
        return WaitUntil([&] { return IsWindowVisible(sheet) != 0; }, 1500);
    }, 12000);
}

bool WaitHidden(HWND sheet)
{
    return WaitUntil([&] { return !IsWindowVisible(sheet); }, 10000);
}

std::wstring Text(HWND page, int id)
{
    wchar_t text[512] = {};
    GetDlgItemTextW(page, id, text, 512);
    return text;
}

// Shown on its page, whether or not that page is the one in front.
bool Shown(HWND page, int id)
{
    HWND control = GetDlgItem(page, id);
    return control && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE);
}

bool Enabled(HWND page, int id)
{
    return IsWindowEnabled(GetDlgItem(page, id)) != 0;
}

std::string Ini(const CHostRun& run)
{
    return ReadTextFile(run.dir.File(L"TunerHost.ini"));
}

bool IniHas(const CHostRun& run, const std::string& line, DWORD ms = 5000)
{
    return WaitUntil([&] { return Ini(run).find(line) != std::string::npos; }, ms);
}

void PressOk(HWND sheet)
{
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
}

bool Streams(TunerKind kind)
{
    CStreamClient c;
    DWORD got = 0;
    return c.Connect(kind) == ClientError::None && c.Read(got, 5000) == ClientError::None && got == kDataMessageSize;
}

}  // namespace

TEST(SetupSheet, FirstRunCancelEndsTheProgramAndOkWritesTheFile)
{
    CHostRun run(L"firstrun");
    DeleteFileW(run.dir.File(L"TunerHost.ini").c_str());
    ASSERT_TRUE(run.Start());
    HWND sheet = WaitForDialog(run, 15000);
    ASSERT_TRUE(sheet) << "the sheet did not open at start-up";
    EXPECT_FALSE(Streams(T));  // no tuner before the settings exist
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    DWORD code = 99;
    ASSERT_TRUE(run.host.WaitExit(15000, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(GetFileAttributesW(run.dir.File(L"TunerHost.ini").c_str()), INVALID_FILE_ATTRIBUTES);

    CHostRun again(L"firstrunok");
    DeleteFileW(again.dir.File(L"TunerHost.ini").c_str());
    ASSERT_TRUE(again.Start());
    sheet = WaitForDialog(again, 15000);
    ASSERT_TRUE(sheet);
    // Pages are created when first selected.
    SendMessageW(sheet, PSM_SETCURSEL, 1, 0);
    SendMessageW(sheet, PSM_SETCURSEL, 0, 0);
    HWND pageT = Page(sheet, 0), pageS = Page(sheet, 1);
    ASSERT_TRUE(pageT && pageS) << pageT << " " << pageS;
    EXPECT_EQ(ItemText(pageT, 130, Count(pageT, 130) - 1), L"無効");
    EXPECT_EQ(Selection(pageT, 130), Count(pageT, 130) - 1);  // nothing chosen yet
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(pageT, 131)));
    Choose(pageT, 130, ItemNamed(pageT, 130, L"BonDriver_SimT.dll"));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(pageT, 131)));
    EXPECT_EQ(ItemText(pageT, 131, 0), L"UHF");
    EXPECT_EQ(ItemText(pageT, 131, Count(pageT, 131) - 1), L"無効");
    Choose(pageS, 130, ItemNamed(pageS, 130, L"BonDriver_SimS.dll"));
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    ASSERT_TRUE(WaitHidden(sheet));
    EXPECT_TRUE(WaitUntil([&] { return !ReadTextFile(again.dir.File(L"TunerHost.ini")).empty(); }, 5000));
    const std::string ini = ReadTextFile(again.dir.File(L"TunerHost.ini"));
    EXPECT_NE(ini.find("DriverNameT=BonDriver_SimT.dll"), std::string::npos) << ini;
    EXPECT_NE(ini.find("DriverNameS=BonDriver_SimS.dll"), std::string::npos) << ini;
    EXPECT_TRUE(Streams(T));
    EXPECT_TRUE(Streams(TunerKind::Satellite));
    EXPECT_TRUE(again.Exit(15000));
}

TEST(SetupSheet, OkRebuildsOnlyWhatChangedAndCancelKeepsEverything)
{
    CHostRun run(L"sheetok");
    run.SetHostIni("[BonDriver_SimT.dll_Config]\r\nTuningSpaceVHF=7\r\n");
    ASSERT_TRUE(run.Start());
    LeftClickTray(run);
    HWND sheet = WaitForDialog(run, 15000);
    ASSERT_TRUE(sheet);
    LeftClickTray(run);  // a second Show changes nothing
    Sleep(500);
    EXPECT_FALSE(WaitForDialog(run, 500, sheet));
    HWND pageT = Page(sheet, 0);
    EXPECT_EQ(ItemText(pageT, 130, Selection(pageT, 130)), L"BonDriver_SimT.dll");
    // A stored value beyond the plug-in's spaces shows as "無効".
    EXPECT_EQ(Selection(pageT, 133), Count(pageT, 133) - 1);

    // Only a band space changes: saved, nothing rebuilt (the client stays on).
    CStreamClient client;
    ASSERT_EQ(client.Connect(T), ClientError::None);
    Choose(pageT, 131, Count(pageT, 131) - 1);  // UHF: "無効"
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    ASSERT_TRUE(WaitHidden(sheet));
    EXPECT_TRUE(WaitUntil([&] {
        return ReadTextFile(run.dir.File(L"TunerHost.ini")).find("TuningSpaceUHF=3") != std::string::npos;
    }, 5000));
    DWORD got = 0;
    EXPECT_EQ(client.Read(got), ClientError::None);
    uint32_t reply = 0;
    EXPECT_EQ(client.client.Command(kCmdKeepAlive, &reply), ClientError::None);

    // Cancel, Esc and the close button: nothing saved, nothing rebuilt; the
    // next Show shows the saved state again.
    const std::string saved = ReadTextFile(run.dir.File(L"TunerHost.ini"));
    for (int way = 0; way < 3; ++way) {
        ASSERT_TRUE(ShowAgain(run, sheet)) << way;
        EXPECT_EQ(Selection(pageT, 131), Count(pageT, 131) - 1) << way;
        Choose(pageT, 130, Count(pageT, 130) - 1);  // plug-in: "無効"
        if (way == 0) PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        if (way == 1) PostMessageW(GetDlgItem(sheet, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
        if (way == 2) PostMessageW(sheet, WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(WaitHidden(sheet)) << way;
    }
    EXPECT_EQ(ReadTextFile(run.dir.File(L"TunerHost.ini")), saved);
    EXPECT_EQ(client.client.Command(kCmdKeepAlive, &reply), ClientError::None);

    // The plug-in changes while its kind streams: that client's connection
    // ends, the new plug-in serves the next one.
    ASSERT_TRUE(ShowAgain(run, sheet));
    EXPECT_EQ(ItemText(pageT, 130, Selection(pageT, 130)), L"BonDriver_SimT.dll");
    CStreamClient satellite;  // the other kind is not rebuilt: its client stays
    ASSERT_EQ(satellite.Connect(TunerKind::Satellite), ClientError::None);
    const int simS = ItemNamed(pageT, 130, L"BonDriver_SimS.dll");
    ASSERT_GE(simS, 0) << "BonDriver_SimS.dll is not offered";
    Choose(pageT, 130, simS);
    ASSERT_EQ(Selection(pageT, 130), simS);
    ASSERT_TRUE(IsWindowVisible(sheet)) << "the sheet was hidden before OK: its choice cannot take";
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    ASSERT_TRUE(WaitHidden(sheet));
    const ULONGLONG hidden = GetTickCount64();
    EXPECT_TRUE(WaitUntil([&] { return client.client.Command(kCmdKeepAlive, &reply, 2000) != ClientError::None; }, 15000))
        // How far the rebuild had come: a slow teardown, or none at all.
        << "after " << GetTickCount64() - hidden << " ms: " << run.Count(T, "close") << " closes of "
        << run.Count(T, "open") << " opens, " << run.Count(T, "unload") << " unloads; sheet "
        << (IsWindowVisible(sheet) ? "shown" : "hidden") << "; settings:\n"
        << ReadTextFile(run.dir.File(L"TunerHost.ini"));
    EXPECT_EQ(satellite.client.Command(kCmdKeepAlive, &reply), ClientError::None);
    EXPECT_EQ(satellite.Read(got), ClientError::None);
    const int opensS = run.Count(TunerKind::Satellite, "open");
    EXPECT_TRUE(WaitUntil([&] { return Streams(T); }, 10000));
    EXPECT_EQ(run.Count(TunerKind::Satellite, "open"), opensS + 1);  // served by the satellite plug-in now
    EXPECT_NE(ReadTextFile(run.dir.File(L"TunerHost.ini")).find("DriverNameT=BonDriver_SimS.dll"), std::string::npos);

    // Exit while the sheet is open.
    ASSERT_TRUE(ShowAgain(run, sheet));
    EXPECT_TRUE(run.Exit(15000));
}

TEST(SetupSheet, AFailedSaveIsToldAndLeavesTheFileAsItWas)
{
    CHostRun run(L"savefails");
    ASSERT_TRUE(run.Start());
    const std::wstring ini = run.dir.File(L"TunerHost.ini");
    const std::string before = Ini(run);
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    LeftClickTray(run);
    HWND sheet = WaitForDialog(run, 15000);
    ASSERT_TRUE(sheet);
    Choose(Page(sheet, 0), 131, 2);
    PressOk(sheet);
    HWND box = WaitForDialog(run, 10000, sheet);
    ASSERT_TRUE(box) << "no message box about the failed save";
    EXPECT_EQ(Ini(run), before);
    EXPECT_EQ(GetFileAttributesW(ini.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD(FILE_ATTRIBUTE_READONLY));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000));

    // Once the user has cleared the flag, the next OK saves: nothing was left
    // behind that blocks it.
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(ShowAgain(run, sheet));
    Choose(Page(sheet, 0), 132, 0);
    PressOk(sheet);
    ASSERT_TRUE(WaitHidden(sheet));
    EXPECT_TRUE(IniHas(run, "TuningSpaceCATV=0"));
    EXPECT_NE(Ini(run).find("TuningSpaceUHF=2"), std::string::npos);
    EXPECT_FALSE(WaitForDialog(run, 1000, sheet)) << "a message box although the save went through";
    EXPECT_EQ(GetFileAttributesW(run.dir.File(L"TunerHost.ini.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(SetupSheet, APluginNotOpenedAtStartUpKeepsItsNameUntilTheUserChoosesAnother)
{
    CHostRun run(L"unopened");
    run.SetSim(T, "OpenFails=1\r\n");  // the device is busy or absent at start-up
    ASSERT_TRUE(run.Start());
    LeftClickTray(run);
    HWND sheet = WaitForDialog(run, 15000);
    ASSERT_TRUE(sheet);
    HWND pageT = Page(sheet, 0), pageS = Page(sheet, 1);
    ASSERT_TRUE(pageT && pageS);
    EXPECT_EQ(Selection(pageT, 130), Count(pageT, 130) - 1);  // shown as "無効"
    // The page says why, so that "無効" is not taken for the user's choice.
    EXPECT_TRUE(Shown(pageT, 139));
    EXPECT_NE(Text(pageT, 139).find(L"BonDriver_SimT.dll"), std::wstring::npos) << Text(pageT, 139).size();
    EXPECT_FALSE(Shown(pageS, 139));

    // OK about the other kind keeps the terrestrial choice in the file.
    Choose(pageS, 134, 1);
    PressOk(sheet);
    ASSERT_TRUE(WaitHidden(sheet));
    ASSERT_TRUE(IniHas(run, "TuningSpaceBS=1"));
    EXPECT_NE(Ini(run).find("DriverNameT=BonDriver_SimT.dll\r\n"), std::string::npos) << Ini(run);

    // Choosing "無効" is the user's own choice: it is written.
    ASSERT_TRUE(ShowAgain(run, sheet));
    EXPECT_TRUE(Shown(pageT, 139));
    Choose(pageT, 130, Count(pageT, 130) - 1);
    EXPECT_FALSE(Shown(pageT, 139));
    PressOk(sheet);
    ASSERT_TRUE(WaitHidden(sheet));
    EXPECT_TRUE(IniHas(run, "DriverNameT=\r\n")) << Ini(run);
    EXPECT_NE(Ini(run).find("DriverNameS=BonDriver_SimS.dll\r\n"), std::string::npos);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(SetupSheet, FirstRunIsDecidedAtStartUpNotByTheFileAtEachHide)
{
    CHostRun run(L"filegone");
    ASSERT_TRUE(run.Start());
    CStreamClient satellite;
    ASSERT_EQ(satellite.Connect(TunerKind::Satellite), ClientError::None);
    // The file goes away while TunerHost runs (or could never be written).
    ASSERT_TRUE(DeleteFileW(run.dir.File(L"TunerHost.ini").c_str()));
    LeftClickTray(run);
    HWND sheet = WaitForDialog(run, 15000);
    ASSERT_TRUE(sheet);
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    ASSERT_TRUE(WaitHidden(sheet));
    DWORD code = 0;
    ASSERT_FALSE(run.host.WaitExit(5000, code)) << "Cancel ended TunerHost although it had started with its settings";

    // OK changes only a band: nothing is rebuilt, the file is written anew.
    ASSERT_TRUE(ShowAgain(run, sheet));
    Choose(Page(sheet, 0), 131, 1);
    PressOk(sheet);
    ASSERT_TRUE(WaitHidden(sheet));
    EXPECT_TRUE(IniHas(run, "TuningSpaceUHF=1"));
    uint32_t reply = 0;
    EXPECT_EQ(satellite.client.Command(kCmdKeepAlive, &reply), ClientError::None);
    DWORD got = 0;
    EXPECT_EQ(satellite.Read(got), ClientError::None);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(SetupSheet, EveryControlEditsItsSettingAndCancelRevertsThemAll)
{
    CHostRun run(L"pagecontrols");
    run.SetHostIni("[BonDriver_SimS.dll_Config]\r\nFixChannel=1\r\nFixedTuningSpace=1\r\nFixedChannel=3\r\n");
    ASSERT_TRUE(run.Start());
    LeftClickTray(run);
    HWND sheet = WaitForDialog(run, 15000);
    ASSERT_TRUE(sheet);
    HWND pageT = Page(sheet, 0), pageS = Page(sheet, 1);
    ASSERT_TRUE(pageT && pageS);

    // The satellite page: its band combos, and the fixed channel as stored.
    EXPECT_EQ(ItemText(pageS, 134, 0), L"BS");
    EXPECT_EQ(ItemText(pageS, 135, 1), L"CS110");
    EXPECT_EQ(ItemText(pageS, 134, Count(pageS, 134) - 1), L"無効");
    EXPECT_EQ(Selection(pageS, 134), 0);
    EXPECT_EQ(Selection(pageS, 135), 1);
    EXPECT_EQ(IsDlgButtonChecked(pageS, 136), UINT(BST_CHECKED));
    EXPECT_TRUE(Enabled(pageS, 137) && Enabled(pageS, 138));
    EXPECT_EQ(Selection(pageS, 137), 1);
    EXPECT_EQ(ItemText(pageS, 138, 0), L"ND02");  // the channels of CS110
    EXPECT_EQ(Selection(pageS, 138), 3);

    // The terrestrial page: the check box enables the fixed combos; another
    // fixed space refills the channels and keeps the stored position.
    EXPECT_EQ(IsDlgButtonChecked(pageT, 136), UINT(BST_UNCHECKED));
    EXPECT_FALSE(Enabled(pageT, 137) || Enabled(pageT, 138));
    CheckDlgButton(pageT, 136, BST_CHECKED);
    SendMessageW(pageT, WM_COMMAND, MAKEWPARAM(136, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(pageT, 136)));
    EXPECT_TRUE(Enabled(pageT, 137) && Enabled(pageT, 138));
    Choose(pageT, 137, 2);  // VHF
    EXPECT_EQ(Count(pageT, 138), 12);
    EXPECT_EQ(ItemText(pageT, 138, 0), L"1ch");
    Choose(pageT, 138, 5);
    Choose(pageT, 131, 2);
    Choose(pageT, 132, Count(pageT, 132) - 1);
    Choose(pageT, 133, 0);
    Choose(pageS, 134, 1);
    Choose(pageS, 135, Count(pageS, 135) - 1);
    CheckDlgButton(pageS, 136, BST_UNCHECKED);
    SendMessageW(pageS, WM_COMMAND, MAKEWPARAM(136, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(pageS, 136)));
    EXPECT_FALSE(Enabled(pageS, 137) || Enabled(pageS, 138));
    // "無効" as the satellite plug-in disables every other control of its page.
    Choose(pageS, 130, Count(pageS, 130) - 1);
    for (int id : {134, 135, 136, 137, 138}) EXPECT_FALSE(Enabled(pageS, id)) << id;

    // Cancel: nothing saved, and every control shows the saved settings again.
    const std::string saved = Ini(run);
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    ASSERT_TRUE(WaitHidden(sheet));
    ASSERT_TRUE(ShowAgain(run, sheet));
    EXPECT_EQ(Ini(run), saved);
    EXPECT_EQ(ItemText(pageT, 130, Selection(pageT, 130)), L"BonDriver_SimT.dll");
    EXPECT_EQ(Selection(pageT, 131), 0);
    EXPECT_EQ(Selection(pageT, 132), 1);
    EXPECT_EQ(Selection(pageT, 133), 2);
    EXPECT_EQ(IsDlgButtonChecked(pageT, 136), UINT(BST_UNCHECKED));
    EXPECT_FALSE(Enabled(pageT, 137) || Enabled(pageT, 138));
    EXPECT_EQ(Selection(pageT, 137), 0);
    EXPECT_EQ(ItemText(pageS, 130, Selection(pageS, 130)), L"BonDriver_SimS.dll");
    for (int id : {134, 135, 136, 137, 138}) EXPECT_TRUE(Enabled(pageS, id)) << id;
    EXPECT_EQ(Selection(pageS, 134), 0);
    EXPECT_EQ(Selection(pageS, 135), 1);
    EXPECT_EQ(IsDlgButtonChecked(pageS, 136), UINT(BST_CHECKED));
    EXPECT_EQ(Selection(pageS, 137), 1);
    EXPECT_EQ(Selection(pageS, 138), 3);
    EXPECT_TRUE(run.Exit(15000));
}
