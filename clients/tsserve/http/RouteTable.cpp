#include "RouteTable.h"

namespace {

// The next segment of a path or pattern from `at` (just after a '/').
std::string Segment(const std::string& s, size_t& at)
{
    const size_t end = std::min(s.find('/', at), s.size());
    std::string part = s.substr(at, end - at);
    at = end;
    return part;
}

}  // namespace

std::string CRouteParams::Get(const char* name) const
{
    for (const auto& v : values)
        if (v.first == name) return v.second;
    return "";
}

bool MethodAllowed(const std::string& methods, const std::string& method)
{
    return (", " + methods + ",").find(", " + method + ",") != std::string::npos;
}

bool MatchRoute(const std::string& pattern, const std::string& path, CRouteParams& params)
{
    params.values.clear();
    size_t p = 0, q = 0;
    while (p < pattern.size() && q < path.size()) {
        if (pattern[p] != '/' || path[q] != '/') return false;
        const std::string want = Segment(pattern, ++p);
        const std::string have = Segment(path, ++q);
        const size_t open = want.find('{');
        if (open == std::string::npos) {
            if (want != have) return false;
            continue;
        }
        // A literal head, then the parameter for the rest of the segment.
        if (have.size() <= open || have.compare(0, open, want, 0, open) != 0) return false;
        params.values.emplace_back(want.substr(open + 1, want.size() - open - 2), have.substr(open));
    }
    return p == pattern.size() && q == path.size();
}

const CRoute* CRouteTable::Find(const std::string& path, bool mainPort, CRouteParams& params) const
{
    for (const CRoute& route : routes_) {
        if (route.mainPortOnly && !mainPort) continue;
        if (MatchRoute(route.pattern, path, params)) return &route;
    }
    params.values.clear();
    return nullptr;
}
