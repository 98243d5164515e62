// The life-cycle and connection exports: what Init builds and how it fails, that Exit frees
// everything and tolerates repeats, and what IsCameraConnect and GetDeviceInfo report with and
// without a camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/context.h"
#include "sdk/loader.h"
#include "support/sim_harness.h"
#include "support/test_env.h"

namespace brelon {
namespace {

int32_t BRELON_CDECL IgnoreEvent(int32_t, int32_t, void*) {
  return 0;
}

// True when the SDK library sits beside the executable; Init looks for it there unless the
// platform takes another path from BRELON_ZEPA_PATH.
bool LibraryBesideExecutable() {
  char16_t path[260] = {};
  if (!plat::ExecutablePath(path, std::size(path))) return false;
  std::u16string library(path);
  library.resize(library.rfind(plat::PathSeparator()) + 1);
  library += plat::SdkLibraryFileName();
  return plat::FileAttributes(library.c_str()) != plat::kInvalidFileAttributes;
}

// Makes Init find no SDK library, for the life of the object: BRELON_ZEPA_PATH names a file
// that does not exist. Where the platform has no such override (Windows), that works only
// when the executable runs from a folder without the library; Hidden() tells.
class NoSdk {
 public:
  NoSdk() { test::SetEnv("BRELON_ZEPA_PATH", "/nonexistent/folder/libzepa.so"); }
  ~NoSdk() { test::SetEnv("BRELON_ZEPA_PATH", nullptr); }
  static bool Hidden() {
    char16_t path[260];
    return plat::SdkLibraryOverride(path, std::size(path)) || !LibraryBesideExecutable();
  }
};
#define REQUIRE_NO_SDK()                                                       \
  NoSdk noSdk;                                                                 \
  if (!NoSdk::Hidden()) {                                                      \
    GTEST_SKIP() << "the library beside the executable cannot be hidden here"; \
  }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST(InitWithoutSdk, FailsWithMinusOneButKeepsTheContextForExit) {
  REQUIRE_NO_SDK();
  void* handle = nullptr;
  int userData = 0;
  ASSERT_EQ(Init(&handle, &IgnoreEvent, &userData), BRELON_E_SDK);
  ASSERT_NE(handle, nullptr);
  auto* ctx = static_cast<PluginContext*>(handle);
  EXPECT_EQ(ctx->pSdk, nullptr);
  EXPECT_EQ(CTavelSDK::Current(), nullptr);  // the failed loader is gone
  EXPECT_EQ(ctx->hSessionThread, nullptr);
  EXPECT_EQ(ctx->hStopEvent, nullptr);
  EXPECT_NE(ctx->hImageWaitEvent, nullptr);
  EXPECT_EQ(ctx->pfnCallback, &IgnoreEvent);
  EXPECT_EQ(ctx->pCallbackData, &userData);

  EXPECT_EQ(Exit(&handle), BRELON_OK);
  EXPECT_EQ(handle, nullptr);
}

TEST(InitWithoutSdk, ContextStartsZeroedExceptTheDocumentedInitialValues) {
  REQUIRE_NO_SDK();
  void* handle = nullptr;
  ASSERT_EQ(Init(&handle, nullptr, nullptr), BRELON_E_SDK);
  const auto* ctx = static_cast<const PluginContext*>(handle);
  EXPECT_EQ(ctx->lAlwaysOne, 1);
  EXPECT_EQ(ctx->lPriorityMode, 1);
  EXPECT_EQ(ctx->bHostFlag, 1);
  EXPECT_EQ(ctx->pfnCallback, nullptr);
  EXPECT_EQ(ctx->lConnected | ctx->hCamera | ctx->lConnectKind | ctx->lHostCount, 0);
  const auto zero = [](const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
  };
  EXPECT_TRUE(zero(ctx->PreviewBuffer, sizeof(ctx->PreviewBuffer)));
  EXPECT_TRUE(zero(&ctx->DeviceInfo, sizeof(ctx->DeviceInfo)));
  EXPECT_TRUE(zero(&ctx->Property, sizeof(ctx->Property)));
  EXPECT_TRUE(zero(&ctx->Condition, sizeof(ctx->Condition)));
  EXPECT_TRUE(zero(ctx->szPropText, sizeof(ctx->szPropText)));
  EXPECT_EQ(ctx->lPreviewSize[0] | ctx->lPreviewSize[1] | ctx->lPreviewIndex, 0);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
}

// What every query answers without a usable context: minus four, the flag cleared, no record.
void ExpectNothingConnected(void** handle) {
  uint8_t connected = 7;
  EXPECT_EQ(IsCameraConnect(handle, &connected), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(connected, 0);
  DeviceInformation out;
  std::memset(&out, 0xAB, sizeof(out));
  EXPECT_EQ(GetDeviceInfo(handle, &out), BRELON_E_NO_CONTEXT);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&out);
  EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(out), [](uint8_t b) { return b == 0xAB; }));
}

