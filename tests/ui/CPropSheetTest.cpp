// The property-sheet layer in this process, with two empty pages.
#include "relay/HostRun.h"
#include "ui/CPSPage.h"
#include "ui/CPropSheet.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int kReopen = 300;
constexpr int kMarker = 301;

class CEmptyPage : public CPSPage {
public:
    explicit CEmptyPage(int id) : CPSPage(id) {}
    void Refresh() override { InterlockedIncrement(&refreshes); }
    // With reopen set, a tray click that comes as soon as the sheet is
    // hidden: the page has the sheet shown again by a message it posts when
    // it hears of the cancel.
    bool OnQueryCancel() override
    {
        const bool ok = CPSPage::OnQueryCancel();
        if (reopen) PostMessageW(pageWindow, WM_COMMAND, kReopen, 0);
        return ok;
    }
    int OnCommand(int, int controlId, HWND) override
    {
        if (controlId == kReopen && reopen) {
            sheet->Show();
            reopen = 0;
        }
        if (controlId == kMarker) InterlockedIncrement(&markers);
        return 0;
    }
    volatile LONG refreshes = 0;
    volatile LONG reopen = 0;
    volatile LONG markers = 0;
};

class CCountingSheet : public CPropSheet {
public:
    CCountingSheet()
    {
        instance = GetModuleHandleW(nullptr);
        AddPage(one).AddPage(two);
    }
    // Also when a test stops half-way: the sheet thread must not outlive us.
    ~CCountingSheet() { Destroy(); }
    void OnHidden() override
    {
        // As the setup sheet's does, this one may take a while (rebuilding
        // a tuner) before it looks at the flag.
        if (InterlockedIncrement(&entered) == 1 && firstHiddenMs) Sleep(firstHiddenMs);
        lastApply = applyRequested;
        if (entered == 1) firstApply = applyRequested;
        InterlockedIncrement(&hidden);
    }
    bool WaitShown() { return WaitUntil([&] { return window && visible && IsWindowVisible(window); }, 10000); }
    // Hidden n times, and done with the last: a click before that is ignored.
    bool WaitHiddenCount(LONG n)
    {
        return WaitUntil([&] { return hidden == n && !Concluding(); }, 10000) && !visible;
    }
    HWND Current() const { return reinterpret_cast<HWND>(SendMessageW(window, PSM_GETCURRENTPAGEHWND, 0, 0)); }

    CEmptyPage one{200}, two{201};
    DWORD firstHiddenMs = 0;
    volatile LONG entered = 0;
    volatile LONG hidden = 0;
    volatile LONG lastApply = -1;
    volatile LONG firstApply = -1;
};

DWORD WINAPI DestroyThread(void* sheet)
{
    static_cast<CPropSheet*>(sheet)->Destroy();
    return 0;
}

// Destroy, bounded: false when it had not returned within ms (the sheet is
// then left to the process's end, since Destroy may still use it).
bool DestroyWithin(std::unique_ptr<CCountingSheet>& sheet, DWORD ms)
{
    CHandle done(CreateThread(nullptr, 0, DestroyThread, sheet.get(), 0, nullptr));
    if (!done) return false;
    if (WaitForSingleObject(done.Get(), ms) == WAIT_OBJECT_0) return true;
    sheet.release();
    return false;
}

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

