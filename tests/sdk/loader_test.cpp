// The loader against real libraries: the simulated SDK and its variants lacking an entry point,
// and the timed release driven through a connected camera, checked by the SDK's call trace.
#include "sdk/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/log.h"
#include "support/connected_context.h"
#include "support/sim_harness.h"
#include "support/test_env.h"

namespace brelon {
namespace {

// A loader of the library at `path`, for the life of the object.
class LoaderAt {
 public:
  explicit LoaderAt(const std::string& path) {
    std::u16string wide(path.size() + 1, u'\0');
    wide.resize(plat::AnsiToWide(path.c_str(), path.size(), wide.data(), wide.size()));
    sdk_ = std::make_unique<CTavelSDK>(nullptr, nullptr, wide.c_str());
  }
  CTavelSDK& operator*() { return *sdk_; }
  CTavelSDK* operator->() { return sdk_.get(); }

 private:
  std::unique_ptr<CTavelSDK> sdk_;
};

// True when BRELON_ZEPA_PATH decides which library Init loads. Windows always takes the one
// beside the executable.
bool InitLibraryCanBeChosen() {
  char16_t path[260];
  test::SetEnv("BRELON_ZEPA_PATH", "probe");
  const bool honoured = plat::SdkLibraryOverride(path, std::size(path));
  test::SetEnv("BRELON_ZEPA_PATH", nullptr);
  return honoured;
}

TEST(LoaderLibrary, AbsentLibraryGivesMinusOneAndNoEntries) {
  {
    LoaderAt sdk("/nonexistent/folder/libzepa.so");  // any platform: no such file
    EXPECT_EQ(sdk->LoadStatus(), kLoadNoLibrary);
    EXPECT_EQ(sdk->Module(), nullptr);
    EXPECT_EQ(sdk->m_pfnInit, nullptr);
    EXPECT_EQ(sdk->m_pfnRawRelease, nullptr);
    EXPECT_NE(sdk->SdkLock(), nullptr);
    EXPECT_EQ(CTavelSDK::Current(), &*sdk);  // published whatever the outcome
  }
  EXPECT_EQ(CTavelSDK::Current(), nullptr);
}

TEST(LoaderLibrary, CompleteLibraryResolvesEveryEntryToItsOwnName) {
  test::SimLibrary library(test::SimLibraryPath());
  ASSERT_TRUE(library.Loaded());
  LoaderAt sdk(test::SimLibraryPath());
  ASSERT_EQ(sdk->LoadStatus(), kLoadOk);
  EXPECT_NE(sdk->Module(), nullptr);
  // First, last and the irregular ones of the table.
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnInit), library.Symbol("ZEPK_Init"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnExit), library.Symbol("ZEPK_Exit"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnCapRelease), library.Symbol("ZEPK_CapRelease"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnRawRelease), library.Symbol("ZEPK_Release"));
  EXPECT_EQ(sdk->m_pfnRelease, &CTavelSDK::ReleaseAndWait);
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetReleaseStatus),
            library.Symbol("ZEPK_GetReleaseStatus"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetAperture), library.Symbol("ZEPK_GetAperture"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnCapProp), library.Symbol("ZEPK_CapProp"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnSetProp), library.Symbol("ZEPK_SetProp"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetProp), library.Symbol("ZEPK_GetProp"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnOpenEx), library.Symbol("ZEPK_OpenEx"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetSerialNo), library.Symbol("ZEPK_GetSerialNo"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnSetWBColorTemp),
            library.Symbol("ZEPK_SetWBColorTemp"));
  EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetBufferCapacity),
            library.Symbol("ZEPK_GetBufferCapacity"));
}

TEST(LoaderLibrary, MissingRequiredEntryFreesTheLibraryWithMinusTwo) {
  LoaderAt sdk(test::SimVariantPath("no_serial"));
  EXPECT_EQ(sdk->LoadStatus(), kLoadMissingEntry);
  EXPECT_EQ(sdk->Module(), nullptr);
  // Nothing may point into the library that was just unloaded.
  EXPECT_EQ(sdk->m_pfnInit, nullptr);
  EXPECT_EQ(sdk->m_pfnRawRelease, nullptr);
  EXPECT_EQ(sdk->m_pfnGetSerialNo, nullptr);
}

TEST(LoaderLibrary, MissingRequiredEntryMakesInitFailWithMinusOne) {
  if (!InitLibraryCanBeChosen())
    GTEST_SKIP() << "Init loads only the library beside the executable";
  test::SetEnv("BRELON_ZEPA_PATH", test::SimVariantPath("no_serial").c_str());
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
  {
    LoaderAt sdk(test::SimVariantPath("no_prop"));
    ASSERT_EQ(sdk->LoadStatus(), kLoadOk);
    EXPECT_NE(sdk->Module(), nullptr);
    EXPECT_EQ(sdk->m_pfnCapProp, nullptr);
    EXPECT_EQ(sdk->m_pfnSetProp, nullptr);
    EXPECT_EQ(sdk->m_pfnGetProp, nullptr);
    EXPECT_NE(sdk->m_pfnGetSerialNo, nullptr);
    int32_t value = 0;
    EXPECT_EQ(sdk->SetProp(1, 0x3301, 0), ZEPK_FAILED);
    EXPECT_EQ(sdk->GetProp(1, 0x4220, 2, 1, &value), ZEPK_FAILED);
    EXPECT_EQ(sdk->CapProp(1, 0x3301, 0), ZEPK_FAILED);
  }
  if (dir + "/ov_plugin.log" == plat::LogFilePath()) {  // the log can be read back (POSIX)
    std::ifstream in(dir + "/ov_plugin.log");
    std::stringstream text;
    text << in.rdbuf();
    for (const char* expected :
         {"|ZEPK_SetProp missing\n", "|ZEPK_GetProp missing\n", "|ZEPK_CapProp missing\n"}) {
      EXPECT_NE(text.str().find(expected), std::string::npos) << expected << "\n" << text.str();
    }
  }
  test::SetEnv("BRELON_LOG_DIR", nullptr);
}

