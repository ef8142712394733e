// The tray icon of the real TunerHost, seen from a stand-in notification area:
// the icon added, kept in step with the clients within the timer's period,
// brought back when the notification area returns, and removed at exit; the
// menu reached by a right click.
#include "app/FakeTray.h"
#include "app/TrayTip.h"
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr UINT kTrayMessage = WM_USER;
constexpr DWORD kWithinTimerMs = 3000 + 1500;  // the timer's period, and slack for a loaded machine

// The first call at or after `from` that satisfies `match`, waited for up to ms; -1 when none came.
int WaitForCall(CFakeTray& tray, size_t from, const std::function<bool(const CTrayCall&)>& match, DWORD ms)
{
    int found = -1;
    WaitUntil([&] {
        const std::vector<CTrayCall> calls = tray.Calls();
        for (size_t i = from; i < calls.size(); ++i)
            if (match(calls[i])) {
                found = static_cast<int>(i);
                return true;
            }
        return false;
    }, ms);
    return found;
}

struct CIcons {
    std::vector<uint8_t> idle = CFakeTray::IconBits(BinDir() + L"\\TunerHost.exe", 120);
    std::vector<uint8_t> busy = CFakeTray::IconBits(BinDir() + L"\\TunerHost.exe", 121);
};

}  // namespace

