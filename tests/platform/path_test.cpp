// The shell path rules behind the camera file and folder names: one table of paths with the
// results Windows gives, run through the platform's helpers. Natively it checks the POSIX port;
// built for Windows and run under Wine it checks the table against the shell itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

// Each column is the function applied to `input` on its own; PathRemoveFileSpec reports whether
// it changed the path.
struct PathCase {
  const char16_t *input, *stripped /* PathStripPath */, *withoutSpec /* PathRemoveFileSpec */;
  const char16_t* withoutBlanks = nullptr;  // PathRemoveBlanks; null: the input unchanged
};
// Camera paths, drive roots, trailing separators, UNC and rooted paths, relative names, blanks
// (only spaces, only at either end) and forward slashes.
const PathCase kCases[] = {
    {u"A:\\DCIM\\100ORVTS\\ORV_0001.JPG", u"ORV_0001.JPG", u"A:\\DCIM\\100ORVTS"},
    {u"C:\\DCIM\\100ORVTS\\", u"100ORVTS\\", u"C:\\DCIM\\100ORVTS"},
    {u"X:\\100ORVTS\\ORV 0001.JPG", u"ORV 0001.JPG", u"X:\\100ORVTS"},
    {u"A:\\DCIM\\B\u00fcro\\\u00c4.JPG", u"\u00c4.JPG", u"A:\\DCIM\\B\u00fcro"},
    {u"A:\\ORV_0001.JPG", u"ORV_0001.JPG", u"A:\\"},
    {u"A:\\", u"A:\\", u"A:\\"},
    {u"A:", u"A:", u"A:"},
    {u"A:ORV.JPG", u"ORV.JPG", u"A:"},
    {u":", u":", u":"},
    {u"A::\\X", u"X", u"A::"},
    {u"a:b:c", u"c", u"a:b:"},
    {u"A:\\DCIM\\", u"DCIM\\", u"A:\\DCIM"},
    {u"A:\\DCIM\\\\", u"DCIM\\\\", u"A:\\DCIM\\"},
    {u"A:\\\\", u"A:\\\\", u"A:\\"},
    {u"DCIM\\", u"DCIM\\", u"DCIM"},
    {u"\\\\server\\share", u"share", u"\\\\server"},
    {u"\\\\server\\share\\", u"share\\", u"\\\\server\\share"},
    {u"\\\\server\\share\\DCIM\\X.JPG", u"X.JPG", u"\\\\server\\share\\DCIM"},
    {u"\\\\server", u"server", u"\\\\"},
    {u"\\\\", u"\\\\", u"\\\\"},
    {u"\\\\\\X", u"X", u"\\\\"},
    {u"\\", u"\\", u"\\"},
    {u"\\DCIM", u"DCIM", u"\\"},
    {u"\\\\?\\A:\\DCIM\\X.JPG", u"X.JPG", u"\\\\?\\A:\\DCIM"},
    {u"ORV_0001.JPG", u"ORV_0001.JPG", u""},
    {u"..\\X.JPG", u"X.JPG", u".."},
    {u"A:\\DCIM\\.", u".", u"A:\\DCIM"},
    {u"", u"", u""},
    {u"  A:\\DCIM\\X.JPG  ", u"X.JPG  ", u"  A:\\DCIM", u"A:\\DCIM\\X.JPG"},
    {u" \\\\server\\share ", u"share ", u" \\\\server", u"\\\\server\\share"},
    {u"   ", u"   ", u"", u""},
    {u" X ", u" X ", u"", u"X"},
    {u"\tX\t", u"\tX\t", u""},
    {u"A:\\DCIM\\ X.JPG ", u" X.JPG ", u"A:\\DCIM", u"A:\\DCIM\\ X.JPG"},
    {u"A:/DCIM/X.JPG", u"X.JPG", u"A:"},
    {u"DCIM/X.JPG", u"X.JPG", u""},
    {u"A:\\DCIM/X.JPG", u"X.JPG", u"A:\\"},
    {u"A:\\DCIM/", u"DCIM/", u"A:\\"},
};

// Runs `fn` on a copy of the input in a buffer with a guard after the terminator, so that a
// write past the end shows up as a changed guard.
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
