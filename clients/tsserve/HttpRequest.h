// An HTTP/1.x request as tsserve reads it: the request line and the header
// fields, held to the message grammar (a request that breaks it is refused
// with 400, never guessed at), with the path and the query decoded.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CHttpRequest {
    std::string method;  // case-sensitive, as sent: "GET"
    std::string target;  // as sent: "/stream/t/27?x=1"
    std::string path;    // percent-decoded: "/stream/t/27"
    std::vector<std::pair<std::string, std::string>> query;  // decoded
    int minorVersion = 1;                                     // HTTP/1.x
    std::vector<std::pair<std::string, std::string>> fields;  // header fields, names as sent
    std::string body;

    // Set by the connection.
    std::string remoteAddr, localAddr;  // "192.168.1.7", "::1"
    int remotePort = 0, localPort = 0;
    unsigned long long receivedMs = 0;  // when the request had been read

    // A field's value; several fields of one name joined by ", ". Empty when absent.
    std::string Field(const char* name) const;
    size_t FieldCount(const char* name) const;
    // Whether a comma-separated field (Connection, Expect) holds the token.
    bool FieldHasToken(const char* name, const char* token) const;
    std::string Param(const char* name) const;
    bool HasParam(const char* name) const;
};

// Parses a request's head: its request line and header fields, without the
// empty line that ends them, lines ended by CRLF or LF. 0 when it is sound;
// otherwise the status to refuse it with (400, or 505 for another major
// version). What it checks: a request line of three parts, the method a
// token, an origin-form or absolute-form target that decodes, each field a
// token name, a colon and a value without control characters, no folded lines.
int ParseRequestHead(const std::string& head, CHttpRequest& out);

// The body's length from Content-Length: 0 without one, -1 when the fields
// make the length unknown or contradictory (a Transfer-Encoding, a bad or
// repeated different Content-Length).
long long RequestBodyLength(const CHttpRequest& request);

// Percent-decoding of a path or query part; false on a broken escape or a
// NUL. plusIsSpace for query parts.
bool PercentDecode(const std::string& in, std::string& out, bool plusIsSpace);
