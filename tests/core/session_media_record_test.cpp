// Keeping the camera's card-recording mode in line with the CardJPEG and CardRAW settings: the
// value each combination asks for, the 0x3327/0x3328 dance on the maker's cameras other than
// the K-M1, the 0x3301/0x3302 bracket, and what a failure does to the connection.
#include <variant>

#include "core/session.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

class MediaRecordTest : public SessionTest {
 protected:
  void UseCards(uint32_t jpeg, uint32_t raw) {
    SetDwordSetting(u"CardJPEG", jpeg);
    SetDwordSetting(u"CardRAW", raw);
  }
  // Waits for a ZEPK_SetMediaRecord call with `value` and returns its trace position.
  size_t WaitForMediaRecord(int64_t value) {
    size_t at = 0;
    bool found = Eventually([&] {
      std::vector<TraceCall> trace = Sim().Trace();
      for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].fn == "ZEPK_SetMediaRecord" && IntArg(trace[i], 1) == value) {
          at = i;
          return true;
        }
      }
      return false;
    });
    EXPECT_TRUE(found) << "no ZEPK_SetMediaRecord(" << value << ")";
    return at;
  }
  static bool IsProp(const TraceCall& call, const char* fn, int64_t code) {
    return call.fn == fn && IntArg(call, 1) == code;
  }
};

