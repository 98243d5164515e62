// The loader against real libraries, and its timed release against scripted SDK entries: the
// answer, the calls made, the time-out and release stamp it leaves, and event 107.
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

namespace brelon {
namespace {

#if !defined(_WIN32)
std::unique_ptr<CTavelSDK> LoaderAt(const std::string& path) {
  std::u16string wide(path.size() + 1, u'\0');
  wide.resize(plat::AnsiToWide(path.c_str(), path.size(), wide.data(), wide.size()));
  return std::make_unique<CTavelSDK>(nullptr, nullptr, wide.c_str());
}

// A library path, given or beside (a copy of) this program, is used only where it fits whole.
TEST(LoaderLibrary, UsesALibraryPathOnlyWhereItFitsWhole) {
  if (const char* want = std::getenv("BRELON_TEST_BESIDE")) {  // in the copy
    EXPECT_EQ(CTavelSDK(nullptr, nullptr).LoadStatus(), std::atoi(want));
    return;
  }
  namespace fs = std::filesystem;
  const std::string lib = test::SimLibraryPath();
  const size_t slash = lib.rfind('/');
  const fs::path root = test::TempDir("beside");
  for (size_t units : {259u, 260u}) {  // with the terminator: 260 fit, 261 do not
    const int32_t want = units < 260 ? kLoadOk : kLoadNoLibrary;
    const std::string padded = std::string(units - lib.size(), '/') + lib.substr(slash);
    EXPECT_EQ(LoaderAt(lib.substr(0, slash) + padded)->LoadStatus(), want) << units;
    const fs::path dir = root / std::string(units - 12 - root.string().size(), 'd');
    fs::create_directory(dir);
    fs::copy_file(testsupport::CurrentExecutableDir() / "brelon_sdk_tests", dir / "t");
    fs::copy_file(lib, dir / "libzepa.so");
    testsupport::ChildProcess copy;
    ASSERT_TRUE(copy.Start(dir / "t", {"--gtest_filter=LoaderLibrary.UsesALibraryPath*"},
                           {"BRELON_ZEPA_PATH=", "BRELON_TEST_BESIDE=" + std::to_string(want)},
                           root / "out.txt"));
    EXPECT_EQ(copy.Wait(), 0) << units;
  }
}
#endif

constexpr int32_t kCamera = 77;

struct Script {  // what the scripted SDK answers, and the calls it saw
  // Buffer counts in call order, the last one repeating; a negative one fails the read.
  std::vector<int32_t> counts = {1, 2}, modes = {0x104, 0x304};
  int32_t shutterCode = 976 /* 1/1000 s */, bulb = 0, releaseResult = ZEPK_OK, capReleaseCount = 2;
  std::string calls = {};
  int events = 0, capacityCalls = 0;
} g_script;

int32_t BRELON_CDECL FakeCapacity(int32_t, int32_t* count, int32_t*) {
  g_script.calls += " cap";
  *count = g_script.counts[std::min<size_t>(++g_script.capacityCalls, g_script.counts.size()) - 1];
  return *count < 0 ? *count : ZEPK_OK;
}
int32_t BRELON_CDECL FakeShutter(int32_t, int32_t* code, int32_t* bulb) {
  g_script.calls += " shutter";
  *code = g_script.shutterCode;
  *bulb = g_script.bulb;
  return ZEPK_OK;
}
int32_t BRELON_CDECL FakeRelease(int32_t, int32_t mode, ZepkArg a3, ZepkArg a4) {
  g_script.calls += " rel" + std::to_string(mode) + (a3 * 100 + a4 == 1122 ? "" : "?");
  return g_script.releaseResult;
}
int32_t BRELON_CDECL FakeCapRelease(int32_t, int32_t* count, int32_t* modes) {
  g_script.calls += modes ? " list" : " count";
  *count = g_script.capReleaseCount;
  for (size_t i = 0; modes && i < g_script.modes.size(); ++i) modes[i] = g_script.modes[i];
  return ZEPK_OK;
}
int32_t BRELON_CDECL CountEvent(int32_t camera, int32_t event, void*) {
  g_script.events += camera == kCamera && event == BRELON_EV_RELEASE_MODE_0F;
  return 0;
}

// A fresh loader without a library, its table filled with the scripted entries.
std::unique_ptr<CTavelSDK> Load(const Script& script, std::unique_ptr<CTavelSDK>& old) {
  old.reset();
  g_script = script;
  auto sdk = std::make_unique<CTavelSDK>(&CountEvent, nullptr, u"/nonexistent/folder/no-sdk");
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
  std::vector<int32_t> kFullList(kReleaseModeListCapacity, 0x104);
  kFullList.back() = 0x0F;
  plat::SetTimeScale(2000);                                 // 30 s of time-out pass in 15 ms
  const std::string full = "0: cap shutter rel772 count ";  // a full press that counted
  const struct {
    Script script;
    int32_t mode;
    std::string want;  // result: calls | time-out, stamped, events 107
  } kCases[] = {
      // clang-format off
      {{.counts = {4, 5}}, 0x304, full + "list cap | 30002000 s0"},  // a changed count ends it
      {{.counts = {3}, .shutterCode = 245}, 0x0C, "8194: cap shutter rel12 count list cap | 0 s0"},
      // 0x0C releases after a failed read and answers the read's code; the presses do not.
      {{.counts = {-1}}, 0x0C, "-1: cap rel12 | 0 -0"},
      {{.counts = {-1}}, 0x104, "-1: cap | 0 -0"},
      {{.releaseResult = 0x55}, 0x04, "85: rel4 | 0 -0"},  // other modes pass straight through
      {{.releaseResult = ZEPK_FAILED}, 0x500, "-1: rel1280 | 0 s0"},  // stamped though refused
      // Event 107 when the camera lists mode 0x0F within the count it reported.
      {{.modes = {0x104, 0x0F, 0x304}, .capReleaseCount = 3}, 0x304, full + "list cap | 30002000 s1"},
      {{.modes = {0x104, 0x304, 0x0F}}, 0x304, full + "list cap | 30002000 s0"},
      // A list as long as the buffer is read to its end; a longer one is refused unread.
      {{.modes = kFullList, .capReleaseCount = kReleaseModeListCapacity}, 0x304, full + "list cap | 30002000 s1"},
      {{.modes = kFullList, .capReleaseCount = kReleaseModeListCapacity + 1}, 0x304, full + "cap | 30002000 s0"},
      // clang-format on
  };
  std::unique_ptr<CTavelSDK> sdk;
  for (const auto& c : kCases) {
    sdk = Load(c.script, sdk);
    const int64_t before = plat::NowTicks();
    const int32_t result = Release(c.mode);
    EXPECT_EQ(std::to_string(result) + ":" + g_script.calls + " | " +
                  std::to_string(sdk->ReleaseTimeoutMicros()) +
                  (sdk->ReleaseStampTicks() >= before ? " s" : " -") +
                  std::to_string(g_script.events),
              c.want);
  }

  // Bulb and 0x0F wait for the time since the last stamp (0x500 opens the exposure).
  sdk = Load({.bulb = 1}, sdk);
  EXPECT_EQ(Release(0x500), ZEPK_OK);
  const int64_t stamp = sdk->ReleaseStampTicks();
  for (int32_t mode : {0x304, 0x0F}) {
    plat::SleepMs(1000);  // a (scaled) second of exposure
    const int64_t before = plat::NowTicks();
    EXPECT_EQ(Release(mode), ZEPK_OK);
    const int64_t after = plat::NowTicks(), margin = 15000000;  // us beyond the exposure
    EXPECT_GE(sdk->ReleaseTimeoutMicros(), 2 * ((before - stamp) / 10 + margin)) << mode;
    EXPECT_LE(sdk->ReleaseTimeoutMicros(), 2 * ((after - stamp) / 10 + margin)) << mode;
  }
  sdk.reset();
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
