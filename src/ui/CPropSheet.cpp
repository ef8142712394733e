#include "ui/CPropSheet.h"

#include "ui/CPSPage.h"

#include <process.h>

#include <memory>

namespace {
const wchar_t kSheetProp[] = L"TunerHost.PropSheet";
}  // namespace

// Without its lock the sheet never starts (Show checks).
CPropSheet::CPropSheet() : lock_(CreateSemaphoreW(nullptr, 1, 1, nullptr)) {}

CPropSheet& CPropSheet::AddPage(CPSPage& page)
{
    PROPSHEETPAGEW p = {};
    p.dwSize = sizeof p;
    p.dwFlags = PSP_PREMATURE;
    p.hInstance = instance;
    p.pszTemplate = MAKEINTRESOURCEW(page.templateId);
    p.pfnDlgProc = CPSPage::PageProc;
    p.lParam = reinterpret_cast<LPARAM>(&page);
    pages.push_back(p);
    page.sheet = this;
    return *this;
}

bool CPropSheet::RunWhileHidden(const std::function<void()>& fn)
{
    if (lock_ && WaitForSingleObject(lock_.Get(), 0) != WAIT_OBJECT_0) return false;
    const bool idle = !visible && !hiding_;
    if (idle) fn();
    if (lock_) Unlock();
    return idle;
}

void CPropSheet::Show()
{
    if (!lock_) return;
    if (!window) {
        StartSheet();  // refused while a sheet thread is recorded
        return;
    }
    Lock();
    if (window && visible) {
        // Shown, but maybe behind other windows: the click asks for it.
        SetForegroundWindow(window);
    } else if (window && !hiding_) {
        applyRequested = 0;
        for (const PROPSHEETPAGEW& p : pages) reinterpret_cast<CPSPage*>(p.lParam)->Refresh();
        ShowWindow(window, SW_SHOW);
        SetForegroundWindow(window);
        if (currentPageId) SendMessageW(window, PSM_SETCURSELID, 0, currentPageId);
        visible = 1;
    }
    Unlock();
}

bool CPropSheet::StartSheet()
{
    // Refused while a sheet thread runs. One whose sheet could not be made
    // has ended: the next click tries again.
    auto running = [&] { return thread && WaitForSingleObject(thread.Get(), 0) != WAIT_OBJECT_0; };
    if (!instance || pages.empty() || running()) return false;
    Lock();
    if (stopping_ || window || running()) {
        Unlock();
        return false;
    }
    thread.Reset();
    applyRequested = 0;
    unsigned id = 0;
    const uintptr_t h = _beginthreadex(nullptr, 0, SheetThread, this, 0, &id);
    if (!h) {
        Unlock();
        return false;
    }
    thread.Reset(reinterpret_cast<HANDLE>(h));
    threadId = id;
    return true;  // the sheet thread releases the lock once its window exists
}

unsigned __stdcall CPropSheet::SheetThread(void* param)
{
    CPropSheet& s = *static_cast<CPropSheet*>(param);
    {
        std::vector<PROPSHEETPAGEW> records(s.pages);
        PROPSHEETHEADERW h = {};
        h.dwSize = sizeof h;
        h.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_MODELESS | PSH_NOCONTEXTHELP;
        h.hInstance = s.instance;
        h.pszCaption = L"TunerHost";
        h.nPages = static_cast<UINT>(records.size());
        h.ppsp = records.data();
        // Failure is 0 or -1, and a sheet that a page ended while it was
        // being made is no window either.
        HWND made = s.MakeSheet(h);
        s.window = made && IsWindow(made) ? made : nullptr;
    }
    if (!s.window) {
        s.Unlock();
        return 0;
    }
    // Before any input reaches the sheet.
    SetPropW(s.window, kSheetProp, &s);
    s.sheetProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(s.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CPropSheet::SheetProc)));
    s.visible = 1;
    s.Unlock();
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (!SendMessageW(s.window, PSM_ISDIALOGMESSAGE, 0, reinterpret_cast<LPARAM>(&msg))) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}

LRESULT CALLBACK CPropSheet::SheetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* s = static_cast<CPropSheet*>(GetPropW(hwnd, kSheetProp));
    const WNDPROC base = s ? s->sheetProc_ : nullptr;
    if (!base) return DefDlgProcW(hwnd, message, wParam, lParam);
    if (message == WM_CLOSE) {
        // The close box and Alt+F4 cancel as the Cancel button does, once.
        // The sheet's own handling cancels and then has the dialog post a
        // Cancel command, which a tray click in between would let cancel the
        // sheet's next showing: with the choices the user makes in it.
        return CallWindowProcW(base, hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                               reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDCANCEL)));
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
        RemovePropW(hwnd, kSheetProp);
    }
    return CallWindowProcW(base, hwnd, message, wParam, lParam);
}

void CPropSheet::LockPumping()
{
    const HANDLE lock = lock_.Get();
    while (MsgWaitForMultipleObjects(1, &lock, FALSE, INFINITE, QS_SENDMESSAGE) != WAIT_OBJECT_0) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void CPropSheet::Hide()
{
    HWND firstPage = pages.empty() ? nullptr : reinterpret_cast<CPSPage*>(pages.front().lParam)->pageWindow;
    Conclude(false, firstPage);
}

void CPropSheet::Conclude(bool apply, HWND pageWindow)
{
    LockPumping();
    // Only the first page to hear of a confirmation hides the sheet; the
    // others find it hidden. OnHidden waits for the message posted here,
    // which the sheet thread takes once every page has been told, so that
    // no later page's notice can hide a sheet shown again meanwhile.
    const bool hid = window && visible && !stopping_;
    if (hid) {
        ShowWindow(window, SW_HIDE);
        visible = 0;
        hiding_ = 1;
        concludedApply_ = apply ? 1 : 0;
    }
    Unlock();
    if (hid && !PostMessageW(pageWindow, WM_SHEET_HIDDEN, 0, 0)) RunHidden();
}

void CPropSheet::RunHidden()
{
    if (!hiding_) return;
    applyRequested = concludedApply_;
    // At shutdown the confirmation is dropped: nothing is applied or ended twice.
    if (!stopping_) OnHidden();
    LockPumping();
    hiding_ = 0;
    Unlock();
}

void CPropSheet::Destroy()
{
    if (!lock_) {
        instance = nullptr;
        owner = nullptr;
        pages.clear();
        return;
    }
    Lock();
    stopping_ = 1;
    instance = nullptr;
    owner = nullptr;
    pages.clear();
    const bool running = static_cast<bool>(thread);
    if (running) PostThreadMessageW(threadId, WM_QUIT, 0, 0);
    // Waiting without the lock: a sheet thread just entering Hide must get it.
    Unlock();
    if (running) {
        WaitForSingleObject(thread.Get(), INFINITE);
        Lock();
        thread.Reset();
        threadId = 0;
        window = nullptr;
        visible = 0;
        Unlock();
    }
}
