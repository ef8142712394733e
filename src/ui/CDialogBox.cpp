#include "ui/CDialogBox.h"

int CDialogBox::OnCommand(int, int controlId, HWND)
{
    if (controlId == IDOK || controlId == IDCANCEL) {
        Hide();
        return 1;
    }
    return 0;
}

void CDialogBox::Destroy()
{
    if (window) {
        DestroyWindow(window);
        window = nullptr;
    }
}

void CDialogBox::Show()
{
    if (window && !visible) {
        ShowWindow(window, SW_SHOW);
        visible = 1;
    }
}

void CDialogBox::Hide()
{
    if (window && visible) {
        ShowWindow(window, SW_HIDE);
        visible = 0;
    }
}

INT_PTR CALLBACK CDialogBox::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* box = reinterpret_cast<CDialogBox*>(lParam);
        box->window = hwnd;
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        box->OnInitDialog();
        return 0;
    }
    CDialogBox* box = FromWindow(hwnd);
    if (!box) return 0;
    switch (message) {
    case WM_CLOSE:
        box->Hide();
        return 1;
    case WM_COMMAND:
        return box->OnCommand(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam));
    case WM_HSCROLL:
        box->OnHScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    }
    return 0;
}
