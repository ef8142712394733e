#include "AribText.h"

namespace {

// JIS X 0208 codes (row and cell, each plus 0x20) of the punctuation and
// kanji the rig writes, taken from the standard's code table.
struct JisCode {
    uint32_t codePoint;
    uint16_t jis;
};
constexpr JisCode kJisTable[] = {
    {0x3000, 0x2121},  // ideographic space
    {0x3001, 0x2122},  // 、
    {0x3002, 0x2123},  // 。
    {0x30FB, 0x2126},  // ・
    {0x30FC, 0x213C},  // ー
    {0xFF08, 0x214A},  // （
    {0xFF09, 0x214B},  // ）
    {0xFF1F, 0x2129},  // ？
    {0x8A66, 0x3B6E},  // 試
    {0x9A13, 0x3833},  // 験
    {0x653E, 0x4A7C},  // 放
    {0x9001, 0x4177},  // 送
    {0x7DB2, 0x4C56},  // 網
    {0x5C40, 0x3649},  // 局
    {0x6642, 0x3B7E},  // 時
    {0x5206, 0x4A2C},  // 分
    {0x9593, 0x3456},  // 間
    {0x6708, 0x376E},  // 月
    {0x706B, 0x3250},  // 火
    {0x6C34, 0x3F65},  // 水
    {0x6728, 0x4C5A},  // 木
    {0x91D1, 0x3662},  // 金
    {0x571F, 0x455A},  // 土
    {0x65E5, 0x467C},  // 日
    {0x51FA, 0x3D50},  // 出
    {0x6F14, 0x3169},  // 演
    {0x8005, 0x3C54},  // 者
    {0x592A, 0x4240},  // 太
    {0x90CE, 0x4F3A},  // 郎
    {0x82B1, 0x3256},  // 花
    {0x5B50, 0x3B52},  // 子
    {0x756A, 0x4856},  // 番
    {0x7D44, 0x4148},  // 組
    {0x5185, 0x4662},  // 内
    {0x5BB9, 0x4D46},  // 容
    {0x6620, 0x3147},  // 映
    {0x753B, 0x3268},  // 画
    {0x97F3, 0x323B},  // 音
    {0x697D, 0x335A},  // 楽
};
constexpr uint16_t kQuestionMark = 0x2129;

uint16_t JisOf(uint32_t c)
{
    if (c == 0x20) return 0x2121;  // a space as wide as the text around it
    if (c >= 0xFF10 && c <= 0xFF19) return static_cast<uint16_t>(0x2330 + (c - 0xFF10));  // ０-９
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<uint16_t>(0x2341 + (c - 0xFF21));  // Ａ-Ｚ
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<uint16_t>(0x2361 + (c - 0xFF41));  // ａ-ｚ
    for (const JisCode& j : kJisTable)
        if (j.codePoint == c) return j.jis;
    return kQuestionMark;
}

// The next code point of UTF-8 text; malformed bytes are taken one by one.
uint32_t NextCodePoint(const uint8_t*& s)
{
    const uint32_t b = *s++;
    int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    uint32_t c = more == 3 ? b & 0x07 : more == 2 ? b & 0x0F : more == 1 ? b & 0x1F : b;
    for (; more > 0 && (*s & 0xC0) == 0x80; --more) c = (c << 6) | (*s++ & 0x3F);
    return c;
}

// Control codes of the 8-unit code: locking shifts, and the middle and
// normal character sizes that make letters and digits half-width.
constexpr uint8_t kLs0 = 0x0F, kLs1 = 0x0E, kEsc = 0x1B, kLs2r = 0x7D, kLs3r = 0x7C, kMsz = 0x89, kNsz = 0x8A;

}  // namespace

size_t AribEncode(const char* utf8, uint8_t* out, size_t capacity)
{
    int gl = 0, gr = 2;   // which G set each half shows
    bool middle = false;  // the character size
    size_t n = 0;
    for (const uint8_t* s = reinterpret_cast<const uint8_t*>(utf8); *s;) {
        const uint32_t c = NextCodePoint(s);
        const bool ascii = c >= 0x21 && c <= 0x7E;
        const bool hiragana = c >= 0x3041 && c <= 0x3093;
        const bool katakana = c >= 0x30A1 && c <= 0x30F6;
        uint8_t bytes[6];
        size_t k = 0;
        if (ascii) {
            if (!middle) bytes[k++] = kMsz;
            if (gl != 1) bytes[k++] = kLs1;
            bytes[k++] = static_cast<uint8_t>(c);
        } else {
            if (middle) bytes[k++] = kNsz;
            if (hiragana || katakana) {
                if (gr != (hiragana ? 2 : 3)) bytes[k++] = kEsc, bytes[k++] = hiragana ? kLs2r : kLs3r;
                bytes[k++] = static_cast<uint8_t>(0xA1 + (c - (hiragana ? 0x3041 : 0x30A1)));
            } else {
                const uint16_t jis = JisOf(c);
                if (gl != 0) bytes[k++] = kLs0;
                bytes[k++] = static_cast<uint8_t>(jis >> 8);
                bytes[k++] = static_cast<uint8_t>(jis);
            }
        }
        if (n + k > capacity) break;
        for (size_t i = 0; i < k; ++i) out[n++] = bytes[i];
        // Only now that the character went out does the state change.
        middle = ascii;
        if (ascii) gl = 1;
        else if (hiragana) gr = 2;
        else if (katakana) gr = 3;
        else gl = 0;
    }
    return n;
}
