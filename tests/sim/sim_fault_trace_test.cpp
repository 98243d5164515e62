// Simulator tests for scheduled faults (window of calls, error number, exceptions), the JSONL
// call trace, the control entry's answers to malformed input, and concurrent use.
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

TEST_F(SimFaultTraceTest, FaultsCoverTheirWindowOfCallsCountedFromWhenTheyAreAdded) {
  Start(R"({"faults":[{"fn":"ZEPK_GetAperture","nth":2,"count":2,"result":-1,"api_code":30,
                       "error":4102}]})");
  const int32_t h = OpenUsb();
  int32_t value = 0;
  for (int32_t result : {0, -1, -1, 0}) EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), result);
  EXPECT_EQ(LastError(h).api, 30);
  EXPECT_EQ(LastError(h).error, 4102) << "the error stays until the next failure";
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetAperture","nth":2,"count":-1,"error":7})"), 0);
  for (int32_t result : {0, -1, -1, -1}) EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), result);
  EXPECT_EQ(LastError().error, 7);
  ASSERT_EQ(Control(R"({"cmd":"clear_faults"})"), 0);
  EXPECT_EQ(api_->ZEPK_GetAperture(h, &value), 0);
  EXPECT_EQ(Control(R"({"cmd":"stats","what":"calls","fn":"ZEPK_GetAperture"})"), 9);
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

TEST_F(SimFaultTraceTest, TraceHasOneLinePerCallWithByValueArgumentsWrittenAtOnce) {
  Start(R"({"cameras":[{"connect":["ipv4"],"ip":"192.0.2.7"}]})");
  int32_t n = 0, h = 0, mode = 0, v = 0;
  ASSERT_EQ(api_->ZEPK_Detect(0x20, "192.0.2.7", nullptr, &n), 0);
  ASSERT_EQ(api_->ZEPK_OpenEx("IPV4:192.0.2.7", &h, &mode, nullptr), 0);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4220, 2, 1, &v), 0);
  EXPECT_EQ(api_->ZEPK_OpenEx("ENUM:9", &h, &mode, nullptr), -1);
  const std::vector<TraceCall> trace = session_->Trace();
  const std::vector<TraceCall> expected = {
      {"ZEPK_Init", {}, 0},
      {"ZEPK_Detect", {int64_t{0x20}, std::string("192.0.2.7")}, 0},
      {"ZEPK_OpenEx", {std::string("IPV4:192.0.2.7")}, 0},
      {"ZEPK_GetProp", {int64_t{h}, int64_t{0x4220}, int64_t{2}, int64_t{1}}, 0},
      {"ZEPK_OpenEx", {std::string("ENUM:9")}, -1}};
  ASSERT_EQ(trace.size(), expected.size());
  for (size_t i = 0; i < trace.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(trace[i].fn, expected[i].fn);
    EXPECT_EQ(trace[i].args, expected[i].args);
    EXPECT_EQ(trace[i].ret, expected[i].ret);
    EXPECT_FALSE(trace[i].threw);
  }
  session_->ClearTrace();
  ASSERT_EQ(api_->ZEPK_Exit(), 0);
  EXPECT_EQ(session_->Trace().size(), 1u) << "on disk as soon as the call returns";
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
      {"\xff\xfe{}", ZEPASIM_E_PARSE},
      {std::string(100000, '['), ZEPASIM_E_PARSE},
      {"{\"cmd\":\"" + std::string(4 << 20, 'x') + "\"}", ZEPASIM_E_COMMAND},
      {R"({"cmd":5})", ZEPASIM_E_COMMAND},
      {R"({"cmd":"unplug","camera":18446744073709551615})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"set","camera":0,"key":"capture.delay_ms.x","value":1})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"fault","fn":"ZEPK_Close","nth":0})", ZEPASIM_E_ARGUMENT},
      {R"({"cmd":"plug","camera":{"connect":"usb"}})", ZEPASIM_E_ARGUMENT},
  };
  for (const auto& c : cases)
    EXPECT_EQ(control(c.json.c_str()), c.expected) << c.json.substr(0, 80);
  // Mutated valid commands must never crash it (sanitizer builds).
  const std::string seed = R"({"cmd":"set","camera":0,"key":"capture.delay_ms","value":5})";
  uint32_t state = 12345;
  for (int i = 0; i < 2000; ++i) {
    std::string text = seed;
    for (int k = 0; k < 3; ++k) {
      state = state * 1664525u + 1013904223u;
      text[(state >> 8) % text.size()] = static_cast<char>(state >> 24);
    }
    const int result = control(text.c_str());
    EXPECT_TRUE(result <= 0 && result >= ZEPASIM_E_ARGUMENT) << result;
  }
  EXPECT_EQ(control(R"({"cmd":"stats","what":"cameras"})"), 1) << "still answering";
}

TEST_F(SimFaultTraceTest, ConcurrentShotsAndReadsLoseNothing) {
  constexpr int kThreads = 4, kShotsEach = 50, kShots = kThreads * kShotsEach;
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"format":"jpeg"}}]})");
  const int32_t h = OpenUsb();
  std::vector<plat::Thread*> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(StartThread([&] {
      for (int i = 0; i < kShotsEach; ++i) {
        api_->ZEPK_Release(h, 0x104, 0, 0);
        int32_t count = 0, other = 0;
        api_->ZEPK_GetBufferCapacity(h, &count, &other);
        session_->Control(R"({"cmd":"pending","camera":0})");
      }
    }));
  }
  for (plat::Thread* thread : threads) {
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), plat::WaitResult::kSignalled);
    plat::ThreadClose(thread);
  }
  std::vector<bool> seen(kShots + 1, false);
  for (int i = 0; i < kShots; ++i) {
    const uint32_t frame = NoteFrame(ReadExif(Read(h).bytes));
    ASSERT_TRUE(frame >= 1 && frame <= kShots && !seen[frame]) << frame;
    seen[frame] = true;
  }
  EXPECT_EQ(Info(h).format, uint32_t{ZEPASIM_FORMAT_NONE}) << "nothing left over";
  EXPECT_EQ(session_->Calls("ZEPK_Release").size(), size_t(kShots));
}

}  // namespace
}  // namespace brelon::test
