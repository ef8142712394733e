// The setup sheet: for each tuner kind, which plug-in serves it, which of its
// tuning spaces serves each band, and the fixed channel. It edits a copy of
// the catalogue; OK commits it, rebuilds the changed kinds and saves.
#pragma once
#include "config/CConfig.h"
#include "ui/CPSPage.h"
#include "ui/CPropSheet.h"

#include <functional>
#include <string>
#include <vector>

class CSetup;

// What distinguishes the two pages.
struct CPageKind {
    bool terrestrial;
    int bandCount;
    int bandControls[3];
    int32_t CDriverInfo::*bandFields[3];
};

// One page of the sheet; the two concrete pages differ only by their kind.
class CSetupPage : public CPSPage {
public:
    CSetupPage(int templateId, const CPageKind& kind) : CPSPage(templateId), kind_(kind) {}
    void Refresh() override;
    int OnCommand(int notifyCode, int controlId, HWND control) override;

protected:
    ~CSetupPage() = default;

private:
    CSetup& Setup() const { return *static_cast<CSetup*>(source ? source : sheet); }
    int32_t& DriverIndex() const;
    std::wstring& UnopenedName() const;
    void ShowUnopenedNotice();
    CDriverInfo* Entry() const;
    void SelectDriver();
    void FillSpaceCombos(const CDriverInfo& entry);
    void UpdateFixedControls();
    void FillChannelCombo();
    LRESULT Send(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return SendDlgItemMessageW(pageWindow, id, message, wParam, lParam);
    }
    void BeginFill(int id) const;
    void EndFill(int id) const;
    void Enable(int id, bool on) const { EnableWindow(GetDlgItem(pageWindow, id), on); }

    const CPageKind& kind_;
};

class CPSPBDT final : public CSetupPage {
public:
    CPSPBDT();
};

class CPSPBDS final : public CSetupPage {
public:
    CPSPBDS();
};

class CSetup final : public CPropSheet {
public:
    // What the sheet asks of its owner when OK changes a kind's plug-in: a
    // new tuner context for that driver, or none for null. Called on the
    // sheet's thread.
    using RebuildTunerFn = std::function<void(bool terrestrial, const CDriverInfo* driver)>;
    // The sheet edits copies of `config`'s settings and writes them back to
    // it at OK; both outlive the sheet. `firstRun`: TunerHost started without
    // a settings file, so that until the first OK a cancel ends it.
    BOOL Prepare(HINSTANCE hInstance, HWND ownerWindow, CConfig& config, bool firstRun, RebuildTunerFn rebuildTuner);
    void OnHidden() override;
    // A plug-in whose probe came back late, already adopted by the settings
    // record at `index`: offered on the pages too. Only while the sheet is
    // hidden (see RunWhileHidden).
    void AdoptLateDriver(const CConfig& config, size_t index);

    std::wstring iniPath;
    CPSPBDT pageT;
    int32_t DriverIndexT = -1;
    CPSPBDS pageS;
    int32_t DriverIndexS = -1;
    std::vector<CDriverInfo> drivers;
    // The configured plug-in of a kind that the catalogue does not hold (it
    // could not be opened at start-up): kept, and named on the page, until
    // the user chooses on that page.
    std::wstring unopenedNameT;
    std::wstring unopenedNameS;
    // Decided once, at start-up: whether the file exists later says nothing
    // (it may have been removed, or never have been writable).
    bool firstRun = false;

private:
    void RebuildTuner(bool terrestrial);
    void RestoreUnopenedNames(const CConfig& config);
    std::wstring ChosenName(int32_t index, const std::wstring& unopenedName) const;
    CConfig* config_ = nullptr;
    RebuildTunerFn rebuildTuner_;
};

// Control ids of the pages.
enum : int {
    IDC_DRIVER = 130,
    IDC_SPACE_UHF = 131,
    IDC_SPACE_CATV = 132,
    IDC_SPACE_VHF = 133,
    IDC_SPACE_BS = 134,
    IDC_SPACE_CS = 135,
    IDC_FIX_CHANNEL = 136,
    IDC_FIXED_SPACE = 137,
    IDC_FIXED_CHANNEL = 138,
    IDC_UNOPENED_NOTICE = 139,
};
constexpr int IDD_PAGE_TERRESTRIAL = 100;
constexpr int IDD_PAGE_SATELLITE = 101;
constexpr wchar_t kNoneItem[] = L"無効";
