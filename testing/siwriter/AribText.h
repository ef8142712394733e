// Writes text as broadcasters do in SI: ARIB STD-B24's 8-unit code, from
// its initial state (G0 kanji, G1 alphanumerics, G2 hiragana, G3 katakana;
// G0 in GL, G2 in GR). Hiragana go out as single bytes through GR, katakana
// the same after switching GR to G3, ASCII letters, digits and signs as
// single bytes in middle size (half-width) after switching GL to G1, and
// everything else (also spaces: U+3000) as two-byte JIS X 0208
// codes through G0. Only the characters the test rig uses are known: full-
// width letters, digits and punctuation, kana, and a few kanji; any other
// comes out as a full-width question mark.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Encodes NUL-terminated UTF-8; the byte count written (at most capacity,
// never a character cut in two).
size_t AribEncode(const char* utf8, uint8_t* out, size_t capacity);
