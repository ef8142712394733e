// A dialog window bound to an object: window messages become virtual calls.
#pragma once
#include <windows.h>

class CDialogBox {
public:
    CDialogBox() = default;
    CDialogBox(const CDialogBox&) = delete;
    CDialogBox& operator=(const CDialogBox&) = delete;

    virtual void OnInitDialog() {}
    // OK and Cancel hide the dialog.
    virtual int OnCommand(int notifyCode, int controlId, HWND control);
    virtual void OnHScroll(int code, int position, HWND scrollBar) {}
    virtual int OnNotify(int controlId, NMHDR* header) { return 0; }
    virtual void Destroy();
    virtual void Show();
    virtual void Hide();

    // The routine shared by every dialog of the program.
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance = nullptr;
    HWND owner = nullptr;
    HWND window = nullptr;
    volatile LONG visible = 0;
    int templateId = 0;

protected:
    ~CDialogBox() = default;  // a member of its owner, never deleted through this type
    static CDialogBox* FromWindow(HWND hwnd)
    {
        return reinterpret_cast<CDialogBox*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
};
