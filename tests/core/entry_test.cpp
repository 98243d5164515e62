// The life-cycle and connection exports: what Init builds and how it fails, that it refuses a
// second live context, that Exit tolerates repeats, and what IsCameraConnect and GetDeviceInfo
// report.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "base/context.h"
#include "sdk/loader.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

int32_t BRELON_CDECL IgnoreEvent(int32_t, int32_t, void*) {
  return 0;
}

// Without a usable context or camera: minus four, the flag cleared, the record untouched.
void ExpectNothingConnected(void** handle) {
  uint8_t connected = 7;
  EXPECT_EQ(IsCameraConnect(handle, &connected), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(connected, 0);
  DeviceInformation out, before;
  std::memset(&before, 0xAB, sizeof(before));
  out = before;
  EXPECT_EQ(GetDeviceInfo(handle, &out), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(std::memcmp(&out, &before, sizeof(out)), 0);
}

// Init starts the log file afresh with its own record. Without an SDK the test then plays the
// session thread and marks a connection by hand.
TEST(InitWithoutSdk, FailsWithMinusOneKeepsAContextForExitAndAnswersOnlyAnOpenConnection) {
  test::SetEnv("BRELON_ZEPA_PATH", "/nonexistent/folder/libzepa.so");
  char16_t overridePath[260];
  if (!plat::SdkLibraryOverride(overridePath, 260)) GTEST_SKIP() << "the SDK cannot be hidden";
  EXPECT_EQ(Init(nullptr, nullptr, nullptr), BRELON_E_NO_CONTEXT);
  void* none = nullptr;
  ExpectNothingConnected(nullptr);
  ExpectNothingConnected(&none);
  const std::string dir = test::TempDir("entry-log"), file = dir + "/ov_plugin.log";
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  std::ofstream(file) << "left over from the last run\n";
  void* handle = nullptr;
  int userData = 0;
  ASSERT_EQ(Init(&handle, &IgnoreEvent, &userData), BRELON_E_SDK);
  ASSERT_NE(handle, nullptr);
  if (file == plat::LogFilePath()) {
    std::string first;
    std::getline(std::ifstream(file, std::ios::binary) >> std::ws, first);
    EXPECT_NE(first.find(" - Init()"), std::string::npos) << first;
    EXPECT_EQ(first.substr(first.size() - 11), "|Init start") << first;
  }
  test::SetEnv("BRELON_LOG_DIR", nullptr);
  auto* ctx = static_cast<PluginContext*>(handle);
  EXPECT_EQ(CTavelSDK::Current(), nullptr) << "the failed loader is gone";
  EXPECT_EQ((std::vector<const void*>{ctx->pSdk, ctx->hSessionThread, ctx->hStopEvent}),
            (std::vector<const void*>(3, nullptr)));
  ASSERT_NE(ctx->hImageWaitEvent, nullptr);
  EXPECT_EQ(plat::EventWait(ctx->hImageWaitEvent, 0), plat::WaitResult::kTimeout) << "no image yet";
  EXPECT_EQ(ctx->pfnCallback, &IgnoreEvent);
  EXPECT_EQ(ctx->pCallbackData, &userData);
  EXPECT_EQ((std::vector<int32_t>{ctx->lAlwaysOne, ctx->lPriorityMode, ctx->bHostFlag}),
            (std::vector<int32_t>{1, 1, 1}));
  EXPECT_EQ(ctx->lConnected | ctx->hCamera | ctx->lConnectKind | ctx->lHostCount, 0);
  void* retry = nullptr;  // a context without SDK does not hold the plug-in
  EXPECT_EQ(Init(&retry, nullptr, nullptr), BRELON_E_SDK);
  EXPECT_EQ(Exit(&retry), BRELON_OK);

  ExpectNothingConnected(&handle);
  for (size_t i = 0; i < sizeof(ctx->DeviceInfo); ++i) {
    reinterpret_cast<uint8_t*>(&ctx->DeviceInfo)[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  ctx->lConnected = 1;
  uint8_t connected = 0;
  EXPECT_EQ(IsCameraConnect(&handle, &connected), BRELON_OK);
  EXPECT_EQ(connected, 1);
  DeviceInformation out{};
  EXPECT_EQ(GetDeviceInfo(&handle, &out), BRELON_OK);
  EXPECT_EQ(std::memcmp(&out, &ctx->DeviceInfo, sizeof(out)), 0);
  EXPECT_EQ(GetDeviceInfo(&handle, nullptr), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(IsCameraConnect(&handle, nullptr), BRELON_E_NO_CONTEXT);
  ctx->lConnected = 2;  // anything but 1 is "not connected"
  ExpectNothingConnected(&handle);
  for (int i = 0; i < 2; ++i) {  // a second Exit is a no-op
    EXPECT_EQ(Exit(&handle), BRELON_OK);
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_EQ(Exit(nullptr), BRELON_OK);
  test::SetEnv("BRELON_ZEPA_PATH", nullptr);
}

// A second Init is refused and cannot take the release or session from the live context, whose
// camera works on through the other's Exit. Without an override: the library beside the program.
TEST(SecondInit, IsRefusedWhileAContextLivesAndLeavesTheFirstWorking) {
  plat::SetTimeScale(10);
  {
    test::ConnectedContext first;
    EXPECT_TRUE(first.Connected());
    void* second = &second;
    EXPECT_EQ(Init(&second, nullptr, nullptr), BRELON_E_SDK);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(Exit(&second), BRELON_OK);
    void* const live = *first.Handle();  // a repeated Init on its own variable keeps it there
    EXPECT_EQ(Init(first.Handle(), nullptr, nullptr), BRELON_E_SDK);
    EXPECT_EQ(*first.Handle(), live);
    uint8_t connected = 0;
    EXPECT_EQ(IsCameraConnect(first.Handle(), &connected), BRELON_OK);
    EXPECT_EQ(Shoot(first.Handle()), BRELON_OK);
  }
  test::ConnectedContext again;
  EXPECT_EQ(again.InitResult(), BRELON_OK);
  plat::SetTimeScale(1);
}

TEST(InitBesideExecutable, ResultFollowsWhetherTheLibrarySitsBesideTheExecutable) {
  test::SetEnv("BRELON_ZEPA_PATH", nullptr);
  char16_t path[260] = {};
  ASSERT_TRUE(plat::ExecutablePath(path, std::size(path)));
  std::u16string library(path);
  library.resize(library.rfind(plat::PathSeparator()) + 1);
  const bool present = plat::FileAttributes((library + plat::SdkLibraryFileName()).c_str()) !=
                       plat::kInvalidFileAttributes;
  void* handle = nullptr;
  EXPECT_EQ(Init(&handle, nullptr, nullptr), present ? BRELON_OK : BRELON_E_SDK) << present;
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(Exit(&handle), BRELON_OK);
}

}  // namespace
}  // namespace brelon
