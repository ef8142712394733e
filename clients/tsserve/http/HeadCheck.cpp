#include "HeadCheck.h"

#include <algorithm>
#include <cstring>

namespace {

bool Token(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c && std::strchr("!#$%&'*+-.^_`|~", c));
}

bool Lower(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
        if (c != b[i]) return false;
    }
    return true;
}

std::string Trimmed(const std::string& s)
{
    size_t from = 0, to = s.size();
    while (from < to && (s[from] == ' ' || s[from] == '\t')) ++from;
    while (to > from && (s[to - 1] == ' ' || s[to - 1] == '\t')) --to;
    return s.substr(from, to - from);
}

CHeadVerdict Refused(int status, const char* reason)
{
    CHeadVerdict v;
    v.status = status;
    v.reason = reason;
    return v;
}

// METHOD SP TARGET SP HTTP/D.D, single spaces, nothing else.
CHeadVerdict CheckRequestLine(const std::string& line, int& minor)
{
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == 0 || sp2 == std::string::npos || sp2 == sp1 + 1) return Refused(400, "malformed request line");
    for (size_t i = 0; i < sp1; ++i)
        if (!Token(static_cast<unsigned char>(line[i]))) return Refused(400, "malformed request line");
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    for (unsigned char c : target)
        if (c <= 0x20 || c == 0x7F) return Refused(400, "malformed request line");
    const std::string version = line.substr(sp2 + 1);
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || version[5] < '0' || version[5] > '9' ||
        version[6] != '.' || version[7] < '0' || version[7] > '9')
        return Refused(400, "malformed request line");
    if (version[5] != '1') return Refused(505, "HTTP version not supported");
    minor = version[7] - '0';
    // An escaped NUL would end the decoded path where the bytes after it
    // still stand in the request.
    for (size_t at = target.find('%'); at != std::string::npos; at = target.find('%', at + 1))
        if (target.compare(at, 3, "%00") == 0) return Refused(400, "malformed request: a NUL in the target");
    const size_t query = target.find('?');
    size_t parameters = query == std::string::npos ? 0 : 1;
    for (size_t i = query == std::string::npos ? target.size() : query; i < target.size(); ++i)
        if (target[i] == '&') ++parameters;
    if (parameters > CHeadLimits::kParameters) return Refused(414, "too many query parameters");
    return {};
}

}  // namespace

void CHeadReader::Reset()
{
    head_.clear();
    skipped_ = 0;
    lineEnded_ = false;
    done_ = false;
    verdict_ = {};
}

void CHeadReader::Refuse(int status, const char* reason)
{
    verdict_ = Refused(status, reason);
    done_ = true;
}

size_t CHeadReader::Feed(const char* data, size_t n)
{
    size_t i = 0;
    while (i < n && !done_) {
        const char c = data[i++];
        if (head_.empty() && (c == '\r' || c == '\n')) {
            if (++skipped_ > CHeadLimits::kHead) Refuse(400, "malformed request: empty lines only");
            continue;
        }
        if (c == '\0') {
            Refuse(400, "malformed request: a NUL in the head");
            break;
        }
        head_ += c;
        if (c == '\n') {
            lineEnded_ = true;
            const size_t len = head_.size();
            if ((len >= 2 && head_[len - 2] == '\n') || (len >= 3 && head_.compare(len - 3, 3, "\n\r\n") == 0)) {
                done_ = true;
                verdict_ = CheckHead(head_);
            }
        } else if (head_.size() > CHeadLimits::kHead) {
            if (lineEnded_) Refuse(431, "request header fields too large");
            else Refuse(414, "request line too long");
        }
    }
    return i;
}

