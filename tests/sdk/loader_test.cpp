// The loader against real libraries: an absent one, the simulated SDK, and its variants lacking
// a required entry point or the optional property entries.
#include "sdk/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "base/log.h"
#include "support/child_process.h"
#include "support/connected_context.h"
#include "support/test_env.h"

namespace brelon {
namespace {

std::unique_ptr<CTavelSDK> LoaderAt(const std::string& path) {
  std::u16string wide(path.size() + 1, u'\0');
  wide.resize(plat::AnsiToWide(path.c_str(), path.size(), wide.data(), wide.size()));
  return std::make_unique<CTavelSDK>(nullptr, nullptr, wide.c_str());
}

TEST(LoaderLibrary, AbsentLibraryGivesMinusOneAndNoEntriesButIsStillCurrentUntilItsEnd) {
  auto sdk = LoaderAt("/nonexistent/folder/libzepa.so");  // any platform: no such file
  EXPECT_EQ(sdk->LoadStatus(), kLoadNoLibrary);
  EXPECT_EQ(sdk->Module(), nullptr);
  EXPECT_EQ(sdk->m_pfnInit, nullptr);
  EXPECT_NE(sdk->SdkLock(), nullptr);
  LoaderAt(test::SimLibraryPath()).reset();  // a later loader takes nothing from it
  EXPECT_EQ(CTavelSDK::Current(), sdk.get());
  sdk.reset();
  EXPECT_EQ(CTavelSDK::Current(), nullptr);
#if !defined(_WIN32)
  // A path that leaves no room for its terminator in the 260-unit buffer is refused, not cut.
  const std::string lib = test::SimLibraryPath();
  const size_t slash = lib.rfind('/');
  for (size_t units : {259u, 260u}) {
    const std::string padded =
        lib.substr(0, slash) + std::string(units - lib.size(), '/') + lib.substr(slash);
    EXPECT_EQ(LoaderAt(padded)->LoadStatus(), units < 260 ? kLoadOk : kLoadNoLibrary) << units;
  }
#endif
}

TEST(LoaderLibrary, ResolvesEveryEntryOrNoneAndAcceptsALibraryWithoutPropertyEntries) {
  const std::string dir = test::TempDir("loader-log");
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  InitLog();
  test::SimLibrary library(test::SimLibraryPath());
  auto sdk = LoaderAt(test::SimLibraryPath());
  ASSERT_EQ(sdk->LoadStatus(), kLoadOk);
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnInit), library.Symbol("ZEPK_Init"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnRawRelease), library.Symbol("ZEPK_Release"));
  EXPECT_EQ(sdk->m_pfnRelease, &CTavelSDK::ReleaseAndWait);
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetSerialNo), library.Symbol("ZEPK_GetSerialNo"));

  // Nothing may point into a library unloaded for lacking an entry.
  auto noSerial = LoaderAt(test::SimVariantPath("no_serial"));
  EXPECT_EQ(noSerial->LoadStatus(), kLoadMissingEntry);
  EXPECT_EQ(noSerial->Module(), nullptr);
  EXPECT_EQ(noSerial->m_pfnInit, nullptr);
  EXPECT_EQ(noSerial->m_pfnGetProp, nullptr);

  auto noProp = LoaderAt(test::SimVariantPath("no_prop"));
  ASSERT_EQ(noProp->LoadStatus(), kLoadOk);
  EXPECT_NE(noProp->m_pfnGetSerialNo, nullptr);
  int32_t value = 0;
  EXPECT_EQ(noProp->SetProp(1, 0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(noProp->GetProp(1, 0x4220, 2, 1, &value), ZEPK_FAILED);
  EXPECT_EQ(noProp->CapProp(1, 0x3301, 0), ZEPK_FAILED);
  const std::string logPath = dir + "/ov_plugin.log";
  std::string log(std::max<int64_t>(plat::FileSize(logPath.c_str()), 0), '\0');
  if (logPath == plat::LogFilePath()) {  // the log can be read back (POSIX)
    ASSERT_TRUE(plat::FileReadAll(logPath.c_str(), log.data(), log.size()));
    for (const char* fn :
         {"|ZEPK_SetProp missing\n", "|ZEPK_GetProp missing\n", "|ZEPK_CapProp missing\n"})
      EXPECT_NE(log.find(fn), std::string::npos) << fn;
  }
  test::SetEnv("BRELON_LOG_DIR", nullptr);
}

#if !defined(_WIN32)
// Beside the executable the library is found only where its whole path fits the 260-unit
// buffer: a copy of this program runs from folders one unit either side of that limit.
TEST(LoaderLibrary, FindsTheLibraryBesideTheExecutableOnlyWhereItsPathFits) {
  if (const char* want = std::getenv("BRELON_TEST_BESIDE")) {  // in the copy
    EXPECT_EQ(CTavelSDK(nullptr, nullptr).LoadStatus(), std::atoi(want));
    return;
  }
  namespace fs = std::filesystem;
  const fs::path root = test::TempDir("beside");
  for (const size_t folderUnits : {248u, 249u}) {  // + "/libzepa.so" + terminator: 260, 261
    const fs::path dir = root / std::string(folderUnits - root.string().size() - 1, 'd');
    fs::create_directory(dir);
    fs::copy_file(testsupport::CurrentExecutableDir() / "brelon_sdk_tests", dir / "t");
    fs::copy_file(test::SimLibraryPath(), dir / "libzepa.so");
    testsupport::ChildProcess copy;
    ASSERT_TRUE(copy.Start(
        dir / "t", {"--gtest_filter=LoaderLibrary.FindsTheLibrary*"},
        {"BRELON_ZEPA_PATH=",
         "BRELON_TEST_BESIDE=" + std::to_string(folderUnits < 249 ? kLoadOk : kLoadNoLibrary)},
        root / "out.txt"));
    EXPECT_EQ(copy.Wait(), 0) << folderUnits;
  }
}
#endif

TEST(LoaderLibrary, InitWithALibraryLackingAnEntryFailsAndKeepsNoLoader) {
  test::SetEnv("BRELON_ZEPA_PATH", test::SimVariantPath("no_serial").c_str());
  char16_t path[260];
  if (plat::SdkLibraryOverride(path, std::size(path))) {
    void* handle = nullptr;
    EXPECT_EQ(Init(&handle, nullptr, nullptr), BRELON_E_SDK);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(static_cast<PluginContext*>(handle)->pSdk, nullptr);
    EXPECT_EQ(Exit(&handle), BRELON_OK);
  }
  test::SetEnv("BRELON_ZEPA_PATH", nullptr);
}

}  // namespace
}  // namespace brelon
