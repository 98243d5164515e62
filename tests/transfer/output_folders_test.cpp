// Default output folders: the composition rules with either separator (share paths, drive
// roots, option bit and mode, overflow) and the folders MakeDefaultFolder creates on disk, the
// documents folder itself included.
#include "settings/output_folders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

#include "base/context.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kAcquisitionBit = kOptionAcceptMode4;

TEST(ComposeDefaultFolderTest, OptionBitModeRootsAndSharesGiveTheFinalFolder) {
  const std::u16string d = u"D:\\Users\\ann\\Documents";
  const std::u16string fits(250, u'a');  // + "\ORVANTIS" = 259 units: fits with the terminator
  const struct {
    std::u16string documents;
    char16_t separator;
    uint32_t flags;
    int32_t mode;
    std::u16string path;  // empty: nothing composed
  } kCases[] = {
      {d, u'\\', 0, 0, d + u"\\ORVANTIS"},
      {d, u'\\', kAcquisitionBit, 0, d + u"\\ORVANTIS\\Pandrel"},
      {d, u'\\', 0, 1, d + u"\\ORVANTIS\\CONDITIONS"},
      {d, u'\\', kAcquisitionBit, 1, d + u"\\ORVANTIS\\Pandrel\\CONDITIONS"},
      {d, u'\\', ~kAcquisitionBit, 2, d + u"\\ORVANTIS"},  // only bit 0 and only mode 1 count
      {u"/home/ann", u'/', kAcquisitionBit, 1, u"/home/ann/ORVANTIS/Pandrel/CONDITIONS"},
      // A trailing separator is not doubled; a backslash is ordinary in POSIX names.
      {u"E:\\", u'\\', kAcquisitionBit, 1, u"E:\\ORVANTIS\\Pandrel\\CONDITIONS"},
      {u"/", u'/', 0, 0, u"/ORVANTIS"},
      {u"/odd\\", u'/', 0, 0, u"/odd\\/ORVANTIS"},
      // A share gives way to the local root, on Windows only.
      {u"\\\\server\\users\\ann", u'\\', 0, 0, u"C:\\ORVANTIS"},
      {u"\\\\other\\x\\", u'\\', kAcquisitionBit, 1, u"C:\\ORVANTIS\\Pandrel\\CONDITIONS"},
      {u"\\single", u'\\', 0, 0, u"\\single\\ORVANTIS"},
      {u"\\\\odd", u'/', 0, 0, u"\\\\odd/ORVANTIS"},
      // Overflow and no documents folder.
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
    EXPECT_TRUE(std::u16string(plan.path) == c.path);
  }
}

TEST(ComposeDefaultFolderTest, LevelsAreParentsBeforeChildren) {
  FolderPlan plan;
  ASSERT_TRUE(ComposeDefaultFolder(u"D:\\Docs", u'\\', kAcquisitionBit, 1, &plan));
  ASSERT_EQ(plan.levelCount, 3u);
  EXPECT_EQ(std::u16string(plan.path, plan.levelLength[0]), u"D:\\Docs\\ORVANTIS");
  EXPECT_EQ(std::u16string(plan.path, plan.levelLength[1]), u"D:\\Docs\\ORVANTIS\\Pandrel");
  EXPECT_EQ(plan.levelLength[2], std::u16string(plan.path).size());
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

TEST_F(MakeDefaultFolderTest, CreatesTheChainAndSkipsTheAcquisitionFolderWithoutTheOptionBit) {
  const std::u16string sep(1, plat::PathSeparator());
  char16_t path[kFolderPathUnits];
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path), Expected(u"ORVANTIS" + sep + u"CONDITIONS"));
  EXPECT_TRUE(fs::is_directory(fs::path(profile_.documents) / "ORVANTIS" / "CONDITIONS"));
  EXPECT_FALSE(fs::exists(fs::path(profile_.documents) / "ORVANTIS" / "Pandrel"));

  SetHostOptionFlags(kAcquisitionBit);
  EXPECT_NE(MakeDefaultFolder(path, kFolderModeConditions), 0);
  EXPECT_EQ(std::u16string(path), Expected(u"ORVANTIS" + sep + u"Pandrel" + sep + u"CONDITIONS"));
  EXPECT_TRUE(
      fs::is_directory(fs::path(profile_.documents) / "ORVANTIS" / "Pandrel" / "CONDITIONS"));
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

// A fresh profile without its documents folder gets it, with the storage folder that
// ReadProperty proposes by default.
TEST_F(MakeDefaultFolderTest, MissingDocumentsFolderIsMadeWithTheDefaultStorageFolder) {
  fs::remove_all(profile_.documents);
  auto record = std::make_unique<_BRELON_PROPERTY>();
  ReadProperty(record.get());
  char16_t path[std::size(record->StorageSavePath)];  // the record is packed: copy, then read
  std::memcpy(path, record->StorageSavePath, sizeof path);
  // The shell may refuse to name a folder that is gone; then no path is proposed at all.
  if (plat::PathSeparator() == u'\\' && path[0] == 0) return;
  EXPECT_EQ(std::u16string(path), Expected(u"ORVANTIS"));
  EXPECT_TRUE(fs::is_directory(fs::path(profile_.documents) / "ORVANTIS"));
}

}  // namespace
}  // namespace brelon
