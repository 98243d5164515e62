// The shell path rules behind the camera file and folder names: one table of paths with the
// results Windows gives, run through the platform's helpers. Natively it checks the POSIX port;
// built for Windows and run under Wine it checks the table against the shell itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

struct PathCase {
  const char16_t *input, *stripped /* PathStripPath */, *withoutSpec /* PathRemoveFileSpec */;
  const char16_t* withoutBlanks = nullptr;  // PathRemoveBlanks; null: the input unchanged
};
const PathCase kCases[] = {
    {u"A:\\DCIM\\100ORVTS\\ORV_0001.JPG", u"ORV_0001.JPG", u"A:\\DCIM\\100ORVTS"},
    {u"C:\\DCIM\\100ORVTS\\", u"100ORVTS\\", u"C:\\DCIM\\100ORVTS"},
    {u"A:\\DCIM\\B\u00fcro\\\u00c4.JPG", u"\u00c4.JPG", u"A:\\DCIM\\B\u00fcro"},
    {u"A:\\", u"A:\\", u"A:\\"},
    {u"A:ORV.JPG", u"ORV.JPG", u"A:"},
    {u"A:\\DCIM\\\\", u"DCIM\\\\", u"A:\\DCIM\\"},
    {u"A:\\\\", u"A:\\\\", u"A:\\"},
    {u"\\\\server\\share\\", u"share\\", u"\\\\server\\share"},
    {u"\\\\server\\share\\DCIM\\X.JPG", u"X.JPG", u"\\\\server\\share\\DCIM"},
    {u"\\DCIM", u"DCIM", u"\\"},
    {u"\\\\?\\A:\\DCIM\\X.JPG", u"X.JPG", u"\\\\?\\A:\\DCIM"},
    {u"ORV_0001.JPG", u"ORV_0001.JPG", u""},
    {u"", u"", u""},
    {u"  A:\\DCIM\\X.JPG  ", u"X.JPG  ", u"  A:\\DCIM", u"A:\\DCIM\\X.JPG"},
    {u" X ", u" X ", u"", u"X"},
    {u"A:\\DCIM\\ X.JPG ", u" X.JPG ", u"A:\\DCIM", u"A:\\DCIM\\ X.JPG"},
    {u"A:/DCIM/X.JPG", u"X.JPG", u"A:"},
    {u"A:\\DCIM/X.JPG", u"X.JPG", u"A:\\"},
};

// Runs `fn` on the input with a guard after the terminator, to show a write past the end.
template <typename Fn>
std::u16string Apply(const std::u16string& text, Fn fn) {
  char16_t buffer[300];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  fn(buffer);
  const bool guardKept =
      std::all_of(buffer + text.size() + 1, std::end(buffer), [](char16_t c) { return c == u'#'; });
  return guardKept ? std::u16string(buffer) : u"<wrote past the terminator>";
}

TEST(ShellPathRules, EachHelperGivesWhatTheShellGivesWithoutWritingPastTheText) {
  for (const PathCase& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::u16string(c.input)));
    EXPECT_EQ(Apply(c.input, plat::PathRemoveBlanks), c.withoutBlanks ? c.withoutBlanks : c.input);
    EXPECT_EQ(Apply(c.input, plat::PathStripPath), c.stripped);
    bool removed = false;
    EXPECT_EQ(Apply(c.input, [&](char16_t* path) { removed = plat::PathRemoveFileSpec(path); }),
              c.withoutSpec);
    EXPECT_EQ(removed, std::u16string(c.input) != c.withoutSpec);
  }
  plat::PathRemoveBlanks(nullptr);
  plat::PathStripPath(nullptr);
  EXPECT_FALSE(plat::PathRemoveFileSpec(nullptr));
}

}  // namespace
