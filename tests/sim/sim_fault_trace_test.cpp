// Simulator tests for scheduled faults (window of calls, error number, exceptions), the JSONL
// call trace, robustness of the control entry against malformed input, concurrent use, and
// the build variants that lack some exports.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/run_thread.h"
#include "sim/sim_test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace brelon::test {
namespace {

using SimFaultTraceTest = SimTest;

TEST_F(SimFaultTraceTest, ConfiguredFaultCoversItsWindowOfCalls) {
  Start(R"({"faults":[{"fn":"ZEPK_GetShutterSpeed","nth":2,"count":2,"result":-1,
                       "api_code":30,"error":4102}]})");
  const int32_t h = OpenUsb();
  int32_t code = 0, bulb = 0;
  const int32_t expected[] = {0, -1, -1, 0, 0};
  for (int32_t result : expected) EXPECT_EQ(api_->ZEPK_GetShutterSpeed(h, &code, &bulb), result);
  const ErrorInfo e = LastError(h);
  EXPECT_EQ(e.api, 30);
  EXPECT_EQ(e.error, 4102) << "the error stays until the next failure";
}

TEST_F(SimFaultTraceTest, ControlFaultCountsFromWhenItIsAdded) {
  Start();
  const int32_t h = OpenUsb();
  int32_t value = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(api_->ZEPK_GetAperture(h, &value), 0);
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetAperture","nth":2,"count":-1,"error":7})"), 0);
  EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), -1);
  EXPECT_EQ(LastError().error, 7);
  ASSERT_EQ(Control(R"({"cmd":"clear_faults"})"), 0);
  EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), 0);
  EXPECT_EQ(Control(R"({"cmd":"stats","what":"calls","fn":"ZEPK_GetAperture"})"), 10);
}

TEST_F(SimFaultTraceTest, InitFaultFailsOnlyTheCountedInit) {
  session_ = std::make_unique<SimSession>(R"({"faults":[{"fn":"ZEPK_Init","error":9}]})");
  api_ = std::make_unique<SdkApi>(*session_);
  EXPECT_EQ(api_->ZEPK_Init(nullptr), -1);
  EXPECT_EQ(LastError().error, 9);
  int32_t n = 0;
  EXPECT_EQ(api_->ZEPK_Detect(0x01, nullptr, nullptr, &n), 0) << "a faulted Init still initialises";
  EXPECT_EQ(api_->ZEPK_Init(nullptr), 0) << "the second Init of the session is not the first";
}

TEST_F(SimFaultTraceTest, ResetReturnsToTheConfigurationOfInit) {
  Start(R"({"cameras":[{"capture":{"delay_ms":0}}],
            "faults":[{"fn":"ZEPK_GetAperture","nth":1}]})");
  int32_t h = OpenUsb(), value = 0;
  EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), -1);
  ASSERT_EQ(Control(R"({"cmd":"set","camera":0,"key":"aperture","value":560})"), 0);
  ASSERT_EQ(Control(R"({"cmd":"press_shutter","camera":0})"), 0);
  ASSERT_EQ(Control(R"({"cmd":"reset"})"), 0);
  EXPECT_EQ(Control(R"({"cmd":"pending","camera":0})"), 0);
  h = OpenUsb();
  EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), -1) << "fault counts start again";
  EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), 0);
  EXPECT_EQ(value, 280);
}

