// Code-page conversion: a table of texts both ways, malformed input as U+FFFD (POSIX, where the
// code page is UTF-8), and the limits: srcLen, an embedded NUL, and whole-character truncation
// that never writes past the capacity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr char16_t kGuard16 = u'#';
constexpr char kGuard8 = '#';

// The code page every row below is written for; other code pages run only the ASCII rows.
bool AnsiIsUtf8() {
#if defined(_WIN32)
  return GetACP() == CP_UTF8;
#else
  return true;
#endif
}

bool AnsiIsWestern() {
#if defined(_WIN32)
  return GetACP() == 1252;
#else
  return false;
#endif
}

struct Row {
  const char* name;
  std::string ansi;
  std::u16string wide;
};

std::vector<Row> RoundTripRows() {
  std::vector<Row> rows = {{"ascii", "Camera K9 #1", u"Camera K9 #1"}, {"empty", "", u""}};
  if (AnsiIsUtf8()) {
    rows.push_back({"latin", "Caf\xc3\xa9", u"Caf\u00e9"});
    rows.push_back({"cjk", "\xe6\x97\xa5\xe6\x9c\xac", u"\u65e5\u672c"});
    rows.push_back({"emoji", "\xf0\x9f\x93\xb7", u"\xD83D\xDCF7"});
    rows.push_back({"max", "\xf4\x8f\xbf\xbf", u"\xDBFF\xDFFF"});
  } else if (AnsiIsWestern()) {
    rows.push_back({"latin", "Caf\xe9", u"Caf\u00e9"});
  }
  return rows;
}

std::u16string ToWide(const std::string& ansi, size_t capacity = 64) {
  std::u16string out(capacity, kGuard16);
  size_t n = plat::AnsiToWide(ansi.data(), ansi.size(), out.data(), capacity);
  EXPECT_EQ(out[n], u'\0');
  return out.substr(0, n);
}

std::string ToAnsi(const std::u16string& wide, size_t capacity = 64) {
  std::string out(capacity, kGuard8);
  size_t n = plat::WideToAnsi(wide.data(), wide.size(), out.data(), capacity);
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

TEST(CodePage, TableConvertsBothWays) {
  for (const Row& row : RoundTripRows()) {
    EXPECT_EQ(ToWide(row.ansi), row.wide) << row.name;
    EXPECT_EQ(ToAnsi(row.wide), row.ansi) << row.name;
  }
}

TEST(CodePage, MalformedUtf8BecomesReplacementCharacters) {
  if (!AnsiIsUtf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  struct {
    const char* name;
    std::string ansi;
    std::u16string wide;
  } rows[] = {
      {"stray continuation", "a\x80z", u"a\uFFFDz"},
      {"invalid byte", "\xff", u"\uFFFD"},
      {"truncated at the end", "ok\xe6\x97", u"ok\uFFFD"},
      {"truncated before ASCII", "\xe6\x97z", u"\uFFFDz"},
      {"overlong slash", "\xc0\xaf", u"\uFFFD\uFFFD"},
      {"overlong three bytes", "\xe0\x80\xaf", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const auto& row : rows) EXPECT_EQ(ToWide(row.ansi), row.wide) << row.name;
}

TEST(CodePage, LoneSurrogatesBecomeReplacementCharacters) {
  if (!AnsiIsUtf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  EXPECT_EQ(ToAnsi(std::u16string(u"a") + char16_t{0xD83D} + u"b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(ToAnsi(std::u16string(1, char16_t{0xDCF7})), "\xef\xbf\xbd");
}

TEST(CodePage, StopsAtSrcLenAndAtAnEmbeddedNul) {
  char16_t wide[16];
  EXPECT_EQ(plat::AnsiToWide("abcdef", 3, wide, 16), 3u);
  EXPECT_EQ(std::u16string(wide), u"abc");
  EXPECT_EQ(plat::AnsiToWide("ab\0cd", 5, wide, 16), 2u);
  EXPECT_EQ(std::u16string(wide), u"ab");

  char ansi[16];
  EXPECT_EQ(plat::WideToAnsi(u"abcdef", 3, ansi, 16), 3u);
  EXPECT_STREQ(ansi, "abc");
  EXPECT_EQ(plat::WideToAnsi(u"ab\0cd", 5, ansi, 16), 2u);
  EXPECT_STREQ(ansi, "ab");
}

TEST(CodePage, TruncatesToCapacityWithoutWritingPastIt) {
  std::u16string wide(6, kGuard16);
  EXPECT_EQ(plat::AnsiToWide("abcdef", 6, wide.data(), 3), 2u);
  EXPECT_EQ(wide, std::u16string(u"ab\0###", 6));

  std::string ansi(6, kGuard8);
  EXPECT_EQ(plat::WideToAnsi(u"abcdef", 6, ansi.data(), 3), 2u);
  EXPECT_EQ(ansi, std::string("ab\0###", 6));

  EXPECT_EQ(plat::AnsiToWide("abc", 3, wide.data(), 1), 0u);
  EXPECT_EQ(wide[0], u'\0');
  EXPECT_EQ(plat::WideToAnsi(u"abc", 3, ansi.data(), 1), 0u);
  EXPECT_EQ(ansi[0], '\0');
}

TEST(CodePage, ZeroCapacityWritesNothing) {
  char16_t wide = kGuard16;
  char ansi = kGuard8;
  EXPECT_EQ(plat::AnsiToWide("abc", 3, &wide, 0), 0u);
  EXPECT_EQ(plat::WideToAnsi(u"abc", 3, &ansi, 0), 0u);
  EXPECT_EQ(wide, kGuard16);
  EXPECT_EQ(ansi, kGuard8);
}

TEST(CodePage, TruncationNeverSplitsACharacter) {
  if (AnsiIsUtf8()) {
    // "a" + camera emoji: the surrogate pair needs two units and the terminator a third.
    EXPECT_EQ(ToWide("a\xf0\x9f\x93\xb7", 3), u"a");
    EXPECT_EQ(ToWide("a\xf0\x9f\x93\xb7", 4), u"a\xD83D\xDCF7");
    // U+00E9 takes two bytes: with room for one it is left out entirely.
    EXPECT_EQ(ToAnsi(u"x\u00e9", 3), "x");
    EXPECT_EQ(ToAnsi(u"x\u00e9", 4), "x\xc3\xa9");
    EXPECT_EQ(ToAnsi(u"\xD83D\xDCF7", 4), "");
  } else if (AnsiIsWestern()) {
    EXPECT_EQ(ToAnsi(u"x\u00e9y", 3), "x\xe9");
    EXPECT_EQ(ToWide("x\xe9y", 3), u"x\u00e9");
  }
}

}  // namespace
