#include "ApiDocs.h"

#include <nlohmann/json.hpp>

#include <cstring>

using nlohmann::json;

namespace {

constexpr const char* kBase = "/api";

json Param(const CApiParam& p)
{
    json j = {{"in", p.in}, {"name", p.name}, {"type", p.type}, {"required", p.required || p.in == "path"}};
    if (!p.description.empty()) j["description"] = p.description;
    return j;
}

// The pattern's parameters, typed as the operation declares them (integer otherwise).
json PathParams(const CRoute& route)
{
    json out = json::array();
    for (size_t open = route.pattern.find('{'); open != std::string::npos; open = route.pattern.find('{', open + 1)) {
        const size_t close = route.pattern.find('}', open);
        CApiParam p{route.pattern.substr(open + 1, close - open - 1), "path", "integer", true, ""};
        for (const CApiParam& declared : route.api.query)
            if (declared.in == "path" && declared.name == p.name) p = declared;
        out.push_back(Param(p));
    }
    return out;
}

json Schema(const std::string& response)
{
    if (response.empty()) return json::object();
    if (response.front() == '[')
        return {{"type", "array"}, {"items", {{"$ref", "#/definitions/" + response.substr(1, response.size() - 2)}}}};
    return {{"$ref", "#/definitions/" + response}};
}

json Definitions()
{
    json defs = {{"Error",
                  {{"type", "object"},
                   {"properties",
                    {{"code", {{"type", "integer"}}},
                     {"reason", {{"type", "string"}}},
                     {"errors", {{"type", "array"}, {"items", {{"type", "object"}}}}}}}}}};
    for (const char* name : {"Status", "Version", "TunerDevice", "Channel", "Service", "Program", "Event"})
        defs[name] = {{"type", "object"}};
    return defs;
}

}  // namespace

std::string ApiDocsJson(const CRouteTable& routes, const std::string& version)
{
    json paths = json::object();
    for (const CRoute& route : routes.Routes()) {
        const CApiOperation& op = route.api;
        if (op.id.empty() || route.pattern.compare(0, std::strlen(kBase), kBase) != 0) continue;
        json operation = {{"operationId", op.id}, {"tags", op.tags}, {"summary", op.summary}};
        json query = json::array();
        for (const CApiParam& p : op.query)
            if (p.in != "path") query.push_back(Param(p));
        operation["parameters"] = std::move(query);
        json ok = {{"description", op.summary}};
        if (op.stream) operation["produces"] = json::array({"video/MP2T"});
        else if (!op.response.empty()) ok["schema"] = Schema(op.response);
        operation["responses"] = {{"200", ok},
                                  {"default", {{"description", "an error"}, {"schema", Schema("Error")}}}};
        json& item = paths[route.pattern.substr(std::strlen(kBase))];
        item["parameters"] = PathParams(route);
        item["get"] = std::move(operation);
    }
    return json{{"swagger", "2.0"},
                {"info", {{"title", "tsserve"}, {"version", version}, {"description", "TunerHost's tuners for recorders"}}},
                {"basePath", kBase},
                {"consumes", json::array({"application/json"})},
                {"produces", json::array({"application/json"})},
                {"paths", std::move(paths)},
                {"definitions", Definitions()}}
        .dump();
}
