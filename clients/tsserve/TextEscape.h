// Text put into JSON, HTML and M3U documents.
#pragma once
#include <string>

// A JSON string literal, quotes included.
std::string JsonString(const std::string& utf8);
std::string HtmlText(const std::string& utf8);
// A value inside an M3U attribute or title: no quotes, commas or line breaks.
std::string M3uText(const std::string& utf8);