TEST(ConnectionQueries, NoContextGivesMinusFour) {
  EXPECT_EQ(Init(nullptr, nullptr, nullptr), BRELON_E_NO_CONTEXT);
  void* none = nullptr;
  ExpectNothingConnected(nullptr);
  ExpectNothingConnected(&none);
}

TEST(ConnectionQueries, NoCameraGivesMinusFour) {
  REQUIRE_NO_SDK();
  void* handle = nullptr;
  ASSERT_EQ(Init(&handle, nullptr, nullptr), BRELON_E_SDK);
  ExpectNothingConnected(&handle);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
}

// The session thread owns the connection state; without an SDK there is none, so the test
// plays its part and opens a connection by hand.
TEST(ConnectionQueries, OpenConnectionIsReportedAndItsRecordCopiedWhole) {
  REQUIRE_NO_SDK();
  void* handle = nullptr;
  ASSERT_EQ(Init(&handle, nullptr, nullptr), BRELON_E_SDK);
  auto* ctx = static_cast<PluginContext*>(handle);
  for (size_t i = 0; i < sizeof(ctx->DeviceInfo); ++i) {
    reinterpret_cast<uint8_t*>(&ctx->DeviceInfo)[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  std::strcpy(ctx->DeviceInfo.manufacturer, "ORVANTIS");
  ctx->lConnected = 1;

  uint8_t connected = 0;
  EXPECT_EQ(IsCameraConnect(&handle, &connected), BRELON_OK);
  EXPECT_EQ(connected, 1);
  DeviceInformation out;
  std::memset(&out, 0, sizeof(out));
  EXPECT_EQ(GetDeviceInfo(&handle, &out), BRELON_OK);
  EXPECT_EQ(std::memcmp(&out, &ctx->DeviceInfo, sizeof(out)), 0);
  // A null output is refused rather than written through.
  EXPECT_EQ(GetDeviceInfo(&handle, nullptr), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(IsCameraConnect(&handle, nullptr), BRELON_E_NO_CONTEXT);

  // Any value other than 1 is "not connected".
  ctx->lConnected = 2;
  EXPECT_EQ(IsCameraConnect(&handle, &connected), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
}

TEST(ExitCalls, SecondExitAndNullVariablesAreNoOps) {
  void* handle = nullptr;
  const int32_t init = Init(&handle, nullptr, nullptr);  // with or without an SDK
  ASSERT_TRUE(init == BRELON_OK || init == BRELON_E_SDK) << init;
  EXPECT_EQ(Exit(&handle), BRELON_OK);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(Exit(nullptr), BRELON_OK);
}

TEST(InitLogFile, InitStartsTheLogFileAfresh) {
  REQUIRE_NO_SDK();
  const std::string dir = test::TempDir("entry-log");
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  const std::string file = dir + "/ov_plugin.log";
  if (file != plat::LogFilePath()) {
    test::SetEnv("BRELON_LOG_DIR", nullptr);
    GTEST_SKIP() << "the log file cannot be moved on this platform";
  }
  { std::ofstream(file) << "left over from the last run\n"; }

  void* handle = nullptr;
  ASSERT_EQ(Init(&handle, nullptr, nullptr), BRELON_E_SDK);
  const std::string text = ReadFile(file);
  EXPECT_EQ(text.find("left over"), std::string::npos);
  // The first record is Init's own.
  const size_t firstLineEnd = text.find('\n');
  ASSERT_NE(firstLineEnd, std::string::npos) << text;
  EXPECT_NE(text.substr(0, firstLineEnd).find(" - Init()"), std::string::npos) << text;
  EXPECT_EQ(text.substr(firstLineEnd - 11, 11), "|Init start") << text;
  EXPECT_EQ(Exit(&handle), BRELON_OK);

  test::SetEnv("BRELON_LOG_DIR", nullptr);
  std::filesystem::remove_all(dir);
}

// The machine-wide session mutex would make these runs wait behind any other session on the
// machine (a parallel test, a running host); a private lock folder keeps them independent.
class PrivateSessionLock {
 public:
  PrivateSessionLock() : dir_(test::TempDir("entry-lock")) {
    test::SetEnv("BRELON_LOCK_DIR", dir_.c_str());
  }
  ~PrivateSessionLock() {
    test::SetEnv("BRELON_LOCK_DIR", nullptr);
    std::filesystem::remove_all(dir_);
  }

 private:
  std::string dir_;
};

TEST(InitWithSdk, StartsTheSessionThreadAndExitStopsItBeforeUnloading) {
  PrivateSessionLock lock;
  test::SimSession sim;
  plat::SetTimeScale(100);
  void* handle = nullptr;
  int userData = 0;
  ASSERT_EQ(Init(&handle, &IgnoreEvent, &userData), BRELON_OK);
  auto* ctx = static_cast<PluginContext*>(handle);
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->pSdk, nullptr);
  EXPECT_EQ(ctx->pSdk->LoadStatus(), kLoadOk);
  EXPECT_EQ(CTavelSDK::Current(), ctx->pSdk);
  EXPECT_NE(ctx->hSessionThread, nullptr);
  EXPECT_NE(ctx->hStopEvent, nullptr);
  EXPECT_NE(ctx->hImageWaitEvent, nullptr);

  EXPECT_EQ(Exit(&handle), BRELON_OK);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(CTavelSDK::Current(), nullptr);
  // The thread ran and ended the SDK session itself before Exit unloaded the library.
  EXPECT_EQ(sim.Calls("ZEPK_Init").size(), 1u);
  EXPECT_EQ(sim.Calls("ZEPK_Exit").size(), 1u);
  plat::SetTimeScale(1);
}

// Run under the leak checker: every Init's context, events, thread, loader and library must be
// gone after its Exit. The log lock is made once and reused, so it is no per-Init leak either.
TEST(InitWithSdk, HundredInitExitCyclesLeaveNothingBehind) {
  PrivateSessionLock lock;
  test::SimSession sim;
  plat::SetTimeScale(100);
  for (int i = 0; i < 100; ++i) {
    void* handle = nullptr;
    ASSERT_EQ(Init(&handle, nullptr, nullptr), BRELON_OK) << "cycle " << i;
    ASSERT_EQ(Exit(&handle), BRELON_OK) << "cycle " << i;
    ASSERT_EQ(handle, nullptr);
    ASSERT_EQ(CTavelSDK::Current(), nullptr);
  }
  EXPECT_EQ(sim.Calls("ZEPK_Init").size(), 100u);
  EXPECT_EQ(sim.Calls("ZEPK_Exit").size(), 100u);
  plat::SetTimeScale(1);
}

// Without an override the library is looked for beside the executable only. The Windows test
// script also runs this test from a copy of the executable in a folder without the library.
TEST(InitBesideExecutable, ResultFollowsWhetherTheLibrarySitsBesideTheExecutable) {
  test::SetEnv("BRELON_ZEPA_PATH", nullptr);
  const bool present = LibraryBesideExecutable();

  void* handle = nullptr;
  EXPECT_EQ(Init(&handle, nullptr, nullptr), present ? BRELON_OK : BRELON_E_SDK)
      << (present ? "library present" : "library absent");
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
  EXPECT_EQ(handle, nullptr);
}

}  // namespace
}  // namespace brelon
