// An HTTP request as tsserve's handlers read it: the server (libmicrohttpd)
// has read and checked it, and decoded its path and query.
#pragma once
#include <string>
#include <utility>
#include <vector>

struct CHttpRequest {
    std::string method;  // case-sensitive, as sent: "GET"
    std::string path;    // percent-decoded, without the query: "/stream/t/27"
    std::vector<std::pair<std::string, std::string>> query;  // decoded
    int minorVersion = 1;                                     // HTTP/1.x
    std::vector<std::pair<std::string, std::string>> fields;  // header fields, names as sent
    std::string body;

    // Set by the server.
    std::string remoteAddr, localAddr;  // "192.168.1.7", "::1"
    int remotePort = 0, localPort = 0;
    unsigned long long receivedMs = 0;  // when the request had been read

    // A field's value; several fields of one name joined by ", ". Empty when absent.
    std::string Field(const char* name) const;
    size_t FieldCount(const char* name) const;
    std::string Param(const char* name) const;
    bool HasParam(const char* name) const;
};

// The path of a request's target as the server decoded it: "/path", or the
// absolute form that proxies send ("http://host:port/path", whose path is
// taken). False for any other form.
bool RequestPath(const std::string& target, std::string& path);

// A Host field's value as a host a URL may name: a host name, an IPv4
// address or a bracketed IPv6 address, then an optional port (":8080").
// host gets "tuner.example" or "[::1]", port ":8080" or "". False for anything
// else ("[", "a b", "x:99999"): the URLs then name the address the request came to.
bool ParseHostField(const std::string& value, std::string& host, std::string& port);
