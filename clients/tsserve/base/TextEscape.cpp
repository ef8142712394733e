#include "TextEscape.h"

std::string HtmlText(const std::string& utf8)
{
    std::string out;
    for (char c : utf8) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string M3uText(const std::string& utf8)
{
    std::string out;
    for (char c : utf8) out += (c == '"' || c == ',' || c == '\r' || c == '\n') ? ' ' : c;
    return out;
}
