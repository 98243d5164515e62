// The guarded SDK interface: words passed after the camera handle, property calls with their
// count word and value limit, the 0x3301 re-arm flag, and exceptions out of the SDK (a member,
// callPropFunc, the platform guard itself, the session thread's ZEPK_Init) caught, logged and
// answered with -1, natively and under Wine.
#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/interfaces.h"
#include "capture/media_record.h"
#include "core/session.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "sdk/loader.h"
#include "sdk/obj_brelon_zepkapi.h"
#include "support/connected_context.h"
#include "support/sim_harness.h"

namespace brelon {
namespace {

ZepkArg Address(void* p) {
  return reinterpret_cast<ZepkArg>(p);
}

std::vector<ZepkArg> g_spread;  // handle, code, count and the values RecordProp was given

int32_t BRELON_CDECL RecordProp(int32_t camera, int32_t code, int32_t count, ...) {
  g_spread = {ZepkArg(camera), ZepkArg(code), ZepkArg(count)};
  va_list values;
  va_start(values, count);
  for (int32_t i = 0; i < count; ++i) g_spread.push_back(va_arg(values, ZepkArg));
  va_end(values);
  return 17;
}

TEST(CallPropFunc, SpreadsOneToElevenWordsAfterHandleAndCodeAndRefusesOtherCounts) {
  ZepkArg words[12] = {10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, 11, words), 17);
  EXPECT_EQ(g_spread, (std::vector<ZepkArg>{5, 0x5000, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  ZepkArg none[1] = {0};
  EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, 1, none), 17);
  EXPECT_EQ(g_spread, (std::vector<ZepkArg>{5, 0x5000, 0}));
  g_spread.clear();
  for (int32_t count : {0, 12, -1, 1000}) {
    EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, count, words),
              ZEPK_FAILED)
        << count;
  }
  EXPECT_TRUE(g_spread.empty()) << "no call";
  EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(nullptr, "ZEPK_GetProp", 5, 0x5000, 1, words),
            ZEPK_FAILED);
}

struct Releaser {
  void operator()(IBrelon_OBJ* object) const { object->Release(); }
};

class GuardedSdk : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_ = std::make_unique<test::ConnectedContext>("");
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
    ctx_ = camera_->Context();
    void* object = nullptr;
    ASSERT_EQ(CreateIF(ctx_, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
    sdk_.reset(static_cast<IBrelon_ZEPKAPI*>(object));
    // Host lock 0 keeps the session thread's watch, and its SDK calls, out of the trace.
    plat::LockEnter(Locks().host[0]);
    locked_ = true;
    camera_->Sim().ClearTrace();
  }
  void TearDown() override {
    if (locked_) plat::LockLeave(Locks().host[0]);
    sdk_.reset();
    camera_.reset();
  }
  void Fault(const std::string& fault) {
    ASSERT_EQ(camera_->Sim().Control(R"({"cmd":"fault","nth":1,"count":1,)" + fault + "}"), 0);
  }
  std::vector<test::TraceCall> Calls(const char* fn) { return camera_->Sim().Calls(fn); }

  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  std::unique_ptr<IBrelon_ZEPKAPI, Releaser> sdk_;
  bool locked_ = false;
};

TEST_F(GuardedSdk, WordsFollowTheCameraHandleUnchangedAndRefusalsArePassedOn) {
  EXPECT_EQ(sdk_->BRN_SetShutterSpeed(244, 0), 0);
  ASSERT_EQ(Calls("ZEPK_SetShutterSpeed").size(), 1u);
  EXPECT_EQ(test::IntArgs(Calls("ZEPK_SetShutterSpeed")[0]),
            (std::vector<int64_t>{ctx_->hCamera, 244, 0}));
  int32_t count = 0, list[8] = {};
  EXPECT_EQ(sdk_->BRN_CapAperture(Address(&count), Address(list), 0), 0);
  EXPECT_EQ(std::vector<int32_t>(list, list + count), std::vector<int32_t>{280});
  EXPECT_EQ(sdk_->BRN_SetPriorityMode(9), ZEPK_FAILED);
  int32_t api = 0, error = 0;
  EXPECT_EQ(sdk_->BRN_GetErrorNumber(Address(&api), Address(&error)), 0);
  EXPECT_EQ(error, 0x1003) << "the error number stays for the host to fetch";
}

TEST_F(GuardedSdk, AThrowingSdkCallIsLoggedAndAnsweredWithMinusOne) {
  Fault(R"("fn":"ZEPK_GetAperture","throw":true)");
  int32_t aperture = -5;
  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&aperture)), ZEPK_FAILED);
  EXPECT_EQ(aperture, -5);
  ASSERT_EQ(Calls("ZEPK_GetAperture").size(), 1u);
  EXPECT_TRUE(Calls("ZEPK_GetAperture")[0].threw);
  const auto lines = camera_->LogLines("Obj_Brelon_ZEPKAPI::BRN_GetAperture exception");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("OBJ_Brelon_ZEPKAPI.cpp"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("BRN_GetAperture()"), std::string::npos) << lines[0];
  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&aperture)), 0) << "the object stays usable";
  EXPECT_EQ(aperture, 280);
}

