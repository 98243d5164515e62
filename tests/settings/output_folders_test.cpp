// Default output folders composed with either separator: shares, roots, option bit and mode,
// overflow, the levels in order.
#include "settings/output_folders.h"

#include <gtest/gtest.h>

#include "base/context.h"
#include "platform/platform.h"

namespace brelon {
namespace {

constexpr uint32_t kAcquisitionBit = kOptionAcceptMode4;

TEST(ComposeDefaultFolderTest, OptionBitModeRootsAndSharesGiveTheFolderLevels) {
  const std::u16string d = u"D:\\Users\\ann\\Documents";
  const std::u16string fits(250, u'a');  // + "\ORVANTIS" = 259 units: fits with the terminator
  const struct {
    std::u16string documents;
    char16_t separator;
    uint32_t flags;
    int32_t mode;
    std::u16string path;  // the levels, '|' after each but the last; empty: nothing composed
  } kCases[] = {
      {d, u'\\', 0, 0, d + u"\\ORVANTIS"},
      {d, u'\\', kAcquisitionBit, 0, d + u"\\ORVANTIS|\\Pandrel"},
      {d, u'\\', 0, 1, d + u"\\ORVANTIS|\\CONDITIONS"},
      {d, u'\\', kAcquisitionBit, 1, d + u"\\ORVANTIS|\\Pandrel|\\CONDITIONS"},
      {d, u'\\', ~kAcquisitionBit, 2, d + u"\\ORVANTIS"},  // only bit 0 and only mode 1 count
      {u"/home/ann", u'/', kAcquisitionBit, 1, u"/home/ann/ORVANTIS|/Pandrel|/CONDITIONS"},
      {u"E:\\", u'\\', kAcquisitionBit, 1, u"E:\\ORVANTIS|\\Pandrel|\\CONDITIONS"},
      {u"/", u'/', 0, 0, u"/ORVANTIS"},
      {u"/odd\\", u'/', 0, 0, u"/odd\\/ORVANTIS"},
      {u"\\\\server\\users\\ann", u'\\', 0, 0, u"C:\\ORVANTIS"},
      {u"\\\\other\\x\\", u'\\', kAcquisitionBit, 1, u"C:\\ORVANTIS|\\Pandrel|\\CONDITIONS"},
      {u"\\single", u'\\', 0, 0, u"\\single\\ORVANTIS"},
      {u"\\\\odd", u'/', 0, 0, u"\\\\odd/ORVANTIS"},
      {fits, u'\\', 0, 0, fits + u"\\ORVANTIS"},
      {fits + u"a", u'\\', 0, 0, u""},
      {fits, u'\\', 0, 1, u""},
      {u"", u'\\', 0, 0, u""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - kCases);
    FolderPlan plan;
    EXPECT_EQ(ComposeDefaultFolder(c.documents.c_str(), c.separator, c.flags, c.mode, &plan),
              !c.path.empty());
    std::u16string levels(plan.path, plan.levelCount ? plan.levelLength[0] : 0), whole = c.path;
    for (size_t i = 1; i < plan.levelCount; ++i) {
      levels += u"|" + std::u16string(plan.path + plan.levelLength[i - 1],
                                      plan.path + plan.levelLength[i]);
    }
    std::erase(whole, u'|');
    EXPECT_TRUE(levels == c.path && std::u16string(plan.path) == whole);
  }
}

}  // namespace
}  // namespace brelon
