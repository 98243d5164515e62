// Files, folders and libraries: append in text mode, binary write and read, size and delete,
// clean failures for what does not exist; private folders and files only, the documents folder
// from the user-dirs entry (POSIX); libraries and the paths the SDK is found by.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/sim_harness.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

std::string ReadBack(const std::string& path) {
  std::string data(std::max<int64_t>(plat::FileSize(path.c_str()), 0), '\0');
  return plat::FileReadAll(path.c_str(), data.data(), data.size()) ? data : "<missing>";
}
std::u16string Widen(const std::string& utf8) {
  std::u16string wide(utf8.size() + 1, u'\0');
  wide.resize(plat::AnsiToWide(utf8.data(), utf8.size(), wide.data(), wide.size()));
  return wide;
}

TEST(Files, AppendWriteReadSizeAndDeleteAndFailCleanlyWhereNothingIs) {
  const std::string dir = brelon::test::TempDir("files");
  const std::string log = dir + "/log.txt", raw = dir + "/raw.jpg", lost = dir + "/absent/x";
  const char* first[] = {"01/02 ", nullptr, "|block|", "\n"};
  const char* second[] = {"next\n"};
  ASSERT_TRUE(plat::FileAppendText(log.c_str(), first, 4));
  ASSERT_TRUE(plat::FileAppendText(log.c_str(), second, 1));
  const std::string eol = plat::PathSeparator() == u'\\' ? "\r\n" : "\n";  // text mode
  EXPECT_EQ(ReadBack(log), "01/02 |block|" + eol + "next" + eol);
  ASSERT_TRUE(plat::FileWriteBinary(raw.c_str(), "0123456789", 10));
  const char bytes[] = {'\xFF', '\xD8', '\n', '\r', '\0', '\x1A'};
  ASSERT_TRUE(plat::FileWriteBinary(raw.c_str(), bytes, sizeof bytes));  // truncates
  EXPECT_EQ(ReadBack(raw), std::string(bytes, sizeof bytes));
  char out[8] = {};
  EXPECT_FALSE(plat::FileReadAll(raw.c_str(), out, 7)) << "reading past the end";
  EXPECT_TRUE(plat::FileDelete(raw.c_str()));
  EXPECT_FALSE(plat::FileDelete(raw.c_str()));
  ASSERT_TRUE(plat::FileWriteBinary(raw.c_str(), nullptr, 0));
  EXPECT_EQ(plat::FileSize(raw.c_str()), 0);

  EXPECT_FALSE(plat::FileAppendText(lost.c_str(), second, 1) ||
               plat::FileWriteBinary(lost.c_str(), "x", 1) ||
               plat::FileReadAll(lost.c_str(), out, 1));
  EXPECT_EQ(plat::FileSize(lost.c_str()), -1);
  EXPECT_EQ(plat::FileSize(dir.c_str()), -1) << "a folder has no file size";
  EXPECT_EQ(plat::FileAttributes(Widen(lost).c_str()), plat::kInvalidFileAttributes);
}

#if !defined(_WIN32)
// Log and debug copy land only in a folder of the user's own that no one else can write to,
// never through a symbolic link, and are private to the user whatever the umask.
TEST(Files, WritesOnlyIntoAPrivateFolderNeverThroughALinkAndKeepsTheFilesPrivate) {
  using P = fs::perms;
  const fs::path root = brelon::test::TempDir("private");
  const auto folder = [&](const char* name, P perms) {
    fs::create_directory(root / name);
    fs::permissions(root / name, perms);
    return root / name;
  };
  std::ofstream(root / "target") << "keep";
  const fs::path own = folder("own", P::owner_all | P::group_read | P::others_exec);
  fs::create_directory_symlink(own, root / "linked");
  for (const char* planted : {"planted.txt", "planted.bin"})
    fs::create_symlink(root / "target", own / planted);
  const struct {
    fs::path dir;
    const char* name;
    bool written;
  } kCases[] = {{folder("open", P::all), "log", false},
                {folder("group", P::owner_all | P::group_write), "log", false},
                {root / "linked", "log", false},
                {own, "planted", false},
                {own, "log", true}};  // last: the linked folder leads here
  const mode_t savedMask = umask(0);
  for (const auto& c : kCases) {
    for (const std::string kind : {".txt", ".bin"}) {
      const fs::path file = c.dir / (c.name + kind);
      const char* pieces[] = {"x\n"};
      EXPECT_EQ(kind == ".bin" ? plat::FileWriteBinary(file.c_str(), "x", 1)
                               : plat::FileAppendText(file.c_str(), pieces, 1),
                c.written)
          << file;
      EXPECT_EQ(fs::exists(own / ("log" + kind)), c.written) << file;
      EXPECT_TRUE(!c.written || fs::status(file).permissions() == (P::owner_read | P::owner_write))
          << file;
    }
  }
  umask(savedMask);
  EXPECT_EQ(ReadBack((root / "target").string()), "keep");
}

