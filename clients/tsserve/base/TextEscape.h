// Text put into HTML and M3U documents (JSON is written by nlohmann's JSON).
#pragma once
#include <string>

std::string HtmlText(const std::string& utf8);
// A value inside an M3U attribute or title: no quotes, commas or line breaks.
std::string M3uText(const std::string& utf8);
