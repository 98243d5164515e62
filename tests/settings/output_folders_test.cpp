// Default output folders: composed with either separator (shares, roots, option bit and mode,
// overflow, the levels in order) and made on disk level by level.
#include "settings/output_folders.h"

#include <gtest/gtest.h>

#include "base/context.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

namespace fs = std::filesystem;

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
    std::u16string levels(plan.path, plan.levelCount ? plan.levelLength[0] : 0);
    for (size_t i = 1; i < plan.levelCount; ++i) {
      levels += u"|" + std::u16string(plan.path + plan.levelLength[i - 1],
                                      plan.path + plan.levelLength[i]);
    }
    std::u16string whole = c.path;
    std::erase(whole, u'|');
    EXPECT_TRUE(levels == c.path);
    EXPECT_TRUE(std::u16string(plan.path) == whole);
  }
}

// The chain is made (the acquisition folder only with the option bit), existing levels kept; a
// file where a folder should be counts as existing, but nothing is made below it.
TEST(MakeDefaultFolderTest, CreatesEachMissingLevelAndOnlyTheFinalOneDecides) {
  SetHostOptionFlags(0);
  const test::Profile profile = test::UseFreshProfile("folders");
  const fs::path root = fs::path(profile.documents) / "ORVANTIS";
  const std::u16string sep(1, plat::PathSeparator()), base = root.u16string();
  char16_t path[kFolderPathUnits];
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path), base + sep + u"CONDITIONS");
  EXPECT_TRUE(fs::is_directory(root / "CONDITIONS"));
  EXPECT_FALSE(fs::exists(root / "Pandrel"));
  SetHostOptionFlags(kAcquisitionBit);
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path), base + sep + u"Pandrel" + sep + u"CONDITIONS");
  EXPECT_TRUE(fs::is_directory(root / "Pandrel" / "CONDITIONS"));
  SetHostOptionFlags(0);
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeOutput), 0);
  EXPECT_EQ(std::u16string(path), base);
  EXPECT_TRUE(fs::is_directory(root / "CONDITIONS")) << "an existing folder is left as it is";

  fs::remove_all(root);
  test::WriteFile(root.string(), "not a folder");
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeOutput), 0);
  EXPECT_EQ(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path), base + sep + u"CONDITIONS");
  EXPECT_TRUE(fs::is_regular_file(root));
}

}  // namespace
}  // namespace brelon
