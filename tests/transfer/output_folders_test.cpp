// Default output folders: the composition rules with either separator (share paths, drive
// roots, option bit and mode, overflow) and the folders MakeDefaultFolder creates on disk.
#include "transfer/output_folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/context.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kAcquisitionBit = kOptionAcceptMode4;

std::u16string Compose(const std::u16string& documents, char16_t separator, uint32_t flags,
                       int32_t mode, bool* ok = nullptr) {
  FolderPlan plan;
  const bool composed = ComposeDefaultFolder(documents.c_str(), separator, flags, mode, &plan);
  if (ok) *ok = composed;
  return plan.path;
}

TEST(ComposeDefaultFolderTest, OptionBitAndModeSelectTheFinalFolder) {
  const std::u16string d = u"D:\\Users\\ann\\Documents";
  EXPECT_EQ(Compose(d, u'\\', 0, 0), d + u"\\ORVANTIS");
  EXPECT_EQ(Compose(d, u'\\', kAcquisitionBit, 0), d + u"\\ORVANTIS\\Pandrel");
  EXPECT_EQ(Compose(d, u'\\', 0, 1), d + u"\\ORVANTIS\\CONDITIONS");
  EXPECT_EQ(Compose(d, u'\\', kAcquisitionBit, 1), d + u"\\ORVANTIS\\Pandrel\\CONDITIONS");
  // Only bit 0 and only mode 1 count.
  EXPECT_EQ(Compose(d, u'\\', ~kAcquisitionBit, 2), d + u"\\ORVANTIS");
  EXPECT_EQ(Compose(u"/home/ann/Documents", u'/', kAcquisitionBit, 1),
            u"/home/ann/Documents/ORVANTIS/Pandrel/CONDITIONS");
}

TEST(ComposeDefaultFolderTest, LevelsAreParentsBeforeChildren) {
  FolderPlan plan;
  ASSERT_TRUE(ComposeDefaultFolder(u"D:\\Docs", u'\\', kAcquisitionBit, 1, &plan));
  ASSERT_EQ(plan.levelCount, 3u);
  EXPECT_EQ(std::u16string(plan.path, plan.levelLength[0]), u"D:\\Docs\\ORVANTIS");
  EXPECT_EQ(std::u16string(plan.path, plan.levelLength[1]), u"D:\\Docs\\ORVANTIS\\Pandrel");
  EXPECT_EQ(plan.levelLength[2], std::u16string(plan.path).size());
}

TEST(ComposeDefaultFolderTest, TrailingSeparatorIsNotDoubled) {
  EXPECT_EQ(Compose(u"E:\\", u'\\', kAcquisitionBit, 1), u"E:\\ORVANTIS\\Pandrel\\CONDITIONS");
  EXPECT_EQ(Compose(u"/", u'/', 0, 0), u"/ORVANTIS");
  // A backslash is an ordinary character in POSIX names.
  EXPECT_EQ(Compose(u"/odd\\", u'/', 0, 0), u"/odd\\/ORVANTIS");
}

TEST(ComposeDefaultFolderTest, ShareIsReplacedByTheLocalRootOnWindowsOnly) {
  EXPECT_EQ(Compose(u"\\\\server\\users\\ann", u'\\', 0, 0), u"C:\\ORVANTIS");
  EXPECT_EQ(Compose(u"\\\\other\\x\\", u'\\', kAcquisitionBit, 1),
            u"C:\\ORVANTIS\\Pandrel\\CONDITIONS");
  EXPECT_EQ(Compose(u"\\single", u'\\', 0, 0), u"\\single\\ORVANTIS");
  EXPECT_EQ(Compose(u"\\\\odd", u'/', 0, 0), u"\\\\odd/ORVANTIS");
}

