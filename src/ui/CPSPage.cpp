#include "ui/CPSPage.h"

#include "ui/CPropSheet.h"

#include <prsht.h>

void CPSPage::OnInitDialog()
{
    source = sheet;
    Refresh();
}

bool CPSPage::OnApply()
{
    if (sheet) sheet->Conclude(true, pageWindow);
    return true;
}

bool CPSPage::OnQueryCancel()
{
    if (sheet) sheet->Conclude(false, pageWindow);
    return true;
}

void CPSPage::OnSetActive()
{
    if (sheet) sheet->currentPageId = templateId;
}

int CPSPage::OnNotify(int, NMHDR* header)
{
    LONG_PTR result = 0;
    switch (header->code) {
    case PSN_SETACTIVE:
        OnSetActive();
        break;
    case PSN_KILLACTIVE:
        result = OnKillActive() ? 0 : 1;
        break;
    case PSN_APPLY:
        result = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE;
        break;
    case PSN_RESET:
        OnReset();
        return 1;
    case PSN_QUERYCANCEL:
        result = OnQueryCancel() ? 0 : 1;
        break;
    default:
        return 0;
    }
    SetWindowLongPtrW(pageWindow, DWLP_MSGRESULT, result);
    return 1;
}

INT_PTR CALLBACK CPSPage::PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* page = reinterpret_cast<CPSPage*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
        page->pageWindow = hwnd;
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(static_cast<CDialogBox*>(page)));
        page->OnInitDialog();
        return 0;
    }
    if (message == WM_SHEET_HIDDEN) {
        auto* page = static_cast<CPSPage*>(FromWindow(hwnd));
        if (page && page->sheet) page->sheet->RunHidden();
        return TRUE;
    }
    if (message == WM_NOTIFY) {
        auto* page = static_cast<CPSPage*>(FromWindow(hwnd));
        return page ? page->OnNotify(static_cast<int>(wParam), reinterpret_cast<NMHDR*>(lParam)) : 0;
    }
    return DialogProc(hwnd, message, wParam, lParam);
}
