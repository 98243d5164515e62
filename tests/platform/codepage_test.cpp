// Code-page conversion: a table of texts both ways, malformed input as U+FFFD (POSIX, where the
// code page is UTF-8), and the limits: srcLen, an embedded NUL, and whole-character truncation
// that never writes past the capacity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr char16_t kGuard16 = u'#';
constexpr char kGuard8 = '#';

// The code page every row below is written for; other code pages run only the ASCII rows.
#if defined(_WIN32)
const bool kAnsiIsUtf8 = GetACP() == CP_UTF8;
const bool kAnsiIsWestern = GetACP() == 1252;
#else
const bool kAnsiIsUtf8 = true;
const bool kAnsiIsWestern = false;
#endif

struct Row {
  const char* name;
  std::string ansi;
  std::u16string wide;
};

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
  std::vector<Row> rows = {{"ascii", "Camera K9 #1", u"Camera K9 #1"}, {"empty", "", u""}};
  if (kAnsiIsUtf8) {
    rows.push_back({"latin", "Caf\xc3\xa9", u"Caf\u00e9"});
    rows.push_back({"cjk", "\xe6\x97\xa5\xe6\x9c\xac", u"\u65e5\u672c"});
    rows.push_back({"emoji", "\xf0\x9f\x93\xb7", u"\xD83D\xDCF7"});
    rows.push_back({"max", "\xf4\x8f\xbf\xbf", u"\xDBFF\xDFFF"});
  } else if (kAnsiIsWestern) {
    rows.push_back({"latin", "Caf\xe9", u"Caf\u00e9"});
  }
  for (const Row& row : rows) {
    EXPECT_EQ(ToWide(row.ansi), row.wide) << row.name;
    EXPECT_EQ(ToAnsi(row.wide), row.ansi) << row.name;
  }
}

TEST(CodePage, MalformedInputBecomesReplacementCharacters) {
  if (!kAnsiIsUtf8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  const Row utf8Rows[] = {
      {"stray continuation", "a\x80z", u"a\uFFFDz"},
      {"invalid byte", "\xff", u"\uFFFD"},
      {"truncated at the end", "ok\xe6\x97", u"ok\uFFFD"},
      {"truncated before ASCII", "\xe6\x97z", u"\uFFFDz"},
      {"overlong slash", "\xc0\xaf", u"\uFFFD\uFFFD"},
      {"overlong three bytes", "\xe0\x80\xaf", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const Row& row : utf8Rows) EXPECT_EQ(ToWide(row.ansi), row.wide) << row.name;
  // Lone surrogates on the way back.
  EXPECT_EQ(ToAnsi(std::u16string(u"a") + char16_t{0xD83D} + u"b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(ToAnsi(std::u16string(1, char16_t{0xDCF7})), "\xef\xbf\xbd");
}

// Both directions on ASCII text: the count returned, the terminator, and nothing written at or
// beyond the capacity.
TEST(CodePage, StopsAtSrcLenOrNulAndTruncatesWithinCapacity) {
  struct Limit {
    const char* name;
    std::string text;
    size_t srcLen, capacity, count;
  } rows[] = {
      {"stops at srcLen", "abcdef", 3, 8, 3},
      {"stops at an embedded NUL", std::string("ab\0cd", 5), 5, 8, 2},
      {"truncated to capacity", "abcdef", 6, 3, 2},
      {"room for the terminator only", "abc", 3, 1, 0},
      {"zero capacity writes nothing", "abc", 3, 0, 0},
  };
  for (const Limit& row : rows) {
    const std::u16string wideSrc(row.text.begin(), row.text.end());
    std::u16string wide(8, kGuard16);
    std::string ansi(8, kGuard8);
    EXPECT_EQ(plat::AnsiToWide(row.text.data(), row.srcLen, wide.data(), row.capacity), row.count)
        << row.name;
    EXPECT_EQ(plat::WideToAnsi(wideSrc.data(), row.srcLen, ansi.data(), row.capacity), row.count)
        << row.name;
    const size_t written = row.capacity ? row.count + 1 : 0;
    const std::string expected = row.text.substr(0, row.count) + std::string(1, '\0');
    for (const std::string& out : {std::string(wide.begin(), wide.end()), ansi}) {
      EXPECT_EQ(out.substr(0, written), expected.substr(0, written)) << row.name;
      EXPECT_EQ(out.substr(row.capacity), std::string(8 - row.capacity, kGuard8)) << row.name;
    }
  }
}

TEST(CodePage, TruncationNeverSplitsACharacter) {
  if (kAnsiIsUtf8) {
    // "a" + camera emoji: the surrogate pair needs two units and the terminator a third.
    EXPECT_EQ(ToWide("a\xf0\x9f\x93\xb7", 3), u"a");
    EXPECT_EQ(ToWide("a\xf0\x9f\x93\xb7", 4), u"a\xD83D\xDCF7");
    // U+00E9 takes two bytes: with room for one it is left out entirely.
    EXPECT_EQ(ToAnsi(u"x\u00e9", 3), "x");
    EXPECT_EQ(ToAnsi(u"x\u00e9", 4), "x\xc3\xa9");
    EXPECT_EQ(ToAnsi(u"\xD83D\xDCF7", 4), "");
  } else if (kAnsiIsWestern) {
    EXPECT_EQ(ToAnsi(u"x\u00e9y", 3), "x\xe9");
    EXPECT_EQ(ToWide("x\xe9y", 3), u"x\u00e9");
  }
}

}  // namespace