// The documents folder: the last valid XDG_DOCUMENTS_DIR entry, made with its parents when
// missing, refused rather than cut when it does not fit; $HOME/Documents without one.
TEST(Folders, DocumentsFolderFollowsTheUserDirsEntryAndFitsWhole) {
  const std::string home = brelon::test::TempDir("home"), savedHome = std::getenv("HOME");
  brelon::test::SetEnv("HOME", home.c_str());
  brelon::test::SetEnv("XDG_CONFIG_HOME", (home + "/cfg").c_str());
  fs::create_directory(home + "/cfg");
  const struct {
    std::string entries;
    std::string folder;
  } kCases[] = {
      {"", home + "/Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"/x/\"\r\n", home + "/My \"Docs\"/x"},
      {"  XDG_DOCUMENTS_DIR=\"" + home + "/a\\b\\\\\"  \nXDG_DOCUMENTS_DIR=$HOME/x\n",
       home + "/ab\\"},
      {"XDG_DOCUMENTS_DIR=\"" + home + "/d\"\nXDG_DOCUMENTS_DIR=\"$HOMEx\"\n", home + "/d"},
      {"XDG_DOCUMENTS_DIR=\"$HOME\"\nXDG_DOCUMENTS_DIR=\"x\"\nXDG_DOCUMENTS=\"/y\"\n", home},
      {"XDG_DOCUMENTS_DIR=\"/\"\n", "/"},
      {"XDG_DOCUMENTS_DIR=\"\"\nXDG_DOCUMENTS_DIR=\"\n", home + "/Documents"}};
  for (const auto& c : kCases) {
    std::ofstream(home + "/cfg/user-dirs.dirs") << c.entries;
    const std::u16string want = Widen(c.folder);
    std::u16string out(want.size() + 1, u'#');
    EXPECT_FALSE(plat::DocumentsFolder(out.data(), want.size())) << c.folder;
    EXPECT_TRUE(plat::DocumentsFolder(out.data(), want.size() + 1)) << c.folder;
    EXPECT_EQ(out, want + u'\0');
    EXPECT_EQ(plat::FileAttributes(out.c_str()), plat::FileAttributes(Widen(home).c_str()));
  }
  brelon::test::SetEnv("XDG_CONFIG_HOME", nullptr);
  brelon::test::SetEnv("HOME", savedHome.c_str());
}
#endif

TEST(Library, LoadsLibrariesResolvesSymbolsTakesNullsAndFindsTheSdkWholeOrNotAtAll) {
  const std::string missing = brelon::test::TempDir("lib") + "/no-such-library.bin";
  EXPECT_EQ(plat::LibraryLoad(Widen(missing).c_str()), nullptr);
  EXPECT_TRUE(!plat::LibraryLoad(u"") && !plat::LibraryLoad(nullptr) &&
              !plat::LibrarySymbol(nullptr, "ZEPK_Init"));
  plat::LibraryFree(nullptr);
  const bool win = plat::PathSeparator() == u'\\';
  plat::Library* lib = plat::LibraryLoad(win ? u"kernel32.dll" : u"libm.so.6");
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(plat::LibrarySymbol(lib, win ? "lstrlenA" : "floor"), nullptr);
  EXPECT_EQ(plat::LibrarySymbol(lib, "ZEPK_NoSuchEntry"), nullptr);
  EXPECT_EQ(plat::LibrarySymbol(lib, nullptr), nullptr);
  plat::LibraryFree(lib);

  char16_t path[1024];
  ASSERT_TRUE(plat::ExecutablePath(path, 1024));
  const std::u16string text(path);
  const size_t cut = text.rfind(plat::PathSeparator());
  ASSERT_NE(cut, std::u16string::npos);
  EXPECT_EQ(text.find(u"brelon_platform_tests", cut), cut + 1);
  EXPECT_FALSE(plat::ExecutablePath(path, text.size())) << "instead of cutting the path";
  EXPECT_EQ(path[0], u'\0');
  EXPECT_TRUE(plat::ExecutablePath(path, text.size() + 1));

  brelon::test::SetEnv("BRELON_ZEPA_PATH", "/opt/sim\xc3\xa9/libzepa.so");
  EXPECT_EQ(std::u16string(plat::SdkLibraryFileName()), win ? u"ZEPA.DLL" : u"libzepa.so");
  if (win) {
    EXPECT_FALSE(plat::SdkLibraryOverride(path, 64));
  } else {
    EXPECT_FALSE(plat::SdkLibraryOverride(path, 20)) << "a cut path would load the wrong file";
    EXPECT_EQ(path[0], u'\0');
    ASSERT_TRUE(plat::SdkLibraryOverride(path, 21));
    EXPECT_EQ(std::u16string(path), u"/opt/sim\u00e9/libzepa.so");
  }
  brelon::test::SetEnv("BRELON_ZEPA_PATH", nullptr);
  EXPECT_FALSE(plat::SdkLibraryOverride(path, 64));
}

}  // namespace
