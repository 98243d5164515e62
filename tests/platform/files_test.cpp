// Files and libraries: append in text mode, binary write and read, size and delete, clean
// failures for files and folders that do not exist, private folders and files only (POSIX);
// missing libraries load as null, real ones resolve their symbols, the executable path names
// this program, and the SDK override is POSIX-only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/test_env.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

#if defined(_WIN32)
constexpr const char* kNewline = "\r\n";  // text mode on Windows writes CR LF
#else
constexpr const char* kNewline = "\n";
#endif

class FilesTest : public ::testing::Test {
 protected:
  std::string dir_ = brelon::test::TempDir("files");
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::string ReadBack(const std::string& path) {
    int64_t size = plat::FileSize(path.c_str());
    if (size < 0) return "<missing>";
    std::string data(static_cast<size_t>(size), '\0');
    if (!plat::FileReadAll(path.c_str(), data.data(), data.size())) return "<unreadable>";
    return data;
  }
};

TEST_F(FilesTest, AppendTextCreatesThenAppendsEveryPieceInOrder) {
  std::string path = Path("log.txt");
  const char* first[] = {"01/02 ", "|block|", "Init start", "\n"};
  const char* second[] = {"next", "\n"};
  ASSERT_TRUE(plat::FileAppendText(path.c_str(), first, 4));
  ASSERT_TRUE(plat::FileAppendText(path.c_str(), second, 2));
  std::string expected = std::string("01/02 |block|Init start") + kNewline + "next" + kNewline;
  EXPECT_EQ(ReadBack(path), expected);
  EXPECT_EQ(plat::FileSize(path.c_str()), static_cast<int64_t>(expected.size()));
}

