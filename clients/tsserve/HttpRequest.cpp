#include "HttpRequest.h"

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
