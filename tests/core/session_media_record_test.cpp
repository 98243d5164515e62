// Keeping the camera's card-recording mode in line with the CardJPEG and CardRAW settings: the
// value each choice asks for, the 0x3327/0x3328 bracket on the maker's cameras other than the
// K-M1, leaving and re-entering mode 0x3301, and what a failure logs and does to the connection
// (the fault suite fails each of these calls once more).
#include <array>

#include "capture/media_record.h"
#include "core/session.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

class MediaRecordTest : public SessionTest {
 protected:
  void UseCards(uint32_t jpeg, uint32_t raw) {
    SetSetting(u"CardJPEG", jpeg);
    SetSetting(u"CardRAW", raw);
  }
  // Waits for a successful ZEPK_SetMediaRecord(value); returns the trace and its position.
  size_t WaitForMediaRecord(int64_t value, std::vector<TraceCall>* trace) {
    size_t at = 0;
    EXPECT_TRUE(Eventually([&] {
      *trace = Sim().Trace();
      for (at = 0; at < trace->size(); ++at) {
        const TraceCall& c = (*trace)[at];
        if (c.fn == "ZEPK_SetMediaRecord" && IntArg(c, 1) == value && c.ret == 0) return true;
      }
      return false;
    })) << "no ZEPK_SetMediaRecord("
        << value << ")";
    return at;
  }
  static bool IsProp(const TraceCall& call, const char* fn, int64_t code) {
    return call.fn == fn && IntArg(call, 1) == code;
  }
};

TEST_F(MediaRecordTest, EachCardChoiceReachesItsValueWith3327HeldAtOneMeanwhile) {
  UseCards(1, 0);
  Start(R"({"cameras":[{"model":"K-M3","media_record":4,"props":{"0x3328":[5]}}]})");
  std::vector<TraceCall> trace;
  const size_t at = WaitForMediaRecord(3, &trace);
  ASSERT_GE(at, 3u);
  // The session thread may not have made its next call when the mode change shows up.
  ASSERT_TRUE(Eventually([&] {
    trace = Sim().Trace();
    return at + 1 < trace.size();
  })) << "nothing followed the mode change";
  EXPECT_EQ(trace[at - 3].fn, "ZEPK_GetMediaRecord");
  EXPECT_TRUE(IsProp(trace[at - 2], "ZEPK_GetProp", 0x3328));
  EXPECT_TRUE(IsProp(trace[at - 1], "ZEPK_SetProp", 0x3327));
  EXPECT_EQ(IntArg(trace[at - 1], 3), 1);
  EXPECT_TRUE(IsProp(trace[at + 1], "ZEPK_SetProp", 0x3327));
  EXPECT_EQ(IntArg(trace[at + 1], 3), 5) << "the earlier value goes back";

  // Once the mode is right the watch only reads it.
  const size_t sets = CountCalls("ZEPK_SetMediaRecord");
  ASSERT_TRUE(WaitForCalls("ZEPK_GetMediaRecord", CountCalls("ZEPK_GetMediaRecord") + 3));
  EXPECT_EQ(CountCalls("ZEPK_SetMediaRecord"), sets);

  // Settings changed while connected are followed.
  for (const auto& c : {std::array<uint32_t, 3>{1, 1, 1}, {0, 1, 2}, {0, 0, 4}, {1, 0, 3}}) {
    SCOPED_TRACE(testing::Message() << "CardJPEG=" << c[0] << " CardRAW=" << c[1]);
    Sim().ClearTrace();
    UseCards(c[0], c[1]);
    WaitForMediaRecord(c[2], &trace);
  }
  EXPECT_TRUE(Connected());
}

// The K-M1, other makers' cameras, and a saved 0x3328 of one change the mode directly.
struct DirectCase {
  const char* name;
  const char* camera;
  bool reads3328;
};
class DirectMediaRecordTest : public MediaRecordTest,
                              public testing::WithParamInterface<DirectCase> {};

TEST_P(DirectMediaRecordTest, ChangesTheModeWithoutTouching3327) {
  UseCards(0, 1);
  Start(std::string(R"({"cameras":[{"media_record":4,)") + GetParam().camera + "}]}");
  std::vector<TraceCall> trace;
  WaitForMediaRecord(2, &trace);
  bool reads3328 = false;
  for (const TraceCall& call : trace) {
    EXPECT_FALSE(IsProp(call, "ZEPK_SetProp", 0x3327));
    reads3328 |= IsProp(call, "ZEPK_GetProp", 0x3328);
  }
  EXPECT_EQ(reads3328, GetParam().reads3328);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, DirectMediaRecordTest,
    testing::Values(DirectCase{"KM1", R"("model":"K-M1","props":{"0x3328":[5]})", false},
                    DirectCase{"OtherMaker", R"("manufacturer":"Lumora","props":{"0x3328":[5]})",
                               false},
                    DirectCase{"Saved3328IsOne", R"("model":"K-M3","props":{"0x3328":[1]})", true}),
    [](const testing::TestParamInfo<DirectCase>& info) { return std::string(info.param.name); });

TEST_F(MediaRecordTest, NothingIsDoneUnconnectedAndMode3301IsLeftForTheChangeAndEnteredAgain) {
  Start(R"({"cameras":[{"model":"K-M1","media_record":3,"plugged":false}]})");
  // Set while no camera can be found; the plug below orders it before the connection.
  Ctx()->lMode3301 = 1;
  Ctx()->lRearm3301 = 1;
  ASSERT_TRUE(WaitForCalls("ZEPK_Detect", 2));
  EXPECT_EQ(SetMediaRecord(Ctx(), 0, 0), 1) << "nothing to do without a connection";
  EXPECT_EQ(CountCalls("ZEPK_GetMediaRecord"), 0u);
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  ASSERT_TRUE(WaitForCalls("ZEPK_SetProp", 2));
  std::vector<TraceCall> trace;
  const size_t at = WaitForMediaRecord(1, &trace);
  ASSERT_GE(at, 1u);
  ASSERT_LT(at + 1, trace.size());
  EXPECT_EQ(IntArgs(trace[at - 1]), (std::vector<int64_t>{IntArg(trace[at], 0), 0x3302, 0}));
  EXPECT_EQ(IntArgs(trace[at + 1]), (std::vector<int64_t>{IntArg(trace[at], 0), 0x3301, 0}));
  plat::LockGuard guard(Locks().mediaRecord);
  EXPECT_EQ(Ctx()->lRearm3301, 0);
}

TEST_F(MediaRecordTest, BusyFailureKeepsTheConnectionAndAnyOtherEndsIt) {
  Start(R"({"cameras":[{"media_record":4}],"faults":[{"fn":"ZEPK_SetMediaRecord","count":2,)"
        R"("result":-1,"error":4102}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  ASSERT_TRUE(WaitForCalls("ZEPK_SetMediaRecord", 3));
  EXPECT_EQ(LogLines("SetMediaRecord Failed. ErrorCode=[0x1006]").size(), 2u);
  EXPECT_FALSE(LogLines("SetMediaRecord()").empty()) << "records name the function";
  EXPECT_EQ(CountEvents(BRELON_EV_DISCONNECTED), 0u);

  UseCards(0, 1);
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_SetMediaRecord","result":-1,"error":4099})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  EXPECT_FALSE(LogLines("SetMediaRecord Failed. ErrorCode=[0x1003]").empty());
  EXPECT_TRUE(LogLines("ZEPK_GetDeviceInfo Failed").empty()) << "the camera itself answered";
}

}  // namespace
}  // namespace brelon::test