#ifndef _WIN32
TEST_F(SimFaultTraceTest, ThrowFaultRaisesAfterTracingTheCall) {
  Start(R"({"faults":[{"fn":"ZEPK_GetWBMode","throw":true,"error":3}]})");
  const int32_t h = OpenUsb();
  int32_t value = 0;
  EXPECT_THROW(api_->ZEPK_GetWBMode(h, &value), std::runtime_error);
  const std::vector<TraceCall> calls = session_->Calls("ZEPK_GetWBMode");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].threw);
  EXPECT_EQ(LastError().error, 3);
  EXPECT_EQ(api_->ZEPK_GetWBMode(h, &value), 0) << "the simulator stays usable";
}
#else
LONG CALLBACK ExitOnSdkException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == ZEPASIM_SEH_CPP_EXCEPTION &&
      (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)) {
    ExitProcess(42);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(SimFaultTraceTest, ThrowFaultRaisesTheMsvcExceptionCode) {
  Start(R"({"faults":[{"fn":"ZEPK_GetWBMode","throw":true}]})");
  const int32_t h = OpenUsb();
  int32_t value = 0;
  // MinGW code cannot catch an SEH exception; a child process sees it in a vectored handler.
  EXPECT_EXIT(
      {
        AddVectoredExceptionHandler(1, ExitOnSdkException);
        api_->ZEPK_GetWBMode(h, &value);
      },
      ::testing::ExitedWithCode(42), "");
}
#endif

TEST_F(SimFaultTraceTest, TraceHasOneLinePerCallWithByValueArguments) {
  Start(R"({"cameras":[{"connect":["ipv4"],"ip":"192.0.2.7"}]})");
  int32_t n = 0, h = 0, mode = 0, v = 0;
  ASSERT_EQ(api_->ZEPK_Detect(0x20, "192.0.2.7", nullptr, &n), 0);
  ASSERT_EQ(api_->ZEPK_OpenEx("IPV4:192.0.2.7", &h, &mode, nullptr), 0);
  ASSERT_EQ(api_->ZEPK_Release(h, 772, 0, 0), 0);
  ASSERT_EQ(api_->ZEPK_SetProp(h, 0x3327, 1, 1), 0);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4220, 2, 1, &v), 0);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x3328, 1, &v), 0);
  EXPECT_EQ(api_->ZEPK_OpenEx("ENUM:9", &h, &mode, nullptr), -1);

  using Args = std::vector<std::variant<int64_t, std::string>>;
  const std::vector<TraceCall> trace = session_->Trace();
  struct Expected {
    const char* fn;
    Args args;
    int64_t ret;
  } expected[] = {
      {"ZEPK_Init", {}, 0},
      {"ZEPK_Detect", {int64_t{0x20}, std::string("192.0.2.7")}, 0},
      {"ZEPK_OpenEx", {std::string("IPV4:192.0.2.7")}, 0},
      {"ZEPK_Release", {int64_t{h}, int64_t{772}}, 0},
      {"ZEPK_SetProp", {int64_t{h}, int64_t{0x3327}, int64_t{1}, int64_t{1}}, 0},
      {"ZEPK_GetProp", {int64_t{h}, int64_t{0x4220}, int64_t{2}, int64_t{1}}, 0},
      {"ZEPK_GetProp", {int64_t{h}, int64_t{0x3328}, int64_t{1}}, 0},
      {"ZEPK_OpenEx", {std::string("ENUM:9")}, -1},
  };
  ASSERT_EQ(trace.size(), std::size(expected));
  for (size_t i = 0; i < trace.size(); ++i) {
    EXPECT_EQ(trace[i].fn, expected[i].fn) << i;
    EXPECT_EQ(trace[i].args, expected[i].args) << i;
    EXPECT_EQ(trace[i].ret, expected[i].ret) << i;
    EXPECT_FALSE(trace[i].threw);
  }
  session_->ClearTrace();
  ASSERT_EQ(api_->ZEPK_Exit(), 0);
  ASSERT_EQ(session_->Trace().size(), 1u) << "lines are on disk as soon as the call returns";
  EXPECT_EQ(session_->Calls("ZEPK_Exit").size(), 1u);
}

TEST_F(SimFaultTraceTest, ControlAnswersMalformedInputWithResultCodes) {
  Start();
  auto control = session_->Entry<ZEPASIM_ControlFn>("ZEPASIM_Control");
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control(nullptr), ZEPASIM_E_ARGUMENT);
  const struct {
    std::string json;
    int expected;
  } cases[] = {
      {"", ZEPASIM_E_PARSE},
      {"{", ZEPASIM_E_PARSE},
      {"[]", ZEPASIM_E_PARSE},
      {"\xff\xfe{}", ZEPASIM_E_PARSE},
      {std::string(100000, '['), ZEPASIM_E_PARSE},
      {"{\"cmd\":\"" + std::string(4 << 20, 'x') + "\"}", ZEPASIM_E_COMMAND},
      {R"({"cmd":5})", ZEPASIM_E_COMMAND},
      {R"({"camera":0})", ZEPASIM_E_COMMAND},
      {R"({"cmd":"explode"})", ZEPASIM_E_COMMAND},
      {R"({"cmd":"unplug"})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"unplug","camera":1})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"unplug","camera":-1})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"unplug","camera":"0"})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"unplug","camera":18446744073709551615})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"set","camera":0,"key":"no_such_key","value":1})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"set","camera":0,"key":"aperture","value":"wide"})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"set","camera":0,"key":"capture.delay_ms.x","value":1})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"set","camera":0,"key":"frame_number","value":-1})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"fault","fn":"ZEPK_Nothing"})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"fault","fn":"ZEPK_Close","nth":0})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"plug","camera":{"connect":"usb"}})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"preview","camera":0,"frames":0})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"stats","what":"everything"})", ZEPASIM_E_ARGUMENT},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(control(c.json.c_str()), c.expected) << c.json.substr(0, 80);
  }
  // Deterministic noise: mutations of a valid command must never crash the simulator.
  const std::string seed = R"({"cmd":"set","camera":0,"key":"capture.delay_ms","value":5})";
  uint32_t state = 12345;
  for (int i = 0; i < 2000; ++i) {
    std::string text = seed;
    for (int k = 0; k < 3; ++k) {
      state = state * 1664525u + 1013904223u;
      text[(state >> 8) % text.size()] = static_cast<char>(state >> 24);
    }
    const int result = control(text.c_str());
    EXPECT_LE(result, 0);
    EXPECT_GE(result, ZEPASIM_E_ARGUMENT);
  }
  EXPECT_EQ(control(R"({"cmd":"stats","what":"cameras"})"), 1) << "still answering";
}

