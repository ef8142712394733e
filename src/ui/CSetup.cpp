#include "ui/CSetup.h"

namespace {

const CPageKind kTerrestrial = {
    true, 3, {IDC_SPACE_UHF, IDC_SPACE_CATV, IDC_SPACE_VHF},
    {&CDriverInfo::TuningSpaceUHF, &CDriverInfo::TuningSpaceCATV, &CDriverInfo::TuningSpaceVHF}};
const CPageKind kSatellite = {
    false, 2, {IDC_SPACE_BS, IDC_SPACE_CS, 0}, {&CDriverInfo::TuningSpaceBS, &CDriverInfo::TuningSpaceCS, nullptr}};

}  // namespace

CPSPBDT::CPSPBDT() : CSetupPage(IDD_PAGE_TERRESTRIAL, kTerrestrial) {}
CPSPBDS::CPSPBDS() : CSetupPage(IDD_PAGE_SATELLITE, kSatellite) {}

int32_t& CSetupPage::DriverIndex() const
{
    return kind_.terrestrial ? Setup().DriverIndexT : Setup().DriverIndexS;
}

std::wstring& CSetupPage::UnopenedName() const
{
    return kind_.terrestrial ? Setup().unopenedNameT : Setup().unopenedNameS;
}

void CSetupPage::ShowUnopenedNotice()
{
    const std::wstring& name = UnopenedName();
    HWND notice = GetDlgItem(pageWindow, IDC_UNOPENED_NOTICE);
    if (!name.empty()) {
        const std::wstring text = L"設定のドライバー " + name + L" を起動時に開けなかったため、「無効」と表示しています。";
        SetWindowTextW(notice, text.c_str());
    }
    ShowWindow(notice, name.empty() ? SW_HIDE : SW_SHOWNA);
}

CDriverInfo* CSetupPage::Entry() const
{
    const int32_t i = DriverIndex();
    auto& drivers = Setup().drivers;
    return i >= 0 && static_cast<size_t>(i) < drivers.size() ? &drivers[static_cast<size_t>(i)] : nullptr;
}

void CSetupPage::BeginFill(int id) const
{
    Send(id, WM_SETREDRAW, FALSE);
    Send(id, CB_RESETCONTENT);
}

void CSetupPage::EndFill(int id) const
{
    Send(id, WM_SETREDRAW, TRUE);
    InvalidateRect(GetDlgItem(pageWindow, id), nullptr, TRUE);
}

void CSetupPage::Refresh()
{
    const auto& drivers = Setup().drivers;
    BeginFill(IDC_DRIVER);
    for (const CDriverInfo& d : drivers) Send(IDC_DRIVER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(d.fileName.c_str()));
    Send(IDC_DRIVER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kNoneItem));
    EndFill(IDC_DRIVER);
    const int32_t index = DriverIndex();
    Send(IDC_DRIVER, CB_SETCURSEL, index >= 0 ? index : static_cast<WPARAM>(drivers.size()));
    SelectDriver();
}

void CSetupPage::SelectDriver()
{
    const CDriverInfo* entry = Entry();
    if (entry) {
        FillSpaceCombos(*entry);
        UpdateFixedControls();
    }
    for (int b = 0; b < kind_.bandCount; ++b) Enable(kind_.bandControls[b], entry != nullptr);
    Enable(IDC_FIX_CHANNEL, entry != nullptr);
    if (!entry) {
        Enable(IDC_FIXED_SPACE, false);
        Enable(IDC_FIXED_CHANNEL, false);
    }
    ShowUnopenedNotice();
}