TEST_F(MediaRecordTest, EachCardChoiceReachesItsMediaRecordValue) {
  UseCards(1, 1);
  Start(R"({"cameras":[{"model":"K-M3","media_record":4,"props":{"0x3328":[5]}}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));

  struct Choice {
    uint32_t jpeg, raw;
    int64_t value;
  };
  for (Choice c : {Choice{1, 1, 1}, Choice{1, 0, 3}, Choice{0, 1, 2}, Choice{0, 0, 4}}) {
    SCOPED_TRACE(testing::Message() << "CardJPEG=" << c.jpeg << " CardRAW=" << c.raw);
    Sim().ClearTrace();
    UseCards(c.jpeg, c.raw);
    size_t at = WaitForMediaRecord(c.value);
    std::vector<TraceCall> trace = Sim().Trace();
    ASSERT_LT(at, trace.size());
    EXPECT_EQ(trace[at].ret, 0);
  }
  EXPECT_TRUE(Connected());
}

TEST_F(MediaRecordTest, MakersCamerasHold3327AtOneWhileTheModeChanges) {
  UseCards(1, 0);
  Start(R"({"cameras":[{"model":"K-M3","media_record":4,"props":{"0x3328":[5]}}]})");
  size_t at = WaitForMediaRecord(3);
  std::vector<TraceCall> trace = Sim().Trace();
  ASSERT_GE(at, 3u);
  ASSERT_LT(at + 1, trace.size());
  EXPECT_EQ(trace[at - 3].fn, "ZEPK_GetMediaRecord");
  EXPECT_TRUE(IsProp(trace[at - 2], "ZEPK_GetProp", 0x3328));
  EXPECT_TRUE(IsProp(trace[at - 1], "ZEPK_SetProp", 0x3327));
  EXPECT_EQ(IntArg(trace[at - 1], 3), 1);
  EXPECT_TRUE(IsProp(trace[at + 1], "ZEPK_SetProp", 0x3327));
  EXPECT_EQ(IntArg(trace[at + 1], 3), 5) << "the earlier value goes back";

  // Once the mode is right the watch only reads it.
  size_t sets = CountCalls("ZEPK_SetMediaRecord");
  size_t reads = CountCalls("ZEPK_GetMediaRecord");
  ASSERT_TRUE(WaitForCalls("ZEPK_GetMediaRecord", reads + 3));
  EXPECT_EQ(CountCalls("ZEPK_SetMediaRecord"), sets);
}

TEST_F(MediaRecordTest, KM1ChangesTheModeDirectly) {
  UseCards(0, 1);
  Start(R"({"cameras":[{"model":"K-M1","media_record":4,"props":{"0x3328":[5]}}]})");
  WaitForMediaRecord(2);
  for (const TraceCall& call : Sim().Trace()) {
    EXPECT_FALSE(IsProp(call, "ZEPK_GetProp", 0x3328));
    EXPECT_FALSE(IsProp(call, "ZEPK_SetProp", 0x3327));
  }
}

TEST_F(MediaRecordTest, OtherMakersChangeTheModeDirectly) {
  UseCards(0, 1);
  Start(R"({"cameras":[{"manufacturer":"Lumora","model":"K-M3","media_record":4,)"
        R"("props":{"0x3328":[5]}}]})");
  WaitForMediaRecord(2);
  for (const TraceCall& call : Sim().Trace()) {
    EXPECT_FALSE(IsProp(call, "ZEPK_GetProp", 0x3328));
    EXPECT_FALSE(IsProp(call, "ZEPK_SetProp", 0x3327));
  }
}

TEST_F(MediaRecordTest, SavedValueOfOneNeedsNoChangeOf3327) {
  UseCards(0, 0);
  Start(R"({"cameras":[{"model":"K-M3","media_record":1,"props":{"0x3328":[1]}}]})");
  size_t at = WaitForMediaRecord(4);
  std::vector<TraceCall> trace = Sim().Trace();
  ASSERT_GE(at, 1u);
  EXPECT_TRUE(IsProp(trace[at - 1], "ZEPK_GetProp", 0x3328));
  for (const TraceCall& call : trace) EXPECT_FALSE(IsProp(call, "ZEPK_SetProp", 0x3327));
}

TEST_F(MediaRecordTest, Mode3301IsLeftForTheChangeAndEnteredAgain) {
  UseCards(1, 1);
  Start(R"({"cameras":[{"model":"K-M1","media_record":3,"plugged":false}]})");
  // Set while no camera can be found; the plug below orders it before the connection.
  Ctx()->lMode3301 = 1;
  Ctx()->lRearm3301 = 1;
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  size_t at = WaitForMediaRecord(1);
  ASSERT_TRUE(WaitForCalls("ZEPK_SetProp", 2));
  std::vector<TraceCall> trace = Sim().Trace();
  ASSERT_GE(at, 1u);
  ASSERT_LT(at + 1, trace.size());
  EXPECT_TRUE(IsProp(trace[at - 1], "ZEPK_SetProp", 0x3302));
  EXPECT_EQ(IntArg(trace[at - 1], 2), 0);
  EXPECT_TRUE(IsProp(trace[at + 1], "ZEPK_SetProp", 0x3301));
  EXPECT_EQ(IntArg(trace[at + 1], 2), 0);
  plat::LockGuard guard(Locks().mediaRecord);
  EXPECT_EQ(Ctx()->lRearm3301, 0);
}

TEST_F(MediaRecordTest, BusyFailureKeepsTheConnectionAndAnyOtherEndsIt) {
  UseCards(1, 1);
  Start(R"({"cameras":[{"media_record":4}],"faults":[{"fn":"ZEPK_SetMediaRecord","count":2,)"
        R"("result":-1,"error":4102}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  ASSERT_TRUE(WaitForCalls("ZEPK_SetMediaRecord", 3));
  EXPECT_EQ(LogLines("SetMediaRecord Failed. ErrorCode=[0x1006]").size(), 2u);
  EXPECT_FALSE(LogLines("SetMediaRecord()").empty()) << "records name the function";
  EXPECT_EQ(CountEvents(BRELON_EV_DISCONNECTED), 0u);
  EXPECT_TRUE(Connected());

  UseCards(0, 1);
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_SetMediaRecord","result":-1,"error":4099})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  EXPECT_FALSE(LogLines("SetMediaRecord Failed. ErrorCode=[0x1003]").empty());
  EXPECT_TRUE(LogLines("ZEPK_GetDeviceInfo Failed").empty()) << "the camera itself answered";
  // A failed read of the mode ends it as well.
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  UseCards(1, 0);
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetMediaRecord","result":-1,"error":4099})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 2));
}

TEST_F(MediaRecordTest, NothingToDoWithoutAConnection) {
  Start(R"({"cameras":[{"plugged":false}]})");
  ASSERT_TRUE(WaitForCalls("ZEPK_Detect", 2));
  EXPECT_EQ(SetMediaRecord(Ctx(), 0, 0), 1);
  EXPECT_EQ(CountCalls("ZEPK_GetMediaRecord"), 0u);
}

}  // namespace
}  // namespace brelon::test
