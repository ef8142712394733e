// The property-sheet layer in this process, with two empty pages.
#include "relay/HostRun.h"
#include "ui/CPSPage.h"
#include "ui/CPropSheet.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class CEmptyPage : public CPSPage {
public:
    explicit CEmptyPage(int id) : CPSPage(id) {}
    void Refresh() override { InterlockedIncrement(&refreshes); }
    volatile LONG refreshes = 0;
};

class CCountingSheet : public CPropSheet {
public:
    CCountingSheet()
    {
        instance = GetModuleHandleW(nullptr);
        AddPage(one).AddPage(two);
    }
    void OnHidden() override
    {
        lastApply = applyRequested;
        InterlockedIncrement(&hidden);
    }
    bool WaitShown() { return WaitUntil([&] { return window && visible && IsWindowVisible(window); }, 10000); }
    bool WaitHiddenCount(LONG n) { return WaitUntil([&] { return hidden == n; }, 10000) && !visible; }
    HWND Current() const { return reinterpret_cast<HWND>(SendMessageW(window, PSM_GETCURRENTPAGEHWND, 0, 0)); }

    CEmptyPage one{200}, two{201};
    volatile LONG hidden = 0;
    volatile LONG lastApply = -1;
};

}  // namespace

TEST(PropSheet, ConfirmationsHideOnceAndTheSheetComesBackAsItWas)
{
    CCountingSheet sheet;
    sheet.Show();
    ASSERT_TRUE(sheet.WaitShown());
    EXPECT_EQ(sheet.Current(), sheet.one.pageWindow);  // the first page added comes first
    sheet.applyRequested = 1;
    sheet.Show();  // visible: changes nothing, not even the flag
    EXPECT_EQ(sheet.applyRequested, 1);
    sheet.applyRequested = 0;
    SendMessageW(sheet.window, PSM_SETCURSEL, 1, 0);  // both pages exist and get PSN_APPLY
    ASSERT_TRUE(sheet.one.pageWindow && sheet.two.pageWindow);

    PostMessageW(sheet.window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    ASSERT_TRUE(sheet.WaitHiddenCount(1));
    EXPECT_EQ(sheet.lastApply, 1);
    Sleep(200);
    EXPECT_EQ(sheet.hidden, 1);

    // Cancel, Esc and the close button: each hides once, not confirmed; each
    // Show refreshes every page and returns to the page last active.
    const HWND closers[] = {sheet.window, GetDlgItem(sheet.window, IDOK), sheet.window};
    for (int way = 0; way < 3; ++way) {
        const LONG refreshes = sheet.one.refreshes;
        sheet.Show();
        ASSERT_TRUE(sheet.WaitShown()) << way;
        EXPECT_EQ(sheet.applyRequested, 0);
        EXPECT_EQ(sheet.one.refreshes, refreshes + 1);
        EXPECT_EQ(sheet.Current(), sheet.two.pageWindow) << way;
        if (way == 0) PostMessageW(closers[way], PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        if (way == 1) PostMessageW(closers[way], WM_KEYDOWN, VK_ESCAPE, 0);
        if (way == 2) PostMessageW(closers[way], WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(sheet.WaitHiddenCount(2 + way)) << way;
        EXPECT_EQ(sheet.lastApply, 0) << way;
    }

    sheet.Destroy();
    EXPECT_FALSE(sheet.thread);
    EXPECT_EQ(sheet.window, nullptr);
    sheet.Show();  // after Destroy: refused
    EXPECT_FALSE(sheet.thread);
    EXPECT_EQ(sheet.hidden, 4);
}

TEST(PropSheet, DestroyEndsEveryStateWithoutWaitingForever)
{
    {
        CCountingSheet never;  // never shown: only its fields are cleared
        never.Destroy();
        EXPECT_TRUE(never.pages.empty());
        EXPECT_EQ(never.instance, nullptr);
        never.Show();
        EXPECT_FALSE(never.thread);
    }
    {
        CCountingSheet starting;  // Destroy right behind the first Show
        starting.Show();
        starting.Destroy();
        EXPECT_FALSE(starting.thread);
    }
    // The user confirms or cancels just as the program shuts down: the sheet
    // thread enters Hide while Destroy waits for it.
    for (int i = 0; i < 8; ++i) {
        auto sheet = std::make_unique<CCountingSheet>();
        sheet->Show();
        ASSERT_TRUE(sheet->WaitShown()) << i;
        PostMessageW(sheet->window, PSM_PRESSBUTTON, i % 2 ? PSBTN_CANCEL : PSBTN_OK, 0);
        if (i >= 4) Sleep(i - 4);
        sheet->Destroy();
        EXPECT_FALSE(sheet->thread);
        EXPECT_LE(sheet->hidden, 1) << i;  // applied before the stop, or dropped
    }
}
