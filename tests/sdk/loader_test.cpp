// The loader against real libraries (an absent one, the simulated SDK and its variants lacking
// entries), and its timed release against scripted SDK entries: the answer, the calls made and
// their order, the time-out and release stamp it leaves, and event 107.
#include "sdk/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing.h"
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

TEST(LoaderLibrary, ResolvesEveryEntryOrNoneAndAcceptsALibraryWithoutPropertyEntries) {
  auto absent = LoaderAt("/nonexistent/folder/libzepa.so");  // any platform: no such file
  EXPECT_EQ(absent->LoadStatus(), kLoadNoLibrary);
  EXPECT_TRUE(absent->Module() == nullptr && absent->m_pfnInit == nullptr && absent->SdkLock());
  {
    test::SimLibrary library(test::SimLibraryPath());
    auto sdk = LoaderAt(test::SimLibraryPath());
    ASSERT_EQ(sdk->LoadStatus(), kLoadOk);
    EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnInit), library.Symbol("ZEPK_Init"));
    EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnRawRelease), library.Symbol("ZEPK_Release"));
    EXPECT_EQ(sdk->m_pfnRelease, &CTavelSDK::ReleaseAndWait);
    EXPECT_EQ(reinterpret_cast<void*>(sdk->m_pfnGetSerialNo), library.Symbol("ZEPK_GetSerialNo"));
  }
  EXPECT_EQ(CTavelSDK::Current(), absent.get()) << "the first loader stays current";
  absent.reset();
  EXPECT_EQ(CTavelSDK::Current(), nullptr);

  // Nothing may point into a library unloaded for lacking an entry.
  auto noSerial = LoaderAt(test::SimVariantPath("no_serial"));
  EXPECT_EQ(noSerial->LoadStatus(), kLoadMissingEntry);
  EXPECT_TRUE(noSerial->Module() == nullptr && noSerial->m_pfnInit == nullptr &&
              noSerial->m_pfnGetProp == nullptr);
  auto noProp = LoaderAt(test::SimVariantPath("no_prop"));
  ASSERT_EQ(noProp->LoadStatus(), kLoadOk);
  EXPECT_NE(noProp->m_pfnGetSerialNo, nullptr);
  int32_t value = 0;
  EXPECT_EQ(noProp->SetProp(1, 0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(noProp->GetProp(1, 0x4220, 2, 1, &value), ZEPK_FAILED);
  EXPECT_EQ(noProp->CapProp(1, 0x3301, 0), ZEPK_FAILED);
  noSerial.reset();
  noProp.reset();
}

#if !defined(_WIN32)
// The library path, given or beside the executable, is used only where it fits the 260-unit
// buffer with its terminator, never cut: a copy of this program runs from folders one unit
// either side of that limit.
TEST(LoaderLibrary, UsesALibraryPathOnlyWhereItFitsWhole) {
  if (const char* want = std::getenv("BRELON_TEST_BESIDE")) {  // in the copy
    EXPECT_EQ(CTavelSDK(nullptr, nullptr).LoadStatus(), std::atoi(want));
    return;
  }
  const std::string lib = test::SimLibraryPath();
  const size_t slash = lib.rfind('/');
  for (size_t units : {259u, 260u}) {
    const std::string padded =
        lib.substr(0, slash) + std::string(units - lib.size(), '/') + lib.substr(slash);
    EXPECT_EQ(LoaderAt(padded)->LoadStatus(), units < 260 ? kLoadOk : kLoadNoLibrary) << units;
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
        dir / "t", {"--gtest_filter=LoaderLibrary.UsesALibraryPath*"},
        {"BRELON_ZEPA_PATH=",
         "BRELON_TEST_BESIDE=" + std::to_string(folderUnits < 249 ? kLoadOk : kLoadNoLibrary)},
        root / "out.txt"));
    EXPECT_EQ(copy.Wait(), 0) << folderUnits;
  }
}
#endif

constexpr int32_t kCamera = 77;
constexpr int32_t kCodeHour = 64000180;  // 60'00": a time-out no slow machine reaches
constexpr int64_t kMargin = 15000000;    // the release's margin beyond the exposure, in us

