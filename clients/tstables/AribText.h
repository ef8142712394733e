// Text of ARIB SI (service and network names, event titles and descriptions),
// coded in ARIB STD-B24's 8-unit code, to UTF-8. libaribb24 decodes it; then
// full-width Latin letters and digits and the ideographic space become
// ordinary ones, as users expect names to read ("ＮＨＫ総合１" reads
// "NHK総合1"); nothing else is changed. Safe to call from any thread.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tstables {

std::string DecodeAribText(std::span<const uint8_t> text);
// The width folding alone, on UTF-8 text.
std::string FoldWidth(std::string_view utf8);

}  // namespace tstables