TEST(ComposeDefaultFolderTest, OverflowAndEmptyDocumentsGiveNoPath) {
  bool ok = true;
  // 250 + "\ORVANTIS" (9) = 259 units: fits with the terminator.
  const std::u16string fits(250, u'a');
  EXPECT_EQ(Compose(fits, u'\\', 0, 0, &ok), fits + u"\\ORVANTIS");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Compose(std::u16string(251, u'a'), u'\\', 0, 0, &ok), u"");
  EXPECT_FALSE(ok);
  EXPECT_EQ(Compose(fits, u'\\', 0, 1, &ok), u"");
  EXPECT_FALSE(ok);
  EXPECT_EQ(Compose(u"", u'\\', 0, 0, &ok), u"");
  EXPECT_FALSE(ok);
}

class MakeDefaultFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostOptionFlags(0);
    profile_ = test::UseFreshProfile("folders");
  }
  void TearDown() override { SetHostOptionFlags(0); }
  std::u16string Expected(const std::u16string& tail) {
    return fs::path(profile_.documents).u16string() + plat::PathSeparator() + tail;
  }
  test::Profile profile_;
};

TEST_F(MakeDefaultFolderTest, CreatesTheWholeChainLevelByLevel) {
  SetHostOptionFlags(kAcquisitionBit);
  char16_t path[kFolderPathUnits];
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeConditions), 0);
  const std::u16string sep(1, plat::PathSeparator());
  EXPECT_EQ(std::u16string(path), Expected(u"ORVANTIS" + sep + u"Pandrel" + sep + u"CONDITIONS"));
  EXPECT_TRUE(
      fs::is_directory(fs::path(profile_.documents) / "ORVANTIS" / "Pandrel" / "CONDITIONS"));
}

TEST_F(MakeDefaultFolderTest, ConditionsWithoutOptionBitSkipTheAcquisitionFolder) {
  char16_t path[kFolderPathUnits];
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path),
            Expected(u"ORVANTIS" + std::u16string(1, plat::PathSeparator()) + u"CONDITIONS"));
  EXPECT_TRUE(fs::is_directory(fs::path(profile_.documents) / "ORVANTIS" / "CONDITIONS"));
  EXPECT_FALSE(fs::exists(fs::path(profile_.documents) / "ORVANTIS" / "Pandrel"));
}

TEST_F(MakeDefaultFolderTest, SecondCallCreatesNothingAndSucceeds) {
  char16_t path[kFolderPathUnits];
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeOutput), 0);
  const fs::path folder = fs::path(profile_.documents) / "ORVANTIS";
  ASSERT_TRUE(fs::is_directory(folder));
  fs::create_directory(folder / "keep");  // an existing folder is left as it is
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeOutput), 0);
  EXPECT_TRUE(fs::is_directory(folder / "keep"));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(profile_.documents)) ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST_F(MakeDefaultFolderTest, AFileWhereTheFolderShouldBeCountsAsExisting) {
  test::WriteFile((fs::path(profile_.documents) / "ORVANTIS").string(), "not a folder");
  char16_t path[kFolderPathUnits];
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeOutput), 0);
  EXPECT_TRUE(fs::is_regular_file(fs::path(profile_.documents) / "ORVANTIS"));
  // Below a file nothing can be created, and only the final level decides the result.
  EXPECT_EQ(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path),
            Expected(u"ORVANTIS" + std::u16string(1, plat::PathSeparator()) + u"CONDITIONS"));
}

TEST_F(MakeDefaultFolderTest, MissingDocumentsFolderFailsAtTheFinalLevel) {
  fs::remove_all(profile_.documents);
  char16_t path[kFolderPathUnits];
  EXPECT_EQ(MakeDefaultFolder(path, kFolderModeOutput), 0);
  // The shell may refuse to name a folder that is gone; then no path is composed at all.
  const std::u16string got = path;
  EXPECT_TRUE(got == Expected(u"ORVANTIS") || (plat::PathSeparator() == u'\\' && got.empty()))
      << fs::path(got).string();
  EXPECT_FALSE(fs::exists(profile_.documents));
}

}  // namespace
}  // namespace brelon