struct Script {  // what the scripted SDK answers, and the calls it saw
  // Buffer counts in call order, the last one repeating; a negative one fails the read.
  std::vector<int32_t> counts = {1, 2};
  int32_t shutterResult = ZEPK_OK, shutterCode = 976, bulb = 0;  // 976: 1/1000 s
  int32_t releaseResult = ZEPK_OK, capReleaseResult = ZEPK_OK, capReleaseCount = 2;
  int32_t listShrink = 0;  // the list call reports this many modes fewer than the count call
  std::vector<int32_t> modes = {0x104, 0x304};
  std::string calls = {};
  size_t capacityCalls = 0;
  int events = 0;
} g_script;

int32_t BRELON_CDECL FakeCapacity(int32_t, int32_t* count, int32_t*) {
  g_script.calls += " cap";
  *count = g_script.counts[std::min(++g_script.capacityCalls, g_script.counts.size()) - 1];
  return *count < 0 ? *count : ZEPK_OK;
}
int32_t BRELON_CDECL FakeShutter(int32_t, int32_t* code, int32_t* bulb) {
  g_script.calls += " shutter";
  *code = g_script.shutterCode;
  *bulb = g_script.bulb;
  return g_script.shutterResult;
}
int32_t BRELON_CDECL FakeRelease(int32_t, int32_t mode, ZepkArg a3, ZepkArg a4) {
  EXPECT_EQ(a3 * 100 + a4, 1122) << "passed on unchanged";
  g_script.calls += " rel" + std::to_string(mode);
  return g_script.releaseResult;
}
int32_t BRELON_CDECL FakeCapRelease(int32_t, int32_t* count, int32_t* modes) {
  g_script.calls += modes ? " list" : " count";
  if (g_script.capReleaseResult != ZEPK_OK) return g_script.capReleaseResult;
  *count = g_script.capReleaseCount - (modes ? g_script.listShrink : 0);
  for (size_t i = 0; modes && i < g_script.modes.size(); ++i) modes[i] = g_script.modes[i];
  return ZEPK_OK;
}
// Event 107 as the host sees it, on the camera released.
int32_t BRELON_CDECL CountEvent(int32_t camera, int32_t event, void*) {
  g_script.events += camera == kCamera && event == BRELON_EV_RELEASE_MODE_0F;
  return 0;
}

// A fresh loader without a library, its table filled with the scripted entries.
std::unique_ptr<CTavelSDK> Load(const Script& script, std::unique_ptr<CTavelSDK>& old) {
  old.reset();
  g_script = script;
  auto sdk = std::make_unique<CTavelSDK>(&CountEvent, nullptr, u"/nonexistent/folder/no-sdk");
  EXPECT_EQ(CTavelSDK::Current(), sdk.get());
  sdk->m_pfnGetBufferCapacity = &FakeCapacity;
  sdk->m_pfnGetShutterSpeed = &FakeShutter;
  sdk->m_pfnRawRelease = &FakeRelease;
  sdk->m_pfnCapRelease = &FakeCapRelease;
  return sdk;
}
int32_t Release(int32_t mode) {
  return CTavelSDK::ReleaseAndWait(kCamera, mode, 11, 22);
}

