// A modeless property sheet on a thread of its own. Created at the first Show,
// afterwards only hidden and shown again; destroyed at shutdown.
#pragma once
#include "common/WinHandle.h"
#include "ui/CDialogBox.h"

#include <commctrl.h>
#include <prsht.h>

#include <vector>

class CPSPage;

class CPropSheet : public CDialogBox {
public:
    CPropSheet();
    void Destroy() override;
    void Show() override;
    // Called from the sheet thread by the pages.
    void Hide() override;
    // After every hide that hid the window; on the sheet thread.
    virtual void OnHidden() {}

    CPropSheet& AddPage(CPSPage& page);

    CHandle thread;
    DWORD threadId = 0;
    volatile LONG currentPageId = 0;
    volatile LONG applyRequested = 0;
    std::vector<PROPSHEETPAGEW> pages;

protected:
    ~CPropSheet() = default;

private:
    bool StartSheet();
    static unsigned __stdcall SheetThread(void* param);
    // The lock may be released by another thread than the one that took it
    // (the starting thread hands it to the sheet thread): a one-unit semaphore.
    void Lock() { WaitForSingleObject(lock_.Get(), INFINITE); }
    // On the sheet thread: waits while still handling messages sent to its
    // windows, so that a Show holding the lock and refreshing the pages
    // cannot deadlock with it.
    void LockPumping();
    void Unlock() { ReleaseSemaphore(lock_.Get(), 1, nullptr); }

    CHandle lock_;
    volatile LONG stopping_ = 0;
};