void CSetupPage::FillSpaceCombos(const CDriverInfo& entry)
{
    const int32_t n = static_cast<int32_t>(entry.spaces.size());
    for (int b = 0; b < kind_.bandCount; ++b) BeginFill(kind_.bandControls[b]);
    BeginFill(IDC_FIXED_SPACE);
    for (const CSpaceInfo& space : entry.spaces) {
        const auto name = reinterpret_cast<LPARAM>(space.name.c_str());
        for (int b = 0; b < kind_.bandCount; ++b) Send(kind_.bandControls[b], CB_ADDSTRING, 0, name);
        Send(IDC_FIXED_SPACE, CB_ADDSTRING, 0, name);
    }
    for (int b = 0; b < kind_.bandCount; ++b)
        Send(kind_.bandControls[b], CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kNoneItem));
    auto position = [n](int32_t value) { return static_cast<WPARAM>(value >= 0 && value < n ? value : n); };
    for (int b = 0; b < kind_.bandCount; ++b) Send(kind_.bandControls[b], CB_SETCURSEL, position(entry.*kind_.bandFields[b]));
    Send(IDC_FIXED_SPACE, CB_SETCURSEL, position(entry.FixedTuningSpace));
    for (int b = 0; b < kind_.bandCount; ++b) EndFill(kind_.bandControls[b]);
    EndFill(IDC_FIXED_SPACE);
}

void CSetupPage::UpdateFixedControls()
{
    const CDriverInfo* entry = Entry();
    if (!entry) return;
    Enable(IDC_FIXED_SPACE, entry->FixChannel != 0);
    Enable(IDC_FIXED_CHANNEL, entry->FixChannel != 0);
    CheckDlgButton(pageWindow, IDC_FIX_CHANNEL, entry->FixChannel ? BST_CHECKED : BST_UNCHECKED);
    FillChannelCombo();
}

void CSetupPage::FillChannelCombo()
{
    const CDriverInfo* entry = Entry();
    if (!entry || entry->spaces.empty()) return;
    Send(IDC_FIXED_SPACE, CB_SETCURSEL, static_cast<WPARAM>(entry->FixedTuningSpace));
    BeginFill(IDC_FIXED_CHANNEL);
    const int32_t space = entry->FixedTuningSpace;
    if (space >= 0 && static_cast<size_t>(space) < entry->spaces.size())
        for (const std::wstring& channel : entry->spaces[static_cast<size_t>(space)].channels)
            Send(IDC_FIXED_CHANNEL, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(channel.c_str()));
    Send(IDC_FIXED_CHANNEL, CB_SETCURSEL, static_cast<WPARAM>(entry->FixedChannel));
    EndFill(IDC_FIXED_CHANNEL);
}

int CSetupPage::OnCommand(int notifyCode, int controlId, HWND)
{
    const bool isCombo = controlId != IDC_FIX_CHANNEL;
    if (isCombo ? notifyCode != CBN_SELCHANGE : notifyCode != BN_CLICKED) return 0;
    const LRESULT selection = isCombo ? Send(controlId, CB_GETCURSEL) : 0;
    if (selection == CB_ERR) return 0;
    const int32_t value = static_cast<int32_t>(selection);
    if (controlId == IDC_DRIVER) {
        DriverIndex() = static_cast<size_t>(value) < Setup().drivers.size() ? value : -1;
        UnopenedName().clear();  // the user has chosen, "無効" included
        SelectDriver();
        return 0;
    }
    CDriverInfo* entry = Entry();
    if (!entry) return 0;
    for (int b = 0; b < kind_.bandCount; ++b) {
        if (controlId == kind_.bandControls[b]) {
            entry->*kind_.bandFields[b] = value;  // "無効" stores the number of spaces
            return 0;
        }
    }
    switch (controlId) {
    case IDC_FIX_CHANNEL:
        entry->FixChannel = IsDlgButtonChecked(pageWindow, IDC_FIX_CHANNEL) == BST_CHECKED ? 1 : 0;
        UpdateFixedControls();
        break;
    case IDC_FIXED_SPACE:
        entry->FixedTuningSpace = value;
        FillChannelCombo();
        break;
    case IDC_FIXED_CHANNEL:
        entry->FixedChannel = value;
        break;
    }
    return 0;
}