// ---- The timed release on a connected simulated camera --------------------------------------
// The release's rules are proven against scripted entries in the release suite; these runs
// show the same wait working through a real library, its trace and the host's callback.

constexpr uint32_t kTimeScale = 100;  // 30 s of nominal wait pass in 0.3 s

struct Camera {
  std::string releaseModes = "260,512,772";
  int32_t shutterCode = 976;
  int32_t bulb = 0;
  int32_t delayMs = 0;  // the simulator's capture delay is real time
};

std::string ConfigJson(const Camera& c) {
  return R"({"cameras":[{"manufacturer":"ORVANTIS","model":"K-M3","connect":["usb"],)"
         R"("release_modes":[)" +
         c.releaseModes + R"(],"shutter_code":)" + std::to_string(c.shutterCode) + R"(,"bulb":)" +
         std::to_string(c.bulb) + R"(,"capture":{"format":"jpeg","delay_ms":)" +
         std::to_string(c.delayMs) + "}}]}";
}

class ReleaseOnSimCamera : public testing::Test {
 protected:
  void SetUp() override { plat::SetTimeScale(kTimeScale); }
  void TearDown() override {
    camera_.reset();
    plat::SetTimeScale(1);
  }
  void Connect(const Camera& setup) {
    camera_ = std::make_unique<test::ConnectedContext>(ConfigJson(setup));
    ASSERT_TRUE(camera_->Connected());
    camera_->Sim().ClearTrace();
  }
  // As the release export does: under the SDK lock, through the entry table.
  int32_t Release(int32_t mode) {
    CTavelSDK* sdk = camera_->Context()->pSdk;
    plat::LockGuard hold(sdk->SdkLock());
    return sdk->m_pfnRelease(camera_->Context()->hCamera, mode, 0, 0);
  }
  size_t Count(const char* fn) { return camera_->Sim().Calls(fn).size(); }
  CTavelSDK& Sdk() { return *camera_->Context()->pSdk; }
  int Events107() {
    const std::vector<int32_t> events = camera_->Events();
    return static_cast<int>(std::count(events.begin(), events.end(), BRELON_EV_RELEASE_MODE_0F));
  }

  std::unique_ptr<test::ConnectedContext> camera_;
};

TEST_F(ReleaseOnSimCamera, PictureInTheBufferAtOnceAnswersWithoutPolling) {
  Connect({});
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(Count("ZEPK_Release"), 1u);
  EXPECT_EQ(Count("ZEPK_GetBufferCapacity"), 2u);  // before and after the release only
  EXPECT_EQ(Sdk().ReleaseTimeoutMicros(), 30002000);
  EXPECT_EQ(camera_->Sim().Control(R"({"cmd":"pending","camera":0})"), 1);
  EXPECT_EQ(Events107(), 0) << "the camera does not list mode 0x0F";
}

TEST_F(ReleaseOnSimCamera, NoPictureWithinTheTimeoutAnswers0x2002) {
  Connect({.delayMs = 600000});  // the picture arrives long after the wait has given up
  const int64_t start = plat::NowTicks();
  EXPECT_EQ(Release(0x104), BRELON_RELEASE_TIMEOUT);
  EXPECT_GE((plat::NowTicks() - start) / 10, 30002000);
  // Polled every 78 ms: never more reads than sleeps fit in the time-out, and more than one.
  EXPECT_LE(Count("ZEPK_GetBufferCapacity"), 2u + 385u);
  EXPECT_GE(Count("ZEPK_GetBufferCapacity"), 4u);
}

TEST_F(ReleaseOnSimCamera, BulbReleaseWaitsFromTheExposureStartAndKeepsTheStamp) {
  Connect({.shutterCode = -1, .bulb = 1});
  const int64_t before = plat::NowTicks();
  EXPECT_EQ(Release(0x500), ZEPK_OK);  // opens the exposure
  const int64_t stamp = Sdk().ReleaseStampTicks();
  EXPECT_GE(stamp, before);
  plat::SleepMs(5000);
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(Sdk().ReleaseStampTicks(), stamp);
  EXPECT_GE(Sdk().ReleaseTimeoutMicros(), 2 * (5000000 + 15000000));
}

TEST_F(ReleaseOnSimCamera, CameraListingMode0FGetsEvent107) {
  Connect({.releaseModes = "260,15,772"});
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(Events107(), 1);
}

}  // namespace
}  // namespace brelon