TEST(Tray, TheIconFollowsAClientsOpenAndCloseAndGoesAtExit)
{
    CFakeTray tray;
    ASSERT_TRUE(tray.Ready());
    const CIcons icons;
    ASSERT_FALSE(icons.idle.empty());
    ASSERT_NE(icons.idle, icons.busy);
    CHostRun run(L"trayicon");
    ASSERT_TRUE(run.Start());

    const int add = WaitForCall(tray, 0, [](const CTrayCall& c) { return c.message == NIM_ADD; }, 5000);
    ASSERT_GE(add, 0) << "no NIM_ADD";
    const CTrayCall first = tray.Calls()[add];
    EXPECT_EQ(first.window, run.window);
    EXPECT_EQ(first.id, 0u);
    EXPECT_EQ(first.flags & (NIF_MESSAGE | NIF_ICON | NIF_TIP), UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(first.callbackMessage, kTrayMessage);
    EXPECT_EQ(first.iconBits, icons.idle) << "not icon 120";
    EXPECT_EQ(first.tip.rfind(L"TunerHost", 0), 0u);

    // A client opens the terrestrial tuner and tunes 521 MHz (the plug-in's
    // "21ch"): icon 121 within the timer's period,
    // and the tip names the plug-in and says it is in use.
    size_t from = tray.Calls().size();
    CStreamClient client;
    ASSERT_EQ(client.Connect(TunerKind::Terrestrial), ClientError::None);
    uint32_t reply = 0;
    ASSERT_EQ(client.client.Command(kCmdSelectChannel, 521143, &reply, 5000), ClientError::None);
    const int busy = WaitForCall(tray, from, [&](const CTrayCall& c) {
        return c.message == NIM_MODIFY && c.iconBits == icons.busy;
    }, kWithinTimerMs);
    ASSERT_GE(busy, 0) << "icon 121 did not follow the client's open";
    const int tip = WaitForCall(tray, from, [](const CTrayCall& c) {
        return (c.flags & NIF_TIP) && c.tip.find(L"21ch") != std::wstring::npos;
    }, kWithinTimerMs + 1000);
    ASSERT_GE(tip, 0);
    const std::wstring text = tray.Calls()[tip].tip;
    EXPECT_NE(text.find(L"BonDriver_SimT.dll"), std::wstring::npos) << text.size();
    EXPECT_NE(text.find(L"BonDriver_SimS.dll"), std::wstring::npos);
    EXPECT_NE(text.find(L"使用中"), std::wstring::npos);
    EXPECT_NE(text.find(L"dB"), std::wstring::npos);
    EXPECT_LT(text.size(), 128u);

    // ...and back to 120 after it closes.
    from = tray.Calls().size();
    client = CStreamClient();
    EXPECT_GE(WaitForCall(tray, from, [&](const CTrayCall& c) {
        return c.message == NIM_MODIFY && c.iconBits == icons.idle;
    }, kWithinTimerMs), 0) << "icon 120 did not follow the client's close";

    from = tray.Calls().size();
    ASSERT_TRUE(run.Exit(15000));
    EXPECT_GE(WaitForCall(tray, from, [&](const CTrayCall& c) {
        return c.message == NIM_DELETE && c.window == run.window && c.id == 0;
    }, 1000), 0) << "the icon stayed after exit";
}

TEST(Tray, ARefusedIconIsAddedAgainAndTaskbarCreatedBringsItBack)
{
    CFakeTray tray;
    ASSERT_TRUE(tray.Ready());
    tray.RefuseAdds(1);  // the notification area is not up yet
    CHostRun run(L"trayback");
    ASSERT_TRUE(run.Start());
    const int refused = WaitForCall(tray, 0, [](const CTrayCall& c) { return c.message == NIM_ADD; }, 5000);
    ASSERT_GE(refused, 0);
    EXPECT_GE(WaitForCall(tray, refused + 1, [](const CTrayCall& c) { return c.message == NIM_ADD; }, kWithinTimerMs),
              0) << "a refused NIM_ADD was not tried again";

    // Explorer restarted: the new notification area announces itself.
    tray.ForgetIcons();
    const size_t from = tray.Calls().size();
    PostMessageW(run.window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_GE(WaitForCall(tray, from, [&](const CTrayCall& c) {
        return c.message == NIM_ADD && c.window == run.window;
    }, 2000), 0) << "TaskbarCreated did not add the icon again";
    EXPECT_TRUE(run.Exit(15000));
}

// TaskbarCreated comes also while the icon is still there (a change of display
// scaling): the add is refused for an icon the area holds, and the icon must
// still follow the clients.
TEST(Tray, AnAddRefusedForAnIconStillThereKeepsTheIconInStep)
{
    CFakeTray tray;
    ASSERT_TRUE(tray.Ready());
    CHostRun run(L"trayheld");
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    ASSERT_GE(WaitForCall(tray, 0, [](const CTrayCall& c) { return c.message == NIM_ADD; }, 5000), 0);
    const size_t from = tray.Calls().size();
    PostMessageW(run.window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    ASSERT_GE(WaitForCall(tray, from, [](const CTrayCall& c) { return c.message == NIM_ADD; }, 5000), 0);
    const CIcons icons;
    CStreamClient c;
    ASSERT_EQ(c.Connect(TunerKind::Terrestrial), ClientError::None);
    const size_t connected = tray.Calls().size();
    EXPECT_GE(WaitForCall(tray, connected, [&](const CTrayCall& call) {
        return call.message == NIM_MODIFY && call.iconBits == icons.busy;
    }, 2 * kWithinTimerMs), 0) << "the icon no longer follows the clients";
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Tray, ARightClickOpensTheMenuWhoseExitEndsTunerHost)
{
    CHostRun run(L"traymenu");
    ASSERT_TRUE(run.Start());
    PostMessageW(run.window, kTrayMessage, 0, WM_RBUTTONDOWN);
    HWND menu = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        HWND w = nullptr;
        while ((w = FindWindowExW(nullptr, w, L"#32768", nullptr))) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == run.host.Pid() && IsWindowVisible(w)) {
                menu = w;
                return true;
            }
        }
        return false;
    }, 5000)) << "no menu after a right click";
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    DWORD code = 99;
    ASSERT_TRUE(run.host.WaitExit(15000, code)) << "終了(&X) did not end TunerHost";
    EXPECT_EQ(code, 0u);
}

TEST(Tray, TheTipKeepsWithinItsLimitAndTellsOfBothKinds)
{
    CTunerStatus t{true, L"BonDriver_" + std::wstring(200, L'T') + L".dll", true, L"C13ch", 23.45f};
    CTunerStatus s{true, L"BonDriver_" + std::wstring(200, L'S') + L".dll", false, L"", 0.0f};
    const std::wstring tip = FormatTrayTip(t, s);
    EXPECT_LE(tip.size(), 127u);
    EXPECT_NE(tip.find(L"地上: BonDriver_TTT"), std::wstring::npos);
    EXPECT_NE(tip.find(L"使用中 C13ch 23.5 dB"), std::wstring::npos);
    EXPECT_NE(tip.find(L"衛星: BonDriver_SSS"), std::wstring::npos);
    EXPECT_NE(tip.find(L"待機中"), std::wstring::npos);
    EXPECT_EQ(FormatTrayTip(CTunerStatus{}, CTunerStatus{}), L"TunerHost\n地上: 無効\n衛星: 無効");
}