BOOL CSetup::Prepare(HINSTANCE hInstance, HWND ownerWindow, CConfig& settings, bool isFirstRun,
                     RebuildTunerFn rebuildTuner)
{
    firstRun = isFirstRun;
    if (!thread) {
        instance = hInstance;
        owner = ownerWindow;
    }
    config_ = &settings;
    rebuildTuner_ = std::move(rebuildTuner);
    const CConfig& config = settings;
    iniPath = config.iniPath;
    drivers = config.drivers;
    DriverIndexT = config.DriverIndexT;
    AddPage(pageT);
    DriverIndexS = config.DriverIndexS;
    AddPage(pageS);
    RestoreUnopenedNames(config);
    return 1;
}

void CSetup::AdoptLateDriver(const CConfig& config, size_t index)
{
    if (index != drivers.size() || index >= config.drivers.size()) return;
    drivers.push_back(config.drivers[index]);
    // A kind whose configured plug-in this is, still unchosen here, gets it.
    if (DriverIndexT < 0 && config.DriverIndexT == static_cast<int32_t>(index)) DriverIndexT = config.DriverIndexT;
    if (DriverIndexS < 0 && config.DriverIndexS == static_cast<int32_t>(index)) DriverIndexS = config.DriverIndexS;
    RestoreUnopenedNames(config);
}

void CSetup::RestoreUnopenedNames(const CConfig& config)
{
    unopenedNameT = config.DriverIndexT < 0 ? config.DriverNameT : std::wstring();
    unopenedNameS = config.DriverIndexS < 0 ? config.DriverNameS : std::wstring();
}

std::wstring CSetup::ChosenName(int32_t index, const std::wstring& unopenedName) const
{
    if (index >= 0 && static_cast<size_t>(index) < drivers.size()) return drivers[static_cast<size_t>(index)].fileName;
    return unopenedName;
}

void CSetup::RebuildTuner(bool terrestrial)
{
    const int32_t index = terrestrial ? DriverIndexT : DriverIndexS;
    const bool valid = index >= 0 && static_cast<size_t>(index) < drivers.size();
    if (rebuildTuner_) rebuildTuner_(terrestrial, valid ? &drivers[static_cast<size_t>(index)] : nullptr);
}

void CSetup::OnHidden()
{
    CConfig& config = *config_;
    if (!applyRequested) {
        if (firstRun) {
            PostMessageW(owner, WM_CLOSE, 0, 0);
            return;
        }
        DriverIndexT = config.DriverIndexT;
        DriverIndexS = config.DriverIndexS;
        RestoreUnopenedNames(config);
        for (size_t i = 0; i < config.drivers.size() && i < drivers.size(); ++i)
            drivers[i].CopySettingsFrom(config.drivers[i]);
        return;
    }
    if (firstRun || DriverIndexT != config.DriverIndexT) RebuildTuner(true);
    if (firstRun || DriverIndexS != config.DriverIndexS) RebuildTuner(false);
    firstRun = false;  // the contexts exist now, whether or not the save succeeds
    for (size_t i = 0; i < config.drivers.size() && i < drivers.size(); ++i)
        config.drivers[i].CopySettingsFrom(drivers[i]);
    config.DriverIndexT = DriverIndexT;
    config.DriverIndexS = DriverIndexS;
    config.DriverNameT = ChosenName(DriverIndexT, unopenedNameT);
    config.DriverNameS = ChosenName(DriverIndexS, unopenedNameS);
    if (!config.SaveConfig()) {
        // Not shown by anything else: the user must know the settings were not kept.
        MessageBoxW(nullptr, L"設定を保存できませんでした。\n設定ファイルの場所に書き込めるか確かめてください。",
                    L"TunerHost", MB_OK | MB_ICONERROR | MB_TOPMOST | MB_SETFOREGROUND);
    }
}