CHeadVerdict CheckHead(const std::string& head)
{
    int minor = 1;
    size_t fields = 0, lengths = 0, codings = 0;
    std::string length, coding, canonical;
    size_t at = 0;
    bool first = true;
    while (at < head.size()) {
        size_t end = head.find('\n', at);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\r') != std::string::npos) return Refused(400, "malformed request: a CR inside a line");
        if (first) {
            first = false;
            CHeadVerdict v = CheckRequestLine(line, minor);
            if (v.status) return v;
            canonical = line + "\r\n";
            continue;
        }
        if (line.empty()) break;
        if (line[0] == ' ' || line[0] == '\t') return Refused(400, "malformed request: a folded header line");
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return Refused(400, "malformed header line");
        for (size_t i = 0; i < colon; ++i)
            if (!Token(static_cast<unsigned char>(line[i])))
                return Refused(400, line[i] == ' ' || line[i] == '\t' ? "malformed request: a space before a colon"
                                                                       : "malformed header line");
        const std::string name = line.substr(0, colon), value = Trimmed(line.substr(colon + 1));
        for (unsigned char c : value)
            if ((c < 0x20 && c != '\t') || c == 0x7F) return Refused(400, "malformed header line");
        if (++fields > CHeadLimits::kFields) return Refused(431, "too many header fields");
        canonical += name + ": " + value + "\r\n";
        if (Lower(name, "content-length")) {
            ++lengths;
            length = value;
        } else if (Lower(name, "transfer-encoding")) {
            ++codings;
            coding = value;
        }
    }
    CHeadVerdict v;
    v.canonical = canonical + "\r\n";
    if (codings) {
        // Only chunked is read, and a length beside it is one framing too many.
        if (codings > 1 || lengths || minor == 0 || !Lower(coding, "chunked"))
            return Refused(400, "malformed request: Transfer-Encoding");
        v.body = CHeadVerdict::Body::Chunked;
        return v;
    }
    if (lengths > 1) return Refused(400, "malformed request: more than one Content-Length");
    if (lengths) {
        if (length.empty()) return Refused(400, "malformed request: Content-Length");
        uint64_t n = 0;
        for (char c : length) {
            if (c < '0' || c > '9') return Refused(400, "malformed request: Content-Length");
            if (n <= CHeadLimits::kBody) n = n * 10 + static_cast<unsigned>(c - '0');
        }
        if (n > CHeadLimits::kBody) return Refused(413, "request too large");
        v.length = n;
        if (n) v.body = CHeadVerdict::Body::Length;
    }
    return v;
}

size_t CChunkReader::Feed(const char* data, size_t n)
{
    size_t i = 0;
    while (i < n && state_ != State::End && state_ != State::Bad) {
        if (state_ == State::Data) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(size_, n - i));
            i += take;
            size_ -= take;
            data_ += take;
            if (!size_) state_ = State::DataCr;
            continue;
        }
        const char c = data[i++];
        auto sizeLineEnded = [&] { state_ = size_ ? State::Data : State::Trailer; line_ = 0; };
        switch (state_) {
        case State::Size: {
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit >= 0) {
                if (++digits_ > 8) state_ = State::Bad;
                size_ = size_ * 16 + static_cast<unsigned>(digit);
            } else if (!digits_) state_ = State::Bad;
            else if (c == ';' || c == ' ' || c == '\t') state_ = State::Extension;
            else if (c == '\r') state_ = State::SizeEnd;
            else if (c == '\n') sizeLineEnded();
            else state_ = State::Bad;
            break;
        }
        case State::Extension:
            if (c == '\r') state_ = State::SizeEnd;
            else if (c == '\n') sizeLineEnded();
            else if (++line_ > 1024) state_ = State::Bad;
            break;
        case State::SizeEnd:
            if (c == '\n') sizeLineEnded();
            else state_ = State::Bad;
            break;
        case State::DataCr:
            state_ = c == '\r' ? State::DataLf : State::Bad;
            break;
        case State::DataLf:
            if (c != '\n') state_ = State::Bad;
            else {
                state_ = State::Size;
                digits_ = 0;
                size_ = 0;
            }
            break;
        case State::Trailer:
            if (c == '\n') {
                if (!line_) state_ = State::End;
                line_ = 0;
            } else if (c != '\r') {
                ++line_;
                if (++trailer_ > CHeadLimits::kHead) state_ = State::Bad;
            }
            break;
        default:
            break;
        }
    }
    return i;
}

std::string RefusalAnswer(int status, const std::string& reason, const std::string& fields)
{
    const char* phrase = status == 400   ? "Bad Request"
                         : status == 413 ? "Content Too Large"
                         : status == 414 ? "URI Too Long"
                         : status == 431 ? "Request Header Fields Too Large"
                         : status == 503 ? "Service Unavailable"
                         : status == 505 ? "HTTP Version Not Supported"
                                         : "Error";
    const std::string title = std::to_string(status) + " " + phrase;
    const std::string body = "<html><head><title>" + title + "</title></head><body>" + reason + "</body></html>\n";
    return "HTTP/1.1 " + title + "\r\n" + fields + "Content-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
