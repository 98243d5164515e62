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
  const char16_t* input;
  const char16_t* withoutBlanks;  // PathRemoveBlanks
  const char16_t* stripped;       // PathStripPath
  const char16_t* withoutSpec;    // PathRemoveFileSpec
  bool specRemoved;               // its result
};

// Each column is the function applied to `input` on its own.
const PathCase kCases[] = {
    // Camera paths as cameras write them.
    {u"A:\\DCIM\\100ORVTS\\ORV_0001.JPG", u"A:\\DCIM\\100ORVTS\\ORV_0001.JPG", u"ORV_0001.JPG",
     u"A:\\DCIM\\100ORVTS", true},
    {u"C:\\DCIM\\100ORVTS\\", u"C:\\DCIM\\100ORVTS\\", u"100ORVTS\\", u"C:\\DCIM\\100ORVTS", true},
    {u"X:\\100ORVTS\\ORV 0001.JPG", u"X:\\100ORVTS\\ORV 0001.JPG", u"ORV 0001.JPG", u"X:\\100ORVTS",
     true},
    {u"A:\\DCIM\\B\u00fcro\\\u00c4.JPG", u"A:\\DCIM\\B\u00fcro\\\u00c4.JPG", u"\u00c4.JPG",
     u"A:\\DCIM\\B\u00fcro", true},
    // Drive roots and bare drives.
    {u"A:\\ORV_0001.JPG", u"A:\\ORV_0001.JPG", u"ORV_0001.JPG", u"A:\\", true},
    {u"A:\\", u"A:\\", u"A:\\", u"A:\\", false},
    {u"A:", u"A:", u"A:", u"A:", false},
    {u"A:ORV.JPG", u"A:ORV.JPG", u"ORV.JPG", u"A:", true},
    {u":", u":", u":", u":", false},
    {u"A::\\X", u"A::\\X", u"X", u"A::", true},
    {u"a:b:c", u"a:b:c", u"c", u"a:b:", true},
    // Trailing backslashes.
    {u"A:\\DCIM\\", u"A:\\DCIM\\", u"DCIM\\", u"A:\\DCIM", true},
    {u"A:\\DCIM\\\\", u"A:\\DCIM\\\\", u"DCIM\\\\", u"A:\\DCIM\\", true},
    {u"A:\\\\", u"A:\\\\", u"A:\\\\", u"A:\\", true},
    {u"DCIM\\", u"DCIM\\", u"DCIM\\", u"DCIM", true},
    // UNC and rooted paths.
    {u"\\\\server\\share", u"\\\\server\\share", u"share", u"\\\\server", true},
    {u"\\\\server\\share\\", u"\\\\server\\share\\", u"share\\", u"\\\\server\\share", true},
    {u"\\\\server\\share\\DCIM\\X.JPG", u"\\\\server\\share\\DCIM\\X.JPG", u"X.JPG",
     u"\\\\server\\share\\DCIM", true},
    {u"\\\\server", u"\\\\server", u"server", u"\\\\", true},
    {u"\\\\", u"\\\\", u"\\\\", u"\\\\", false},
    {u"\\\\\\X", u"\\\\\\X", u"X", u"\\\\", true},
    {u"\\", u"\\", u"\\", u"\\", false},
    {u"\\DCIM", u"\\DCIM", u"DCIM", u"\\", true},
    {u"\\\\?\\A:\\DCIM\\X.JPG", u"\\\\?\\A:\\DCIM\\X.JPG", u"X.JPG", u"\\\\?\\A:\\DCIM", true},
    // Relative names and dots.
    {u"ORV_0001.JPG", u"ORV_0001.JPG", u"ORV_0001.JPG", u"", true},
    {u"..\\X.JPG", u"..\\X.JPG", u"X.JPG", u"..", true},
    {u"A:\\DCIM\\.", u"A:\\DCIM\\.", u".", u"A:\\DCIM", true},
    {u"", u"", u"", u"", false},
    // Blanks: only spaces, only at either end.
    {u"  A:\\DCIM\\X.JPG  ", u"A:\\DCIM\\X.JPG", u"X.JPG  ", u"  A:\\DCIM", true},
    {u" \\\\server\\share ", u"\\\\server\\share", u"share ", u" \\\\server", true},
    {u"   ", u"", u"   ", u"", true},
    {u" X ", u"X", u" X ", u"", true},
    {u"\tX\t", u"\tX\t", u"\tX\t", u"", true},
    {u"A:\\DCIM\\ X.JPG ", u"A:\\DCIM\\ X.JPG", u" X.JPG ", u"A:\\DCIM", true},
    // Forward slashes.
    {u"A:/DCIM/X.JPG", u"A:/DCIM/X.JPG", u"X.JPG", u"A:", true},
    {u"DCIM/X.JPG", u"DCIM/X.JPG", u"X.JPG", u"", true},
    {u"A:\\DCIM/X.JPG", u"A:\\DCIM/X.JPG", u"X.JPG", u"A:\\", true},
    {u"A:\\DCIM/", u"A:\\DCIM/", u"DCIM/", u"A:\\", true},
};

// Runs `fn` on a copy of the input in a buffer with a guard after the terminator, so that a
// write past the end shows up as a changed guard.
template <typename Fn>
std::u16string Apply(const char16_t* input, Fn fn) {
  constexpr size_t kUnits = 300;
  constexpr char16_t kGuard = u'#';
  char16_t buffer[kUnits];
  std::fill(buffer, buffer + kUnits, kGuard);
  const std::u16string text(input);
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  fn(buffer);
  for (size_t i = text.size() + 1; i < kUnits; ++i) {
    if (buffer[i] != kGuard) return u"<wrote past the terminator>";
  }
  return std::u16string(buffer);
}

TEST(ShellPathRules, EachHelperGivesWhatTheShellGivesWithoutWritingPastTheText) {
  for (const PathCase& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::u16string(c.input)));
    EXPECT_EQ(Apply(c.input, plat::PathRemoveBlanks), c.withoutBlanks);
    EXPECT_EQ(Apply(c.input, plat::PathStripPath), c.stripped);
    bool removed = !c.specRemoved;
    EXPECT_EQ(Apply(c.input, [&](char16_t* path) { removed = plat::PathRemoveFileSpec(path); }),
              c.withoutSpec);
    EXPECT_EQ(removed, c.specRemoved);
  }
  plat::PathRemoveBlanks(nullptr);
  plat::PathStripPath(nullptr);
  EXPECT_FALSE(plat::PathRemoveFileSpec(nullptr));
}

}  // namespace
