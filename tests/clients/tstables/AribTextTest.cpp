// ARIB text: bytes encoded here by hand from JIS X 0208's code table (a kanji
// is its row and cell, each plus 0x20, in the default G0 set) and ARIB
// STD-B24's default sets (G1 alphanumerics by LS1, G2 hiragana in GR, G3
// katakana by SS3), checked against what libaribb24 decodes.
#include "AribText.h"
#include "SectionBuilder.h"

#include <gtest/gtest.h>

extern "C" {
#include <aribb24/aribb24.h>
#include <aribb24/decoder.h>
}

using namespace tstables;

namespace {

constexpr uint8_t LS0 = 0x0F, LS1 = 0x0E, SS3 = 0x1D;

// libaribb24 alone, without the width folding.
std::string Raw(const Bytes& b)
{
    arib_instance_t* instance = arib_instance_new(nullptr);
    arib_decoder_t* decoder = arib_get_decoder(instance);
    arib_initialize_decoder(decoder);
    std::string out(b.size() * 4 + 1, '\0');
    out.resize(arib_decode_buffer(decoder, b.data(), b.size(), out.data(), out.size() - 1));
    arib_instance_destroy(instance);
    return out;
}

}  // namespace

TEST(AribText, ServiceNamesReadAsUsersExpect)
{
    // ＮＨＫ総合１: N H K in G1, 総 (row 33 cell 77) 合 (row 25 cell 71), 1 in G1.
    const Bytes nhk = {LS1, 0x4E, 0x48, 0x4B, LS0, 0x41, 0x6D, 0x39, 0x67, LS1, 0x31};
    EXPECT_EQ(Raw(nhk), "ＮＨＫ総合１");
    EXPECT_EQ(DecodeAribText(nhk), "NHK総合1");
    // 東京　放送 with the ideographic space (row 1 cell 1), and a space in G1.
    const Bytes tokyo = {0x45, 0x6C, 0x35, 0x7E, 0x21, 0x21, 0x4A, 0x7C, 0x41, 0x77, LS1, 0x20, 0x61, 0x62};
    EXPECT_EQ(Raw(tokyo), "東京　放送　ａｂ");
    EXPECT_EQ(DecodeAribText(tokyo), "東京 放送 ab");
}

TEST(AribText, KanaFromEachSetAndPunctuationUnchanged)
{
    // にほん in GR (hiragana: cell + 0xA0), テレビ as kanji-set katakana
    // (row 5), ニ by SS3 into G3, then 映画 and a full-width ！ (row 1 cell 10).
    const Bytes b = {0xCB, 0xDB, 0xF3, 0x25, 0x46, 0x25, 0x6C, 0x25, 0x53, SS3, 0x4B, 0x31, 0x47, 0x32, 0x68, 0x21, 0x2A};
    EXPECT_EQ(Raw(b), "にほんテレビニ映画！");
    EXPECT_EQ(DecodeAribText(b), "にほんテレビニ映画！");
}

TEST(AribText, BrokenTextNeitherCrashesNorLeaksIntoTheNext)
{
    EXPECT_EQ(DecodeAribText({}), "");
    // Half a kanji, a lone escape, a control sequence cut short.
    for (const Bytes& b : {Bytes{0x41}, Bytes{0x1B}, Bytes{0x9B, 0x20}, Bytes{0x1B, 0x24, 0x29}, Bytes{0xFF, 0xA0, 0x90}})
        DecodeAribText(b);
    // A string that ends in a shift or half a kanji does not change the next.
    DecodeAribText(Bytes{LS1});
    DecodeAribText(Bytes{0x41});
    EXPECT_EQ(DecodeAribText(Bytes{0x46, 0x7C, 0x4B, 0x5C}), "日本");
}

TEST(AribText, WidthFoldingTouchesOnlyLettersDigitsAndTheIdeographicSpace)
{
    EXPECT_EQ(FoldWidth("ＡＢＣ　０９ｘｚ"), "ABC 09xz");
    // Punctuation, half-width katakana, kanji and cut UTF-8 stay as they are.
    EXPECT_EQ(FoldWidth("！＃（）ｱｲｳ日本"), "！＃（）ｱｲｳ日本");
    EXPECT_EQ(FoldWidth("\xEF\xBC"), "\xEF\xBC");
    EXPECT_EQ(FoldWidth("\xEF\xBC\x21"), "\xEF\xBC\x21");
}

TEST(AribText, LongControlSequencesAreCutBeforeTheDecoderSeesThem)
{
    // 日 then CSI with 300 parameter bytes and a final byte (GSM): libaribb24
    // would write them past a 256-entry array on its stack. Then CSI with 12
    // digits, which it would add up past an int.
    Bytes overlong = {0x46, 0x7C, 0x9B};
    overlong.insert(overlong.end(), 300, 0x32);
    overlong.push_back(0x42);
    EXPECT_EQ(DecodeAribText(overlong), "日");
    Bytes wide = {0x4B, 0x5C, 0x9B};
    wide.insert(wide.end(), 12, 0x39);
    wide.push_back(0x42);
    wide.insert(wide.end(), {0x46, 0x7C});
    EXPECT_EQ(DecodeAribText(wide), "本");
    // A short one (set the display format: 7;1) is left to the decoder, which
    // skips it.
    EXPECT_EQ(DecodeAribText(Bytes{0x46, 0x7C, 0x9B, 0x37, 0x3B, 0x31, 0x20, 0x53, 0x4B, 0x5C}), "日本");
}