TEST_F(GuardedSdk, PropertyCallsCarryTheCountAndAtMostTenValues) {
  const int64_t h = ctx_->hCamera;
  EXPECT_EQ(
      sdk_->BRN_SetProp(0x5000, 10, ZepkArg{1}, ZepkArg{2}, ZepkArg{3}, ZepkArg{4}, ZepkArg{5},
                        ZepkArg{6}, ZepkArg{7}, ZepkArg{8}, ZepkArg{9}, ZepkArg{10}),
      0);
  int32_t v[11] = {};
  ZepkArg a[11];
  for (int i = 0; i < 11; ++i) a[i] = Address(&v[i]);
  // GetProp's values are addresses: each of the ten receives its stored value.
  EXPECT_EQ(
      sdk_->BRN_GetProp(0x5000, 10, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]), 0);
  EXPECT_EQ(std::vector<int32_t>(v, v + 11),
            (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}));
  EXPECT_EQ(sdk_->BRN_GetProp(0x5000, 11, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                              a[9], a[10]),
            ZEPK_FAILED);
  EXPECT_EQ(sdk_->BRN_SetProp(0x5000, -1), ZEPK_FAILED);
  EXPECT_EQ(sdk_->BRN_CapProp(0x5000, 0), 0);
  const auto sets = Calls("ZEPK_SetProp"), gets = Calls("ZEPK_GetProp"),
             caps = Calls("ZEPK_CapProp");
  ASSERT_EQ(sets.size(), 1u) << "no call for a negative count";
  ASSERT_EQ(gets.size(), 1u) << "no call for 11 values";
  ASSERT_EQ(caps.size(), 1u);
  EXPECT_EQ(test::IntArgs(sets[0]),
            (std::vector<int64_t>{h, 0x5000, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(test::IntArg(gets[0], 2), 10);
  EXPECT_EQ(test::IntArgs(caps[0]), (std::vector<int64_t>{h, 0x5000, 0}));
}

TEST_F(GuardedSdk, OnlyASuccessfulSetPropOf3301ClearsTheRearmFlag) {
  ctx_->lRearm3301 = 1;
  EXPECT_EQ(sdk_->BRN_SetProp(0x3302, 0), 0);
  Fault(R"("fn":"ZEPK_SetProp","result":-1,"error":4099)");
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  Fault(R"("fn":"ZEPK_SetProp","throw":true)");
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  const auto lines = camera_->LogLines("Obj_Brelon_ZEPKAPI->callPropFunc exception");
  ASSERT_EQ(lines.size(), 1u) << "a throw is logged by callPropFunc";
  EXPECT_NE(lines[0].find("callPropFunc()"), std::string::npos) << lines[0];
  EXPECT_EQ(ctx_->lRearm3301, 1);
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), 0);
  EXPECT_EQ(ctx_->lRearm3301, 0);
}

TEST_F(GuardedSdk, AMissingPropertyEntryOrADisconnectedContextIsRefusedWithoutACall) {
  const ZEPK_GetPropFn saved = ctx_->pSdk->m_pfnGetProp;
  ctx_->pSdk->m_pfnGetProp = nullptr;  // as the loader leaves it for a library without one
  int32_t value = 0;
  EXPECT_EQ(sdk_->BRN_GetProp(0x3328, 1, Address(&value)), ZEPK_FAILED);
  ctx_->pSdk->m_pfnGetProp = saved;
  EXPECT_EQ(camera_->LogLines("ZEPK_GetProp missing").size(), 1u);
  {
    plat::LockGuard connection(Locks().connection);
    ctx_->lConnected = 0;  // as the session thread leaves it after losing the camera
  }
  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&value)), ZEPK_FAILED);
  EXPECT_EQ(sdk_->BRN_CapProp(0x3328, 0), ZEPK_FAILED);
  {
    plat::LockGuard connection(Locks().connection);
    ctx_->lConnected = 1;
  }
  EXPECT_TRUE(camera_->Sim().Trace().empty());
  void* object = nullptr;
  ASSERT_EQ(CreateIF(nullptr, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  auto* orphan = static_cast<IBrelon_ZEPKAPI*>(object);
  EXPECT_EQ(orphan->BRN_GetAperture(Address(&value)), ZEPK_FAILED);
  EXPECT_EQ(orphan->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(orphan->Release(), 0);
}

struct SimCall {
  ZEPK_GetWBModeFn entry;
  int32_t camera, value;
};

int32_t CallGetWBMode(void* raw) {
  auto* call = static_cast<SimCall*>(raw);
  return call->entry(call->camera, &call->value);
}

TEST(SdkGuard, CatchesAnSdkThrowAndLeavesTheResultAlone) {
  test::SimSession sim(R"({"faults":[{"fn":"ZEPK_GetWBMode","nth":1,"count":1,"throw":true}]})");
  int32_t found = 0, camera = 0, mode = 0;
  ASSERT_EQ(sim.Entry<ZEPK_InitFn>("ZEPK_Init")(nullptr), 0);
  ASSERT_EQ(sim.Entry<ZEPK_DetectFn>("ZEPK_Detect")(kConnectUsb, nullptr, nullptr, &found), 0);
  ASSERT_EQ(sim.Entry<ZEPK_OpenExFn>("ZEPK_OpenEx")("ENUM:0", &camera, &mode, nullptr), 0);
  SimCall call{sim.Entry<ZEPK_GetWBModeFn>("ZEPK_GetWBMode"), camera, -1};
  int32_t result = 12345;
  EXPECT_FALSE(plat::CallGuarded(&CallGetWBMode, &call, &result));
  EXPECT_EQ(result, 12345);
  EXPECT_TRUE(plat::CallGuarded(&CallGetWBMode, &call, &result));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(call.value, 2);
  sim.Entry<ZEPK_ExitFn>("ZEPK_Exit")();
}

TEST(SdkGuard, AThrowingZepkInitStillLetsTheSessionConnect) {
  test::ConnectedContext camera(
      R"({"faults":[{"fn":"ZEPK_Init","nth":1,"count":1,"throw":true}]})");
  EXPECT_TRUE(camera.Connected());
  const auto inits = camera.Sim().Calls("ZEPK_Init");
  ASSERT_GE(inits.size(), 1u);
  EXPECT_TRUE(inits[0].threw);
}

}  // namespace
}  // namespace brelon
