// ARIB text as libaribb24 decodes it, and what the rig's UTF-8 becomes
// through it: libaribb24 gives letters, digits and spaces full-width.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

std::string AribDecode(const std::vector<uint8_t>& bytes);
std::string AribDecode(const uint8_t* bytes, size_t length);
// The rig's text with ASCII made full-width, as libaribb24 returns it.
std::string Widened(const std::string& utf8);
// The rig's text written and decoded again.
std::string RoundTrip(const char* utf8);
