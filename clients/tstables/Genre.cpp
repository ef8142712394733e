#include "Genre.h"

namespace tstables {
namespace {

struct MainGenre {
    const char* ja;
    const char* en;
    const char* sub[16];  // by level 2; null: reserved
};

constexpr const char* kOther = "その他";

// ARIB STD-B10 part 2, annex H. 0xC and 0xD are reserved; 0xE carries
// extensions whose meaning is in the user nibbles, not a genre.
const MainGenre kGenres[16] = {
    {"ニュース／報道", "News",
     {"定時・総合", "天気", "特集・ドキュメント", "政治・国会", "経済・市況", "海外・国際", "解説", "討論・会談",
      "報道特番", "ローカル・地域", "交通", nullptr, nullptr, nullptr, nullptr, kOther}},
    {"スポーツ", "Sports",
     {"スポーツニュース", "野球", "サッカー", "ゴルフ", "その他の球技", "相撲・格闘技", "オリンピック・国際大会",
      "マラソン・陸上・水泳", "モータースポーツ", "マリン・ウィンタースポーツ", "競馬・公営競技", nullptr, nullptr,
      nullptr, nullptr, kOther}},
    {"情報／ワイドショー", "Talk",
     {"芸能・ワイドショー", "ファッション", "暮らし・住まい", "健康・医療", "ショッピング・通販", "グルメ・料理",
      "イベント", "番組紹介・お知らせ", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, kOther}},
    {"ドラマ", "Drama",
     {"国内ドラマ", "海外ドラマ", "時代劇", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, kOther}},
    {"音楽", "Music",
     {"国内ロック・ポップス", "海外ロック・ポップス", "クラシック・オペラ", "ジャズ・フュージョン", "歌謡曲・演歌",
      "ライブ・コンサート", "ランキング・リクエスト", "カラオケ・のど自慢", "民謡・邦楽", "童謡・キッズ",
      "民族音楽・ワールドミュージック", nullptr, nullptr, nullptr, nullptr, kOther}},
    {"バラエティ", "Variety",
     {"クイズ", "ゲーム", "トークバラエティ", "お笑い・コメディ", "音楽バラエティ", "旅バラエティ", "料理バラエティ",
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, kOther}},
    {"映画", "Movie",
     {"洋画", "邦画", "アニメ", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, kOther}},
    {"アニメ／特撮", "Animation",
     {"国内アニメ", "海外アニメ", "特撮", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, kOther}},
    {"ドキュメンタリー／教養", "Documentary",
     {"社会・時事", "歴史・紀行", "自然・動物・環境", "宇宙・科学・医学", "カルチャー・伝統文化", "文学・文芸",
      "スポーツ", "ドキュメンタリー全般", "インタビュー・討論", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      kOther}},
    {"劇場／公演", "Performing Arts",
     {"現代劇・新劇", "ミュージカル", "ダンス・バレエ", "落語・演芸", "歌舞伎・古典", nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, kOther}},
    {"趣味／教育", "Education",
     {"旅・釣り・アウトドア", "園芸・ペット・手芸", "音楽・美術・工芸", "囲碁・将棋", "麻雀・パチンコ",
      "車・オートバイ", "コンピュータ・ＴＶゲーム", "会話・語学", "幼児・小学生", "中学生・高校生", "大学生・受験",
      "生涯教育・資格", "教育問題", nullptr, nullptr, kOther}},
    {"福祉", "Social",
     {"高齢者", "障害者", "社会福祉", "ボランティア", "手話", "文字（字幕）", "音声解説", nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, kOther}},
    {nullptr, nullptr, {}},
    {nullptr, nullptr, {}},
    {nullptr, nullptr, {}},
    {kOther, nullptr,
     {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, kOther}},
};

}  // namespace

const char* MainGenreJa(uint8_t level1) { return kGenres[level1 & 0x0F].ja; }
const char* MainGenreEn(uint8_t level1) { return kGenres[level1 & 0x0F].en; }
const char* SubGenreJa(uint8_t level1, uint8_t level2) { return kGenres[level1 & 0x0F].sub[level2 & 0x0F]; }

std::vector<XmltvCategory> XmltvCategories(uint8_t nibbles)
{
    std::vector<XmltvCategory> out;
    const uint8_t level1 = nibbles >> 4, level2 = nibbles & 0x0F;
    if (const char* ja = MainGenreJa(level1)) out.push_back({"ja", ja});
    if (const char* en = MainGenreEn(level1)) out.push_back({"en", en});
    const char* sub = SubGenreJa(level1, level2);
    // "Other" under "other" says nothing more.
    if (sub && !(level1 == 0x0F && level2 == 0x0F)) out.push_back({"ja", sub});
    return out;
}

}  // namespace tstables
