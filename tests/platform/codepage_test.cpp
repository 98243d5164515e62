// Code-page conversion: texts both ways, malformed input as U+FFFD (where the code page is
// UTF-8), and the limits: srcLen, an embedded NUL, and truncation that never splits a character
// nor writes past the capacity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"

#if defined(_WIN32)
#include <windows.h>
const bool kAnsiIsUtf8 = GetACP() == CP_UTF8;
#else
const bool kAnsiIsUtf8 = true;
#endif

namespace {

std::u16string ToWide(const std::string& ansi, size_t capacity = 64) {
  std::u16string out(capacity, u'#');
  const size_t n = plat::AnsiToWide(ansi.data(), ansi.size(), out.data(), capacity);
  EXPECT_EQ(out[n], u'\0');
  return out.substr(0, n);
}
std::string ToAnsi(const std::u16string& wide, size_t capacity = 64) {
  std::string out(capacity, '#');
  const size_t n = plat::WideToAnsi(wide.data(), wide.size(), out.data(), capacity);
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

TEST(CodePage, ConvertsBothWaysAndReplacesWhatIsMalformed) {
  if (!kAnsiIsUtf8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  // The first and last code points of each encoded length, both ways.
  const std::vector<std::pair<std::string, std::u16string>> kTexts = {
      {"\x7f\xc2\x80", u"\x7f\u0080"},
      {"\xdf\xbf\xe0\xa0\x80", u"\u07ff\u0800"},
      {"\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", u"\ud7ff\ue000\uffff"},
      {"\xf0\x90\x80\x80", u"\xD800\xDC00"},
      {"\xf4\x8f\xbf\xbf", u"\xDBFF\xDFFF"},
      {"Caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x93\xb7", u"Caf\u00e9 \u65e5\xD83D\xDCF7"}};
  for (const auto& [ansi, wide] : kTexts) {
    EXPECT_EQ(ToWide(ansi), wide);
    EXPECT_EQ(ToAnsi(wide), ansi);
  }
  // One U+FFFD per maximal ill-formed part: stray, invalid, truncated, overlong, surrogate,
  // beyond U+10FFFF; a lead byte ends the sequence before it.
  const std::vector<std::pair<std::string, std::u16string>> kMalformed = {
      {"a\x80z", u"a\uFFFDz"},
      {"\xff\xc1\xbf", u"\uFFFD\uFFFD\uFFFD"},
      {"ok\xe6\x97", u"ok\uFFFD"},
      {"\xe6\x97z\xf0\x9f\x93", u"\uFFFDz\uFFFD"},
      {"\xe6\x97\xc0\xe6\x97\xc2\x80", u"\uFFFD\uFFFD\uFFFD\u0080"},
      {"\xc0\xaf\xe0\x9f\xbf", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xed\xa0\x80\xf0\x8f\xbf\xbf", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xf4\x90\x80\x80\xf5\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"}};
  for (const auto& [ansi, wide] : kMalformed) EXPECT_EQ(ToWide(ansi), wide);
  // Lone surrogates on the way back, either kind, also next to each other in the wrong order.
  EXPECT_EQ(ToAnsi(u"a\xD83D"
                   u"b\xDCF7\xDFFF\xD800"),
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(CodePage, StopsAtSrcLenOrNulAndTruncatesWholeCharactersWithinCapacity) {
  const struct {
    std::string text;
    size_t srcLen, capacity, count;
  } kLimits[] = {{"", 0, 8, 0},       {"abcdef", 3, 8, 3}, {std::string("ab\0cd", 5), 5, 8, 2},
                 {"abcdef", 6, 3, 2}, {"abc", 3, 1, 0},    {"abc", 3, 0, 0}};
  for (const auto& row : kLimits) {
    const std::u16string wideSrc(row.text.begin(), row.text.end());
    std::u16string wide(8, u'#');
    std::string ansi(8, '#');
    EXPECT_EQ(plat::AnsiToWide(row.text.data(), row.srcLen, wide.data(), row.capacity), row.count);
    EXPECT_EQ(plat::WideToAnsi(wideSrc.data(), row.srcLen, ansi.data(), row.capacity), row.count);
    const std::string expected = row.text.substr(0, row.count) + '\0' + std::string(8, '#');
    const size_t kept = row.capacity ? row.count + 1 : 0;
    for (const std::string& out : {std::string(wide.begin(), wide.end()), ansi}) {
      EXPECT_EQ(out, expected.substr(0, kept) + std::string(8 - kept, '#')) << row.text;
    }
  }
  char16_t wide[8] = {u'#'};
  char ansi[8] = {'#'};
  EXPECT_EQ(plat::AnsiToWide(nullptr, 5, wide, 8) + plat::WideToAnsi(nullptr, 5, ansi, 8), 0u);
  EXPECT_EQ(wide[0] + ansi[0], 0) << "no source: an empty text";
  if (!kAnsiIsUtf8) return;
  // A source cut inside a character ends in U+FFFD, whatever follows the cut.
  EXPECT_EQ(plat::AnsiToWide("a\xe6\x97\xa5", 3, wide, 8), 2u);
  EXPECT_EQ(std::u16string(wide), u"a\uFFFD");
  EXPECT_EQ(plat::WideToAnsi(u"a\xD83D\xDCF7", 2, ansi, 8), 4u);
  EXPECT_EQ(std::string(ansi), "a\xef\xbf\xbd");
  // A surrogate pair needs two units and the terminator a third; U+00E9 takes two bytes.
  EXPECT_EQ(ToWide("a\xf0\x9f\x93\xb7", 3), u"a");
  EXPECT_EQ(ToWide("a\xf0\x9f\x93\xb7", 4), u"a\xD83D\xDCF7");
  EXPECT_EQ(ToAnsi(u"x\u00e9", 3), "x");
  EXPECT_EQ(ToAnsi(u"x\u00e9", 4), "x\xc3\xa9");
  EXPECT_EQ(ToAnsi(u"\xD83D\xDCF7", 4), "");
}

}  // namespace
