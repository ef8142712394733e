#include "Console.h"

#include "Text.h"

void Print(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(TextLength(text)), &written, nullptr);
}

CLine::~CLine()
{
    AppendText(text_, sizeof text_ - 1, "\n");
    Print(text_);
}

CLine& CLine::operator<<(const char* text)
{
    AppendText(text_, sizeof text_ - 1, text);
    return *this;
}

CLine& CLine::operator<<(const wchar_t* text)
{
    char narrow[128] = {};
    for (uint32_t n = 0; text[n] && n + 1 < sizeof narrow; ++n)
        narrow[n] = text[n] < 0x80 ? static_cast<char>(text[n]) : '?';
    return *this << narrow;
}

CLine& CLine::operator<<(uint32_t value)
{
    AppendDecimal(text_, sizeof text_ - 1, value);
    return *this;
}

void ReadArguments(CArguments& out)
{
    out.count = 0;
    const wchar_t* p = GetCommandLineW();
    bool first = true;
    for (;;) {
        while (*p == L' ' || *p == L'\t') ++p;
        if (!*p) return;
        wchar_t word[kArgumentLength] = {};
        uint32_t n = 0;
        bool quoted = false;
        for (; *p && (quoted || (*p != L' ' && *p != L'\t')); ++p) {
            if (*p == L'"') quoted = !quoted;
            else if (n + 1 < kArgumentLength) word[n++] = *p;
        }
        if (first) {
            first = false;  // the program's own name
            continue;
        }
        if (out.count == kMaxArguments) return;
        for (uint32_t i = 0; i <= n; ++i) out.text[out.count][i] = word[i];
        ++out.count;
    }
}

bool SameText(const wchar_t* a, const wchar_t* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

uint32_t ParseNumber(const wchar_t* text)
{
    uint32_t n = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) n = n * 10 + static_cast<uint32_t>(*text - L'0');
    return n;
}