TEST(PropSheet, ASheetShownAgainRightAfterACancelStaysShown)
{
    CCountingSheet sheet;
    sheet.Show();
    ASSERT_TRUE(sheet.WaitShown());
    // Cancel, Esc and the close box.
    const HWND closers[] = {sheet.window, GetDlgItem(sheet.window, IDOK), sheet.window};
    for (LONG way = 0; way < 3; ++way) {
        sheet.one.reopen = 1;
        if (way == 0) PostMessageW(closers[way], PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        if (way == 1) PostMessageW(closers[way], WM_KEYDOWN, VK_ESCAPE, 0);
        if (way == 2) PostMessageW(closers[way], WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(WaitUntil([&] { return !sheet.one.reopen; }, 10000)) << way;
        // Behind everything the closing posted.
        PostMessageW(sheet.one.pageWindow, WM_COMMAND, kMarker, 0);
        ASSERT_TRUE(WaitUntil([&] { return sheet.one.markers == way + 1; }, 10000)) << way;
        EXPECT_TRUE(sheet.visible && IsWindowVisible(sheet.window)) << way << ": shown again, then cancelled";
        EXPECT_EQ(sheet.hidden, way + 1) << way;
    }
}

TEST(PropSheet, DestroyEndsEveryStateWithoutWaitingForever)
{
    {
        auto never = std::make_unique<CCountingSheet>();  // never shown: only its fields are cleared
        ASSERT_TRUE(DestroyWithin(never, 5000));
        EXPECT_TRUE(never->pages.empty());
        EXPECT_EQ(never->instance, nullptr);
        never->Show();
        EXPECT_FALSE(never->thread);
    }
    {
        auto starting = std::make_unique<CCountingSheet>();  // Destroy right behind the first Show
        starting->Show();
        ASSERT_TRUE(DestroyWithin(starting, 10000));
        EXPECT_FALSE(starting->thread);
    }
    // The user confirms or cancels just as the program shuts down: the sheet
    // thread enters Hide while Destroy waits for it.
    for (int i = 0; i < 8; ++i) {
        auto sheet = std::make_unique<CCountingSheet>();
        sheet->Show();
        ASSERT_TRUE(sheet->WaitShown()) << i;
        PostMessageW(sheet->window, PSM_PRESSBUTTON, i % 2 ? PSBTN_CANCEL : PSBTN_OK, 0);
        if (i >= 4) Sleep(i - 4);
        ASSERT_TRUE(DestroyWithin(sheet, 10000)) << i;
        EXPECT_FALSE(sheet->thread);
        EXPECT_LE(sheet->hidden, 1) << i;  // applied before the stop, or dropped
    }
}

TEST(PropSheet, AConfirmationHidesOnceWithItsOwnFlagWhateverTheClicksMeanwhile)
{
    CCountingSheet sheet;
    sheet.firstHiddenMs = 1500;
    sheet.Show();
    ASSERT_TRUE(sheet.WaitShown());
    SendMessageW(sheet.window, PSM_SETCURSEL, 1, 0);  // both pages exist and get PSN_APPLY
    SendMessageW(sheet.window, PSM_SETCURSEL, 0, 0);
    ASSERT_TRUE(sheet.one.pageWindow && sheet.two.pageWindow);
    PostMessageW(sheet.window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    ASSERT_TRUE(WaitUntil([&] { return sheet.entered == 1; }, 10000));
    // Tray clicks while the first page's apply is still at work.
    for (int i = 0; i < 5; ++i) {
        sheet.Show();
        Sleep(100);
    }
    ASSERT_TRUE(WaitUntil([&] { return sheet.hidden >= 1; }, 10000));
    Sleep(1500);
    EXPECT_EQ(sheet.hidden, 1) << "one confirmation, one OnHidden";
    EXPECT_EQ(sheet.firstApply, 1) << "an OK became a Cancel";
    EXPECT_FALSE(sheet.visible);
    // Once it is done, a click shows the sheet again.
    sheet.Show();
    EXPECT_TRUE(sheet.WaitShown());
    sheet.Destroy();
}

TEST(PropSheet, AClickOnAVisibleSheetBringsItForward)
{
    CCountingSheet sheet;
    sheet.Show();
    ASSERT_TRUE(sheet.WaitShown());
    // Another window of the user's comes to the front, over the sheet.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(other);
    SetForegroundWindow(other);
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == other; }, 5000));
    sheet.Show();
    EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == sheet.window; }, 5000));
    EXPECT_EQ(sheet.applyRequested, 0);
    DestroyWindow(other);
    sheet.Destroy();
}

namespace {
// A sheet whose making fails in each way PropertySheetW can fail: -1, no
// window, a window gone before the call returned; then it works.
class CBrokenSheet : public CPropSheet {
public:
    CBrokenSheet()
    {
        instance = GetModuleHandleW(nullptr);
        AddPage(page);
    }
    ~CBrokenSheet() { Destroy(); }
    HWND MakeSheet(PROPSHEETHEADERW& header) override
    {
        switch (attempts++) {
        case 0: return reinterpret_cast<HWND>(-1);
        case 1: return nullptr;
        case 2: {
            HWND made = CPropSheet::MakeSheet(header);
            DestroyWindow(made);
            return made;
        }
        default: return CPropSheet::MakeSheet(header);
        }
    }
    bool ThreadEnded() { return thread && WaitForSingleObject(thread.Get(), 10000) == WAIT_OBJECT_0; }
    CEmptyPage page{200};
    int attempts = 0;
};
}  // namespace

TEST(PropSheet, ASheetWhoseMakingFailedNeverCountsAsShownAndTheNextClickTriesAgain)
{
    CBrokenSheet sheet;
    for (int i = 0; i < 3; ++i) {
        sheet.Show();
        ASSERT_TRUE(sheet.ThreadEnded()) << i;
        EXPECT_FALSE(sheet.visible) << i;
        EXPECT_EQ(sheet.window, nullptr) << i;
    }
    sheet.Show();
    EXPECT_TRUE(WaitUntil([&] { return sheet.window && sheet.visible && IsWindowVisible(sheet.window); }, 10000));
    EXPECT_EQ(sheet.attempts, 4);
    sheet.Destroy();
    EXPECT_FALSE(sheet.thread);
}
