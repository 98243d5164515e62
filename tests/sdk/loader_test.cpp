// The loader against real libraries: the simulated SDK, its variants lacking entry points, and
// one timed release through a connected camera, its trace and the host's event callback.
#include "sdk/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "base/log.h"
#include "support/connected_context.h"
#include "support/sim_harness.h"
#include "support/test_env.h"

namespace brelon {
namespace {

// A loader of the library at `path`.
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
  LoaderAt("/nonexistent/folder/libzepa.so").reset();  // a later loader takes nothing from it
  EXPECT_EQ(CTavelSDK::Current(), sdk.get());
  sdk.reset();
  EXPECT_EQ(CTavelSDK::Current(), nullptr);
}

TEST(LoaderLibrary, CompleteLibraryResolvesTheIrregularEntriesToTheirOwnNames) {
  test::SimLibrary library(test::SimLibraryPath());
  auto sdk = LoaderAt(test::SimLibraryPath());
  ASSERT_EQ(sdk->LoadStatus(), kLoadOk);
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnInit), library.Symbol("ZEPK_Init"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnRawRelease), library.Symbol("ZEPK_Release"));
  EXPECT_EQ(sdk->m_pfnRelease, &CTavelSDK::ReleaseAndWait);
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetProp), library.Symbol("ZEPK_GetProp"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetBufferCapacity),
            library.Symbol("ZEPK_GetBufferCapacity"));
}

TEST(LoaderLibrary, MissingRequiredEntryFreesTheLibraryWithMinusTwoAndInitFails) {
  auto sdk = LoaderAt(test::SimVariantPath("no_serial"));
  EXPECT_EQ(sdk->LoadStatus(), kLoadMissingEntry);
  EXPECT_EQ(sdk->Module(), nullptr);
  // Nothing may point into the library that was just unloaded.
  EXPECT_EQ(sdk->m_pfnInit, nullptr);
  EXPECT_EQ(sdk->m_pfnGetSerialNo, nullptr);
  sdk.reset();
  char16_t path[260];
  test::SetEnv("BRELON_ZEPA_PATH", test::SimVariantPath("no_serial").c_str());
  if (!plat::SdkLibraryOverride(path, std::size(path))) {
    test::SetEnv("BRELON_ZEPA_PATH", nullptr);
    GTEST_SKIP() << "Init loads only the library beside the executable";
  }
  void* handle = nullptr;
  EXPECT_EQ(Init(&handle, nullptr, nullptr), BRELON_E_SDK);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(static_cast<PluginContext*>(handle)->pSdk, nullptr);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
  test::SetEnv("BRELON_ZEPA_PATH", nullptr);
}

TEST(LoaderLibrary, LibraryWithoutPropertyEntriesIsAcceptedAndItsPropertyCallsRefused) {
  const std::string dir = test::TempDir("loader-log");
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  InitLog();
  auto sdk = LoaderAt(test::SimVariantPath("no_prop"));
  ASSERT_EQ(sdk->LoadStatus(), kLoadOk);
  EXPECT_NE(sdk->m_pfnGetSerialNo, nullptr);
  int32_t value = 0;
  EXPECT_EQ(sdk->SetProp(1, 0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(sdk->GetProp(1, 0x4220, 2, 1, &value), ZEPK_FAILED);
  EXPECT_EQ(sdk->CapProp(1, 0x3301, 0), ZEPK_FAILED);
  sdk.reset();
  if (dir + "/ov_plugin.log" == plat::LogFilePath()) {  // the log can be read back (POSIX)
    std::stringstream text;
    text << std::ifstream(dir + "/ov_plugin.log").rdbuf();
    for (const char* fn :
         {"|ZEPK_SetProp missing\n", "|ZEPK_GetProp missing\n", "|ZEPK_CapProp missing\n"}) {
      EXPECT_NE(text.str().find(fn), std::string::npos) << fn << "\n" << text.str();
    }
  }
  test::SetEnv("BRELON_LOG_DIR", nullptr);
}

// The release's rules are proven against scripted entries in the release suite; this run shows
// the wait answering through a real library, and event 107 reaching the host's callback.
TEST(ReleaseOnSimCamera, PictureAtOnceAnswersWithoutPollingAndMode0FListedRaisesEvent107) {
  plat::SetTimeScale(100);
  for (const bool listed : {false, true}) {
    SCOPED_TRACE(listed);
    test::ConnectedContext camera(
        std::string(R"({"cameras":[{"release_modes":[260,)") + (listed ? "15," : "") +
        R"(772],"shutter_code":976,"capture":{"format":"jpeg","delay_ms":0}}]})");
    ASSERT_TRUE(camera.Connected());
    camera.Sim().ClearTrace();
    CTavelSDK* sdk = camera.Context()->pSdk;
    {
      plat::LockGuard hold(sdk->SdkLock());  // as the release export calls it
      EXPECT_EQ(sdk->m_pfnRelease(camera.Context()->hCamera, 0x304, 0, 0), ZEPK_OK);
    }
    EXPECT_EQ(camera.Sim().Calls("ZEPK_GetBufferCapacity").size(), 2u) << "before and after";
    EXPECT_EQ(sdk->ReleaseTimeoutMicros(), 30002000);
    EXPECT_EQ(camera.Sim().Control(R"({"cmd":"pending","camera":0})"), 1);
    const std::vector<int32_t> events = camera.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), BRELON_EV_RELEASE_MODE_0F), listed);
  }
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
