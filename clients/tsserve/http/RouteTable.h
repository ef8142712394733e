// Which handler answers a request: one table of routes, each a set of
// methods, a pattern of the path and its handler, looked up in the order the
// routes were added. A pattern is the path's segments, each literal or
// holding a parameter that takes the rest of the segment, never empty and
// never a '/': "/stream/{kind}/{channel}", "/auto/v{number}". A route may
// also describe itself as an operation of the recorders' API, from which
// the API's own document is made (api/ApiDocs.h), so that the document and
// what is served cannot disagree.
#pragma once
#include "CHttpConnection.h"
#include "HttpRequest.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The values a path gave a pattern's parameters.
struct CRouteParams {
    std::vector<std::pair<std::string, std::string>> values;
    std::string Get(const char* name) const;
};

using RouteHandler = std::function<void(const CHttpRequest&, CHttpConnection&, const CRouteParams&)>;

// A parameter of an API operation as its document declares it.
struct CApiParam {
    std::string name;
    std::string in;    // "path", "query" or "header"
    std::string type;  // "integer", "string", "boolean"
    bool required = false;
    std::string description;
};

// What an API route says of itself; empty id: not an API operation.
struct CApiOperation {
    std::string id;  // the operationId clients find it by
    std::vector<std::string> tags;
    std::string summary;
    std::vector<CApiParam> query;  // the path's own parameters are declared from the pattern
    std::string response;          // the definition the answer's body is, e.g. "Service"; "[Service]" an array
    bool stream = false;           // a video/MP2T stream (tag "stream")
};

struct CRoute {
    std::string methods;  // "GET, HEAD"
    std::string pattern;
    RouteHandler handler;
    bool mainPortOnly = false;  // not on the network tuners' own ports
    CApiOperation api;
};

class CRouteTable {
public:
    void Add(CRoute route) { routes_.push_back(std::move(route)); }
    const std::vector<CRoute>& Routes() const { return routes_; }

    // The first route whose pattern the path matches, with its parameters;
    // null when none does. A route may not take the request's method: the
    // caller answers 405 with the route's methods.
    const CRoute* Find(const std::string& path, bool mainPort, CRouteParams& params) const;

private:
    std::vector<CRoute> routes_;
};

// Whether the method is one of a route's ("GET, HEAD").
bool MethodAllowed(const std::string& methods, const std::string& method);
// Whether the path fits the pattern; its parameters' values when it does.
bool MatchRoute(const std::string& pattern, const std::string& path, CRouteParams& params);