TEST_F(FilesTest, WriteBinaryTruncatesKeepsBytesUntranslatedAndDeleteRemovesIt) {
  std::string path = Path("raw.jpg");
  const char longer[] = "0123456789";
  ASSERT_TRUE(plat::FileWriteBinary(path.c_str(), longer, 10));
  const unsigned char bytes[] = {0xFF, 0xD8, '\n', '\r', 0x00, 0x1A};
  ASSERT_TRUE(plat::FileWriteBinary(path.c_str(), bytes, sizeof bytes));
  EXPECT_EQ(plat::FileSize(path.c_str()), 6);
  EXPECT_EQ(ReadBack(path), std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
  char out[8] = {};
  EXPECT_FALSE(plat::FileReadAll(path.c_str(), out, 7)) << "reading past the end";
  EXPECT_TRUE(plat::FileReadAll(path.c_str(), out, 2));
  EXPECT_EQ(std::string(out, 2), "\xFF\xD8");

  EXPECT_TRUE(plat::FileDelete(path.c_str()));
  EXPECT_EQ(plat::FileSize(path.c_str()), -1);
  EXPECT_FALSE(plat::FileDelete(path.c_str()));

  std::string empty = Path("empty.bin");
  ASSERT_TRUE(plat::FileWriteBinary(empty.c_str(), nullptr, 0));
  EXPECT_EQ(plat::FileSize(empty.c_str()), 0);
}

TEST_F(FilesTest, MissingFilesAndFoldersFailCleanlyAndCreateNothing) {
  std::string inMissingFolder = Path("absent") + "/log.txt";
  const char* pieces[] = {"x\n"};
  EXPECT_FALSE(plat::FileAppendText(inMissingFolder.c_str(), pieces, 1));
  EXPECT_FALSE(plat::FileWriteBinary(inMissingFolder.c_str(), "x", 1));
  EXPECT_EQ(plat::FileSize(inMissingFolder.c_str()), -1);
  EXPECT_EQ(plat::FileSize(Path("absent").c_str()), -1);
  char out[1];
  EXPECT_FALSE(plat::FileReadAll(Path("missing.bin").c_str(), out, 1));
  EXPECT_EQ(plat::FileSize(Path("missing.bin").c_str()), -1);
  EXPECT_EQ(plat::FileSize(dir_.c_str()), -1) << "a folder has no file size";
}

#if !defined(_WIN32)
// Log and debug copy land only in a folder of the user's own that no one else can write to,
// never through a symbolic link, and are private to the user whatever the umask.
TEST_F(FilesTest, WritesOnlyIntoAPrivateFolderNeverThroughALinkAndKeepsTheFilesPrivate) {
  namespace fs = std::filesystem;
  using P = fs::perms;
  const auto folder = [&](const char* name, P perms) {
    fs::create_directory(Path(name));
    fs::permissions(Path(name), perms);
    return fs::path(Path(name));
  };
  const fs::path target = Path("target");
  std::ofstream(target) << "keep";
  const fs::path own = folder("own", P::owner_all | P::group_read | P::others_exec);
  fs::create_directory_symlink(own, Path("linked"));
  for (const char* planted : {"planted.txt", "planted.bin"})
    fs::create_symlink(target, own / planted);
  const struct {
    const char* what;
    fs::path dir;
    const char* name;
    bool written;
  } kCases[] = {
      {"folder open to all", folder("open", P::all), "log", false},
      {"group-writable folder", folder("group", P::owner_all | P::group_write), "log", false},
      {"linked folder", Path("linked"), "log", false},
      {"linked file", own, "planted", false},
      {"own folder", own, "log", true},  // last: the linked folder leads here
  };
  const mode_t savedMask = umask(0);
  for (const auto& c : kCases) {
    for (const char* kind : {".txt", ".bin"}) {
      SCOPED_TRACE(std::string(c.what) + kind);
      const fs::path file = c.dir / (std::string(c.name) + kind);
      const char* pieces[] = {"x\n"};
      EXPECT_EQ(kind == std::string(".bin") ? plat::FileWriteBinary(file.c_str(), "x", 1)
                                            : plat::FileAppendText(file.c_str(), pieces, 1),
                c.written);
      EXPECT_EQ(fs::exists(own / (std::string("log") + kind)), c.written);
      if (c.written) EXPECT_EQ(fs::status(file).permissions(), P::owner_read | P::owner_write);
    }
  }
  umask(savedMask);
  EXPECT_EQ(ReadBack(target.string()), "keep");
}
#endif

TEST(FixedPaths, LogAndDebugCopyKeepTheirProductNames) {
#if defined(_WIN32)
  EXPECT_STREQ(plat::LogFilePath(), "c:\\ovdbg\\ov_plugin.log");
#else
  EXPECT_STREQ(plat::LogFilePath(), "/tmp/ovdbg/ov_plugin.log");
#endif
  EXPECT_STREQ(plat::DebugImageCopyPath(), "/tmp/ovdbg/raw.jpg");
}

std::u16string Widen(const std::string& utf8) {
  std::u16string wide(utf8.size() + 1, u'\0');
  wide.resize(plat::AnsiToWide(utf8.data(), utf8.size(), wide.data(), wide.size()));
  return wide;
}

TEST(Library, MissingFilesLoadAsNullAndNullHandlesAreHarmless) {
  std::string missing = brelon::test::TempDir("lib") + "/no-such-library.bin";
  EXPECT_EQ(plat::LibraryLoad(Widen(missing).c_str()), nullptr);
  EXPECT_EQ(plat::LibraryLoad(u""), nullptr);
  EXPECT_EQ(plat::LibraryLoad(nullptr), nullptr);
  EXPECT_EQ(plat::LibrarySymbol(nullptr, "ZEPK_Init"), nullptr);
  plat::LibraryFree(nullptr);
}

TEST(Library, SystemLibraryResolvesItsSymbolsAndNotOthers) {
#if defined(_WIN32)
  plat::Library* lib = plat::LibraryLoad(u"kernel32.dll");
  ASSERT_NE(lib, nullptr);
  using Strlen = int(__stdcall*)(const char*);
  auto length = reinterpret_cast<Strlen>(plat::LibrarySymbol(lib, "lstrlenA"));
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(length("camera"), 6);
#else
  plat::Library* lib = plat::LibraryLoad(u"libm.so.6");
  ASSERT_NE(lib, nullptr);
  using Floor = double (*)(double);
  auto floorFn = reinterpret_cast<Floor>(plat::LibrarySymbol(lib, "floor"));
  ASSERT_NE(floorFn, nullptr);
  EXPECT_EQ(floorFn(2.75), 2.0);
#endif
  EXPECT_EQ(plat::LibrarySymbol(lib, "ZEPK_NoSuchEntry"), nullptr);
  EXPECT_EQ(plat::LibrarySymbol(lib, nullptr), nullptr);
  plat::LibraryFree(lib);
}

TEST(ExecutablePath, NamesThisTestProgramAndRefusesABufferTooSmall) {
  char16_t path[1024];
  ASSERT_TRUE(plat::ExecutablePath(path, 1024));
  std::u16string text(path);
  size_t lastSeparator = text.rfind(plat::PathSeparator());
  ASSERT_NE(lastSeparator, std::u16string::npos);
  EXPECT_NE(text.substr(lastSeparator + 1).find(u"brelon_platform_tests"), std::u16string::npos);

  char16_t tooSmall[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_FALSE(plat::ExecutablePath(tooSmall, 4)) << "instead of cutting the path";
  EXPECT_EQ(tooSmall[0], u'\0');
}

TEST(SdkLibrary, NameSeparatorAndEnvironmentOverrideFollowThePlatform) {
  char16_t out[64] = {};
  brelon::test::SetEnv("BRELON_ZEPA_PATH", "/opt/sim\xc3\xa9/libzepa.so");
#if defined(_WIN32)
  EXPECT_EQ(std::u16string(plat::SdkLibraryFileName()), u"ZEPA.DLL");
  EXPECT_EQ(plat::PathSeparator(), u'\\');
  EXPECT_FALSE(plat::SdkLibraryOverride(out, 64));
#else
  EXPECT_EQ(std::u16string(plat::SdkLibraryFileName()), u"libzepa.so");
  EXPECT_EQ(plat::PathSeparator(), u'/');
  ASSERT_TRUE(plat::SdkLibraryOverride(out, 64));
  EXPECT_EQ(std::u16string(out), u"/opt/sim\u00e9/libzepa.so");
  EXPECT_FALSE(plat::SdkLibraryOverride(out, 8)) << "a cut path would load the wrong file";
  EXPECT_EQ(out[0], u'\0');
#endif
  brelon::test::SetEnv("BRELON_ZEPA_PATH", nullptr);
  EXPECT_FALSE(plat::SdkLibraryOverride(out, 64));
}

}  // namespace
