// Dynamic libraries and the SDK's paths: missing files load as null, real libraries resolve
// their symbols, the executable path names this program, and the SDK override is POSIX-only.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/test_env.h"

namespace {

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