TEST(TimedRelease, AnswerCallsTimeoutStampAndEventFollowTheSdkAnswers) {
  EXPECT_EQ(Release(0x304), ZEPK_FAILED) << "no loader: nothing to call through";
  plat::SetTimeScale(2000);  // 30 s of time-out pass in 15 ms
  std::vector<int32_t> longList(512, 0x104);
  longList.back() = 0x0F;
  const std::string full = "0: cap shutter rel772 count ";  // a full press that counted
  const struct {
    Script script;
    int32_t mode;
    std::string want;  // result: calls | time-out, stamped, events 107
  } kCases[] = {
      // clang-format off
      // A changed count ends the wait, a decrease too, an unlisted code after one sleep.
      {{.counts = {4, 5}}, 0x304, full + "list cap | 30002000 s0"},
      {{.counts = {9, 9, 9, 8}, .shutterCode = kCodeHour}, 0x104,
       "0: cap shutter rel260 count list cap cap cap | 7230000000 s0"},
      {{.counts = {3}, .shutterCode = 245}, 0x0C, "8194: cap shutter rel12 count list cap | 0 s0"},
      // A bulb entry without the bulb flag takes the table's time.
      {{.shutterCode = -1}, 0x304, full + "list cap | 29999998 s0"},
      {{.counts = {3, 3, 3, -7}, .shutterCode = kCodeHour},
       0x304, "-7: cap shutter rel772 count list cap cap cap | 7230000000 s0"},
      // 0x0C releases after a failed read and answers the read's code; the presses do not.
      {{.counts = {-1}}, 0x0C, "-1: cap rel12 | 0 -0"},
      {{.shutterResult = -9, .releaseResult = -4}, 0x0C, "-9: cap shutter rel12 | 0 -0"},
      {{.counts = {-1}}, 0x104, "-1: cap | 0 -0"},
      {{.shutterResult = -2}, 0x304, "-2: cap shutter | 0 -0"},
      {{.releaseResult = 0x1234, .modes = {0x0F}}, 0x304, "4660: cap shutter rel772 | 30002000 -0"},
      // Other modes pass straight through; 0x500 stamps even when refused.
      {{.releaseResult = 0x55}, 0x04, "85: rel4 | 0 -0"},
      {{.releaseResult = ZEPK_FAILED}, 0x500, "-1: rel1280 | 0 s0"},
      // Event 107 when the camera lists mode 0x0F within the count it reported, and only a
      // list that fits the 512-entry buffer is asked for.
      {{.capReleaseCount = 3, .modes = {0x104, 0x0F, 0x304}}, 0x304, full + "list cap | 30002000 s1"},
      {{.modes = {0x104, 0x304, 0x0F}}, 0x304, full + "list cap | 30002000 s0"},
      {{.capReleaseCount = 512, .modes = longList}, 0x304, full + "list cap | 30002000 s1"},
      {{.capReleaseCount = 513, .modes = longList}, 0x304, full + "cap | 30002000 s0"},
      {{.listShrink = 3, .modes = {0x0F}}, 0x304, full + "list cap | 30002000 s0"},
      {{.capReleaseCount = 0}, 0x304, full + "cap | 30002000 s0"},
      {{.capReleaseCount = -3}, 0x304, full + "cap | 30002000 s0"},
      {{.capReleaseResult = ZEPK_FAILED}, 0x304, full + "cap | 30002000 s0"},
      // clang-format on
  };
  std::unique_ptr<CTavelSDK> sdk;
  for (const auto& c : kCases) {
    sdk = Load(c.script, sdk);
    const int64_t before = plat::NowTicks();
    const int32_t result = Release(c.mode);
    EXPECT_LE(sdk->ReleaseStampTicks(), plat::NowTicks());
    EXPECT_EQ(std::to_string(result) + ":" + g_script.calls + " | " +
                  std::to_string(sdk->ReleaseTimeoutMicros()) +
                  (sdk->ReleaseStampTicks() >= before ? " s" : " -") +
                  std::to_string(g_script.events),
              c.want);
  }

  // Bulb and 0x0F wait for the time since the last stamp (0x500 opens the exposure) and keep it.
  sdk = Load({}, sdk);
  EXPECT_EQ(Release(0x500), ZEPK_OK);
  const int64_t stamp = sdk->ReleaseStampTicks();
  ASSERT_NE(stamp, 0);
  g_script.bulb = 1;
  g_script.shutterCode = -1;
  for (int32_t mode : {0x304, 0x0F}) {
    plat::SleepMs(1000);  // a (scaled) second of exposure
    g_script.capacityCalls = 0;
    const int64_t before = plat::NowTicks();
    EXPECT_EQ(Release(mode), ZEPK_OK);
    const int64_t after = plat::NowTicks();
    EXPECT_EQ(sdk->ReleaseStampTicks(), stamp);
    EXPECT_GE(sdk->ReleaseTimeoutMicros(), 2 * ((before - stamp) / 10 + kMargin)) << mode;
    EXPECT_LE(sdk->ReleaseTimeoutMicros(), 2 * ((after - stamp) / 10 + kMargin)) << mode;
  }
  const int64_t timeout = sdk->ReleaseTimeoutMicros();
  g_script.releaseResult = ZEPK_FAILED;
  EXPECT_EQ(Release(0x0F), ZEPK_FAILED);
  EXPECT_EQ(sdk->ReleaseTimeoutMicros(), timeout) << "a refused 0x0F leaves the time-out";
  sdk.reset();
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
