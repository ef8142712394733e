#include "PluginFiles.h"

#include "Text.h"

void SettingsPathOf(HMODULE module, wchar_t (&path)[kPluginPathLength])
{
    path[0] = 0;
    const DWORD n = GetModuleFileNameW(module, path, kPluginPathLength);
    path[n < kPluginPathLength ? n : kPluginPathLength - 1] = 0;
    size_t dot = TextLength(path);
    while (dot > 0 && path[dot - 1] != L'.') --dot;
    if (dot > 0) path[dot - 1] = 0;
    AppendText(path, kPluginPathLength, L".ini");
}

void AppendLogLine(const wchar_t* logPath, const char* line)
{
    if (!logPath[0]) return;
    HANDLE f = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    char text[128] = {};
    AppendText(text, sizeof text - 1, line);
    const size_t n = TextLength(text);
    text[n] = '\n';
    DWORD written = 0;
    WriteFile(f, text, static_cast<DWORD>(n + 1), &written, nullptr);
    CloseHandle(f);
}

bool PluginFileExists(const wchar_t* path)
{
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    return true;
}
