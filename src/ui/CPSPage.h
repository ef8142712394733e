// A page of a property sheet: routes the sheet's notifications.
#pragma once
#include "ui/CDialogBox.h"

#include <commctrl.h>

class CPropSheet;

class CPSPage : public CDialogBox {
public:
    explicit CPSPage(int pageTemplateId) { templateId = pageTemplateId; }

    void OnInitDialog() override;
    int OnNotify(int controlId, NMHDR* header) override;
    // Fills every control from `source`.
    virtual void Refresh() = 0;
    virtual bool OnApply();
    virtual bool OnQueryCancel();
    virtual bool OnKillActive() { return true; }
    virtual void OnSetActive();
    virtual void OnReset() {}

    static INT_PTR CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND pageWindow = nullptr;
    CPropSheet* sheet = nullptr;
    void* source = nullptr;

protected:
    ~CPSPage() = default;
};
