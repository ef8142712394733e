// A modeless property sheet on a thread of its own. Created at the first Show,
// afterwards only hidden and shown again; destroyed at shutdown.
#pragma once
#include "common/WinHandle.h"
#include "ui/CDialogBox.h"

#include <commctrl.h>
#include <prsht.h>

#include <functional>
#include <vector>

class CPSPage;

// Posted to a page window when the sheet was hidden: OnHidden runs once every
// page has had the confirmation.
constexpr UINT WM_SHEET_HIDDEN = WM_APP + 0x100;

class CPropSheet : public CDialogBox {
public:
    CPropSheet();
    void Destroy() override;
    // Shows the sheet, or brings it forward when it is shown already. A sheet
    // still busy with its last confirmation stays hidden.
    void Show() override;
    // As Cancel does.
    void Hide() override;
    // The user confirmed (OK) or cancelled the sheet; called by a page on the
    // sheet thread. The first call hides the sheet and has OnHidden run, with
    // applyRequested set to `apply`, after the sheet has told every page.
    void Conclude(bool apply, HWND pageWindow);
    // After every hide that hid the window; on the sheet thread.
    virtual void OnHidden() {}
    // WM_SHEET_HIDDEN arrived.
    void RunHidden();

    CPropSheet& AddPage(CPSPage& page);
    // Runs fn while the sheet is neither shown nor being confirmed, so that
    // what the pages edit may be changed; false, without running it, when
    // the sheet is in use (or starting): try again later. Never waits.
    bool RunWhileHidden(const std::function<void()>& fn);

    // Still at work on the last confirmation (OnHidden running or due).
    bool Concluding() const { return hiding_ != 0; }

    CHandle thread;
    DWORD threadId = 0;
    volatile LONG currentPageId = 0;
    volatile LONG applyRequested = 0;
    std::vector<PROPSHEETPAGEW> pages;

protected:
    ~CPropSheet() = default;
    // Makes the modeless sheet on the sheet thread: PropertySheetW's result.
    virtual HWND MakeSheet(PROPSHEETHEADERW& header)
    {
        return reinterpret_cast<HWND>(PropertySheetW(&header));
    }

private:
    bool StartSheet();
    static unsigned __stdcall SheetThread(void* param);
    // The sheet window's procedure in front of its own (sheetProc_): the
    // close box cancels once.
    static LRESULT CALLBACK SheetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    // The lock may be released by another thread than the one that took it
    // (the starting thread hands it to the sheet thread): a one-unit semaphore.
    void Lock() { WaitForSingleObject(lock_.Get(), INFINITE); }
    // On the sheet thread: waits while still handling messages sent to its
    // windows, so that a Show holding the lock and refreshing the pages
    // cannot deadlock with it.
    void LockPumping();
    void Unlock() { ReleaseSemaphore(lock_.Get(), 1, nullptr); }

    CHandle lock_;
    WNDPROC sheetProc_ = nullptr;
    volatile LONG stopping_ = 0;
    // Hidden by a confirmation whose OnHidden has not run yet, and its flag.
    volatile LONG hiding_ = 0;
    volatile LONG concludedApply_ = 0;
};
