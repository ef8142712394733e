#include "HttpRequest.h"

#include <cstring>

namespace {

bool IsTokenChar(unsigned char c)
{
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(const std::string& s)
{
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!IsTokenChar(c)) return false;
    return true;
}

bool EqualNoCase(const std::string& a, const char* b)
{
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x | 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y | 0x20);
        if (x != y) return false;
    }
    return true;
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Request target: "/path?query", or "http://host/path?query" (absolute form, as proxies send).
bool ParseTarget(const std::string& target, CHttpRequest& out)
{
    if (target.empty()) return false;
    for (unsigned char c : target)
        if (c <= 0x20 || c >= 0x7F) return false;
    std::string rest = target;
    if (rest[0] != '/') {
        const size_t scheme = rest.find("://");
        if (scheme == std::string::npos || !(EqualNoCase(rest.substr(0, scheme), "http"))) return false;
        const size_t slash = rest.find('/', scheme + 3);
        rest = slash == std::string::npos ? "/" : rest.substr(slash);
    }
    const size_t q = rest.find('?');
    if (!PercentDecode(rest.substr(0, q), out.path, false)) return false;
    if (q == std::string::npos) return true;
    const std::string query = rest.substr(q + 1);
    size_t at = 0;
    while (at <= query.size()) {
        size_t amp = query.find('&', at);
        if (amp == std::string::npos) amp = query.size();
        const std::string part = query.substr(at, amp - at);
        if (!part.empty()) {
            const size_t eq = part.find('=');
            std::string name, value;
            if (!PercentDecode(part.substr(0, eq), name, true)) return false;
            if (eq != std::string::npos && !PercentDecode(part.substr(eq + 1), value, true)) return false;
            out.query.emplace_back(name, value);
        }
        at = amp + 1;
    }
    return true;
}

}  // namespace

bool PercentDecode(const std::string& in, std::string& out, bool plusIsSpace)
{
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexDigit(in[i + 1]), lo = HexDigit(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            if (c == '\0') return false;
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        out += c;
    }
    return true;
}

std::string CHttpRequest::Field(const char* name) const
{
    std::string value;
    bool any = false;
    for (const auto& f : fields) {
        if (!EqualNoCase(f.first, name)) continue;
        value += (any ? ", " : "") + f.second;
        any = true;
    }
    return value;
}

size_t CHttpRequest::FieldCount(const char* name) const
{
    size_t n = 0;
    for (const auto& f : fields)
        if (EqualNoCase(f.first, name)) ++n;
    return n;
}

bool CHttpRequest::FieldHasToken(const char* name, const char* token) const
{
    const std::string value = Field(name);
    size_t at = 0;
    while (at <= value.size()) {
        size_t comma = value.find(',', at);
        if (comma == std::string::npos) comma = value.size();
        if (EqualNoCase(Trim(value.substr(at, comma - at)), token)) return true;
        at = comma + 1;
    }
    return false;
}

std::string CHttpRequest::Param(const char* name) const
{
    for (const auto& p : query)
        if (p.first == name) return p.second;
    return "";
}

bool CHttpRequest::HasParam(const char* name) const
{
    for (const auto& p : query)
        if (p.first == name) return true;
    return false;
}

int ParseRequestHead(const std::string& head, CHttpRequest& out)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < head.size()) {
        size_t lf = head.find('\n', at);
        if (lf == std::string::npos) lf = head.size();
        size_t end = lf;
        if (end > at && head[end - 1] == '\r') --end;
        lines.push_back(head.substr(at, end - at));
        at = lf + 1;
    }
    if (lines.empty()) return 400;

    // METHOD SP TARGET SP HTTP/1.x, single spaces.
    const std::string& line = lines[0];
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return 400;
    out.method = line.substr(0, sp1);
    out.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = line.substr(sp2 + 1);
    if (!IsToken(out.method)) return 400;
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9')
        return 400;
    if (version[5] != '1') return 505;
    out.minorVersion = version[7] - '0';
    if (!ParseTarget(out.target, out)) return 400;

    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& f = lines[i];
        // A folded line (obsolete) or a field without a name is refused, as is
        // whitespace between the name and its colon.
        if (f.empty() || f[0] == ' ' || f[0] == '\t') return 400;
        const size_t colon = f.find(':');
        if (colon == std::string::npos) return 400;
        std::string name = f.substr(0, colon);
        if (!IsToken(name)) return 400;
        const std::string value = Trim(f.substr(colon + 1));
        for (unsigned char c : value)
            if ((c < 0x20 && c != '\t') || c == 0x7F) return 400;
        out.fields.emplace_back(std::move(name), value);
    }
    return 0;
}

long long RequestBodyLength(const CHttpRequest& request)
{
    if (request.FieldCount("Transfer-Encoding") > 0) return -1;
    if (request.FieldCount("Content-Length") == 0) return 0;
    // "Content-Length: 5, 5" and two equal fields are one length.
    const std::string all = request.Field("Content-Length");
    long long length = -1;
    size_t at = 0;
    while (at <= all.size()) {
        size_t comma = all.find(',', at);
        if (comma == std::string::npos) comma = all.size();
        const std::string part = Trim(all.substr(at, comma - at));
        if (part.empty() || part.size() > 12) return -1;
        long long n = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return -1;
            n = n * 10 + (c - '0');
        }
        if (length >= 0 && n != length) return -1;
        length = n;
        at = comma + 1;
    }
    return length;
}
