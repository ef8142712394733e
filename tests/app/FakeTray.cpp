#include "app/FakeTray.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr wchar_t kTrayClass[] = L"Shell_TrayWnd";

// Wine's own record of a call (shell32's notify_data): fixed fields, then
// the icon's mask and colour bits.
constexpr size_t kWindowAt = 0, kIdAt = 4, kFlagsAt = 8, kCallbackAt = 12, kTipAt = 16, kTipUnits = 128;
constexpr size_t kRecordSize = 960;

uint32_t U32(const uint8_t* p, size_t at)
{
    uint32_t v;
    std::memcpy(&v, p + at, 4);
    return v;
}

std::vector<uint8_t> BitsOf(HICON icon)
{
    std::vector<uint8_t> bits;
    ICONINFO info = {};
    if (!GetIconInfo(icon, &info)) return bits;
    BITMAP mask = {}, colour = {};
    GetObjectW(info.hbmMask, sizeof mask, &mask);
    const LONG maskBytes = (mask.bmPlanes * mask.bmWidth * mask.bmHeight * mask.bmBitsPixel + 15) / 16 * 2;
    LONG colourBytes = 0;
    if (info.hbmColor) {
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        colourBytes = (colour.bmPlanes * colour.bmWidth * colour.bmHeight * colour.bmBitsPixel + 15) / 16 * 2;
    }
    bits.resize(static_cast<size_t>(maskBytes + colourBytes));
    GetBitmapBits(info.hbmMask, maskBytes, bits.data());
    if (info.hbmColor) GetBitmapBits(info.hbmColor, colourBytes, bits.data() + maskBytes);
    DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    return bits;
}

}  // namespace

CFakeTray::CFakeTray()
{
    InitializeCriticalSection(&lock_);
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, &threadId_);
    if (thread_) WaitForSingleObject(ready_, 10000);
}

CFakeTray::~CFakeTray()
{
    if (thread_) {
        if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
    }
    if (ready_) CloseHandle(ready_);
    DeleteCriticalSection(&lock_);
}

void CFakeTray::RefuseAdds(int n)
{
    EnterCriticalSection(&lock_);
    refuseAdds_ = n;
    LeaveCriticalSection(&lock_);
}

std::vector<CTrayCall> CFakeTray::Calls()
{
    EnterCriticalSection(&lock_);
    std::vector<CTrayCall> copy = calls_;
    LeaveCriticalSection(&lock_);
    return copy;
}

DWORD WINAPI CFakeTray::ThreadMain(void* self)
{
    auto* tray = static_cast<CFakeTray*>(self);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kTrayClass;
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kTrayClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, wc.hInstance, nullptr);
    if (hwnd) SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(tray));
    // Only a tray that Wine's shell finds first is of use.
    tray->window_ = hwnd && FindWindowExW(nullptr, nullptr, kTrayClass, nullptr) == hwnd ? hwnd : nullptr;
    SetEvent(tray->ready_);
    if (!hwnd) return 0;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

LRESULT CALLBACK CFakeTray::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* tray = reinterpret_cast<CFakeTray*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_COPYDATA && tray) return tray->OnCopyData(*reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    if (message == WM_CLOSE) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CFakeTray::OnCopyData(const COPYDATASTRUCT& data)
{
    if (data.cbData < kRecordSize || !data.lpData) return FALSE;
    const auto* p = static_cast<const uint8_t*>(data.lpData);
    CTrayCall call;
    call.message = static_cast<DWORD>(data.dwData);
    call.window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<LONG>(U32(p, kWindowAt))));
    call.id = U32(p, kIdAt);
    call.flags = U32(p, kFlagsAt);
    call.callbackMessage = U32(p, kCallbackAt);
    const auto* tip = reinterpret_cast<const wchar_t*>(p + kTipAt);
    call.tip.assign(tip, wcsnlen(tip, kTipUnits));
    call.iconBits.assign(p + kRecordSize, p + data.cbData);
    EnterCriticalSection(&lock_);
    const std::pair<HWND, UINT> icon{call.window, call.id};
    auto at = std::find(held_.begin(), held_.end(), icon);
    const bool held = at != held_.end();
    bool refuse = false;
    if (call.message == NIM_ADD) {
        refuse = held || refuseAdds_ > 0;
        if (!held && refuseAdds_ > 0) --refuseAdds_;
        if (!refuse) held_.push_back(icon);
    } else if (call.message == NIM_MODIFY) {
        refuse = !held;
    } else if (call.message == NIM_DELETE) {
        refuse = !held;
        if (held) held_.erase(at);
    }
    calls_.push_back(call);
    LeaveCriticalSection(&lock_);
    return refuse ? FALSE : TRUE;
}

void CFakeTray::ForgetIcons()
{
    EnterCriticalSection(&lock_);
    held_.clear();
    LeaveCriticalSection(&lock_);
}

std::vector<uint8_t> CFakeTray::IconBits(const std::wstring& modulePath, int resourceId)
{
    HMODULE module = LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return {};
    std::vector<uint8_t> bits;
    if (HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(resourceId), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0))) {
        bits = BitsOf(icon);
        DestroyIcon(icon);
    }
    FreeLibrary(module);
    return bits;
}