// Runs fn on `count` platform threads at once and waits for all.
template <typename Fn>
void RunConcurrently(int count, Fn fn) {
  std::vector<plat::Thread*> threads;
  for (int i = 0; i < count; ++i) threads.push_back(StartThread(fn));
  for (plat::Thread* thread : threads) {
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), plat::WaitResult::kSignalled);
    plat::ThreadClose(thread);
  }
}

TEST_F(SimFaultTraceTest, ConcurrentShotsAndReadsLoseNothing) {
  constexpr int kThreads = 4, kShotsEach = 50;
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"format":"jpeg"}}]})");
  const int32_t h = OpenUsb();
  RunConcurrently(kThreads, [&] {
    for (int i = 0; i < kShotsEach; ++i) {
      api_->ZEPK_Release(h, 0x104, 0, 0);
      int32_t count = 0, other = 0;
      api_->ZEPK_GetBufferCapacity(h, &count, &other);
      session_->Control(R"({"cmd":"pending","camera":0})");
    }
  });
  std::vector<bool> seen(kThreads * kShotsEach + 1, false);
  for (int i = 0; i < kThreads * kShotsEach; ++i) {
    const uint32_t frame = NoteFrame(ReadExif(Read(h).bytes));
    ASSERT_GE(frame, 1u);
    ASSERT_LE(frame, uint32_t(kThreads * kShotsEach));
    EXPECT_FALSE(seen[frame]) << frame;
    seen[frame] = true;
  }
  EXPECT_EQ(BufferCount(h), 0);
  EXPECT_EQ(session_->Calls("ZEPK_Release").size(), size_t(kThreads * kShotsEach));
}

TEST(SimVariantTest, VariantsLackExactlyTheirExports) {
  const char* const all[] = {
#define ZEPASIM_TEST_NAME(name, params) #name,
      ZEPK_ENTRY_POINTS(ZEPASIM_TEST_NAME)
#undef ZEPASIM_TEST_NAME
  };
  const struct {
    std::string path;
    std::vector<std::string> missing;
  } libraries[] = {
      {SimLibraryPath(), {}},
      {SimVariantPath("no_serial"), {"ZEPK_GetSerialNo"}},
      {SimVariantPath("no_prop"), {"ZEPK_CapProp", "ZEPK_SetProp", "ZEPK_GetProp"}},
  };
  // All three at once: each variant is a module of its own beside the simulator.
  std::vector<std::unique_ptr<SimLibrary>> loaded;
  for (const auto& lib : libraries) {
    loaded.push_back(std::make_unique<SimLibrary>(lib.path));
    const SimLibrary& library = *loaded.back();
    ASSERT_TRUE(library.Loaded()) << lib.path;
    EXPECT_NE(library.Symbol("ZEPASIM_Control"), nullptr) << lib.path;
    for (const char* name : all) {
      const bool expectMissing =
          std::find(lib.missing.begin(), lib.missing.end(), name) != lib.missing.end();
      EXPECT_EQ(library.Symbol(name) == nullptr, expectMissing) << lib.path << " " << name;
    }
  }
  EXPECT_NE(loaded[0]->Symbol("ZEPK_Init"), loaded[1]->Symbol("ZEPK_Init"));
  EXPECT_NE(loaded[1]->Symbol("ZEPK_Init"), loaded[2]->Symbol("ZEPK_Init"));
}

}  // namespace
}  // namespace brelon::test
