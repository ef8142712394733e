// Programme genres of ARIB's content descriptor (ARIB STD-B10 part 2,
// annex H: content_nibble_level_1 and _2) as XMLTV categories. The tables in
// Genre.cpp are the data: the main genre in Japanese with the English word
// media servers sort by ("News", "Sports", "Movie"...), and each sub-genre in
// Japanese.
//
//   for (auto c : XmltvCategories(event.genres[0])) <category lang=c.lang>c.text</category>
#pragma once
#include <cstdint>
#include <vector>

namespace tstables {

struct XmltvCategory {
    const char* lang;  // "ja" or "en"
    const char* text;  // UTF-8
};

// The categories of one content descriptor entry (level 1 in the high
// nibble, level 2 in the low one), most general first: the main genre in
// Japanese and English, then the sub-genre in Japanese. None for codes ARIB
// reserves or uses for extensions (0xC, 0xD, 0xE).
std::vector<XmltvCategory> XmltvCategories(uint8_t nibbles);

// The names alone; null where the table has none.
const char* MainGenreJa(uint8_t level1);
const char* MainGenreEn(uint8_t level1);
const char* SubGenreJa(uint8_t level1, uint8_t level2);

}  // namespace tstables
