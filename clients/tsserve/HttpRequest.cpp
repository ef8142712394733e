#include "HttpRequest.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

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

// Dot-separated labels of letters, digits, '-' (not at either end) and '_',
// with an optional final dot; one whose last label is a number is an IPv4
// address, whole (URL readers take "1.2.3" or "999.1.1.1" for one and fail).
bool HostName(const std::string& name)
{
    if (name.empty() || name.size() > 254) return false;
    const std::string body = name.back() == '.' ? name.substr(0, name.size() - 1) : name;
    size_t at = 0;
    std::string last;
    while (at <= body.size()) {
        size_t dot = body.find('.', at);
        if (dot == std::string::npos) dot = body.size();
        last = body.substr(at, dot - at);
        if (last.empty() || last.size() > 63 || last.front() == '-' || last.back() == '-') return false;
        for (char c : last)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
        at = dot + 1;
    }
    bool numeric = true;
    for (char c : last) numeric = numeric && c >= '0' && c <= '9';
    in_addr v4;
    return !numeric || inet_pton(AF_INET, body.c_str(), &v4) == 1;
}

}  // namespace

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

bool RequestPath(const std::string& target, std::string& path)
{
    if (!target.empty() && target[0] == '/') {
        path = target;
        return true;
    }
    const size_t scheme = target.find("://");
    if (scheme == std::string::npos || !EqualNoCase(target.substr(0, scheme), "http")) return false;
    const size_t slash = target.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : target.substr(slash);
    return true;
}

bool ParseHostField(const std::string& value, std::string& host, std::string& port)
{
    size_t end = 0;  // where the host ends
    if (!value.empty() && value[0] == '[') {
        end = value.find(']');
        if (end == std::string::npos || end < 2 || end > 46) return false;
        in6_addr v6;
        if (inet_pton(AF_INET6, value.substr(1, end - 1).c_str(), &v6) != 1) return false;
        ++end;
    } else {
        end = std::min(value.find(':'), value.size());
        if (!HostName(value.substr(0, end))) return false;
    }
    const std::string rest = value.substr(end);
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
        unsigned long number = 0;
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] < '0' || rest[i] > '9') return false;
            number = number * 10 + static_cast<unsigned long>(rest[i] - '0');
        }
        if (number < 1 || number > 65535) return false;
    }
    host = value.substr(0, end);
    port = rest;
    return true;
}
