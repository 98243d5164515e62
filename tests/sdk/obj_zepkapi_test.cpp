// The guarded SDK interface: words passed after the camera handle, property calls with their
// count word and value limit, the 0x3301 re-arm flag, a missing property entry, and exceptions
// out of the SDK (a member, callPropFunc, the platform guard itself and the session thread's
// ZEPK_Init) caught, logged and answered with -1 — natively and under Wine.
#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "core/context.h"
#include "core/session.h"
#include "platform/platform.h"
#include "sdk/loader.h"
#include "sdk/obj_brelon_zepkapi.h"
#include "support/connected_context.h"
#include "support/sim_harness.h"

namespace brelon {
namespace {

ZepkArg Address(void* p) {
  return reinterpret_cast<ZepkArg>(p);
}

// ---- callPropFunc on its own -----------------------------------------------------------------

struct RecordedPropCall {
  int calls = 0;
  int32_t camera = 0;
  int32_t code = 0;
  int32_t count = 0;
  std::vector<ZepkArg> values;
};
RecordedPropCall g_recorded;

int32_t BRELON_CDECL RecordProp(int32_t camera, int32_t code, int32_t count, ...) {
  g_recorded.calls++;
  g_recorded.camera = camera;
  g_recorded.code = code;
  g_recorded.count = count;
  g_recorded.values.clear();
  va_list values;
  va_start(values, count);
  for (int32_t i = 0; i < count; ++i) g_recorded.values.push_back(va_arg(values, ZepkArg));
  va_end(values);
  return 17;
}

TEST(CallPropFunc, SpreadsOneToElevenWordsAfterHandleAndCode) {
  ZepkArg words[12] = {10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  g_recorded = {};
  EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, 11, words), 17);
  EXPECT_EQ(g_recorded.calls, 1);
  EXPECT_EQ(g_recorded.camera, 5);
  EXPECT_EQ(g_recorded.code, 0x5000);
  EXPECT_EQ(g_recorded.values, (std::vector<ZepkArg>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  ZepkArg none[1] = {0};
  EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, 1, none), 17);
  EXPECT_EQ(g_recorded.count, 0);
  EXPECT_EQ(g_recorded.calls, 2);
}

TEST(CallPropFunc, RefusesOtherWordCountsAndAMissingEntryWithoutACall) {
  ZepkArg words[12] = {11};
  g_recorded = {};
  for (int32_t count : {0, 12, -1, 1000}) {
    EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, count, words),
              ZEPK_FAILED)
        << count;
  }
  EXPECT_EQ(g_recorded.calls, 0);
  EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(nullptr, "ZEPK_GetProp", 5, 0x5000, 1, words),
            ZEPK_FAILED);
}

// ---- Against the simulated camera ----------------------------------------------------------

struct Releaser {
  void operator()(IBrelon_OBJ* object) const { object->Release(); }
};

class GuardedSdk : public ::testing::Test {
 protected:
  void Connect(const std::string& config = "") {
    camera_ = std::make_unique<test::ConnectedContext>(config);
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
  int Control(const std::string& json) { return camera_->Sim().Control(json); }
  void SetConnected(int32_t connected) {
    plat::LockGuard connection(Locks().connection);
    ctx_->lConnected = connected;
  }
  std::vector<test::TraceCall> Calls(const char* fn) { return camera_->Sim().Calls(fn); }

  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  std::unique_ptr<IBrelon_ZEPKAPI, Releaser> sdk_;
  bool locked_ = false;
};

TEST_F(GuardedSdk, WordsFollowTheCameraHandleUnchanged) {
  Connect();
  const int64_t h = ctx_->hCamera;
  EXPECT_EQ(sdk_->BRN_SetShutterSpeed(244, 0), 0);
  const auto sets = Calls("ZEPK_SetShutterSpeed");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(test::IntArgs(sets[0]), (std::vector<int64_t>{h, 244, 0}));

  int32_t aperture = 0;
  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&aperture)), 0);
  EXPECT_EQ(aperture, 280);
  int32_t count = 0;
  int32_t list[8] = {};
  EXPECT_EQ(sdk_->BRN_CapAperture(Address(&count), Address(list), 0), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(list[0], 280);

  // A refusal is the SDK's answer, passed on; the error number stays for the host to fetch.
  EXPECT_EQ(sdk_->BRN_SetPriorityMode(9), ZEPK_FAILED);
  int32_t api = 0;
  int32_t error = 0;
  EXPECT_EQ(sdk_->BRN_GetErrorNumber(Address(&api), Address(&error)), 0);
  EXPECT_EQ(error, 0x1003);
}

TEST_F(GuardedSdk, AThrowingSdkCallIsLoggedAndAnsweredWithMinusOne) {
  Connect();
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetAperture","nth":1,"count":1,"throw":true})"),
            0);
  int32_t aperture = -5;
  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&aperture)), ZEPK_FAILED);
  EXPECT_EQ(aperture, -5);
  const auto calls = Calls("ZEPK_GetAperture");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].threw);
  const auto lines = camera_->LogLines("Obj_Brelon_ZEPKAPI::BRN_GetAperture exception");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("OBJ_Brelon_ZEPKAPI.cpp"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("BRN_GetAperture()"), std::string::npos) << lines[0];

  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&aperture)), 0) << "the object stays usable";
  EXPECT_EQ(aperture, 280);
}

TEST_F(GuardedSdk, PropertyCallsCarryTheCountAndAtMostTenValues) {
  Connect();
  const int64_t h = ctx_->hCamera;
  EXPECT_EQ(
      sdk_->BRN_SetProp(0x5000, 10, ZepkArg{1}, ZepkArg{2}, ZepkArg{3}, ZepkArg{4}, ZepkArg{5},
                        ZepkArg{6}, ZepkArg{7}, ZepkArg{8}, ZepkArg{9}, ZepkArg{10}),
      0);
  const auto sets = Calls("ZEPK_SetProp");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(test::IntArgs(sets[0]),
            (std::vector<int64_t>{h, 0x5000, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // GetProp's values are addresses: each of the ten receives its stored value.
  int32_t v[11] = {};
  EXPECT_EQ(sdk_->BRN_GetProp(0x5000, 10, Address(&v[0]), Address(&v[1]), Address(&v[2]),
                              Address(&v[3]), Address(&v[4]), Address(&v[5]), Address(&v[6]),
                              Address(&v[7]), Address(&v[8]), Address(&v[9])),
            0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(v[i], i + 1) << i;
  ASSERT_EQ(Calls("ZEPK_GetProp").size(), 1u);
  EXPECT_EQ(test::IntArg(Calls("ZEPK_GetProp")[0], 2), 10);

  EXPECT_EQ(sdk_->BRN_GetProp(0x5000, 11, Address(&v[0]), Address(&v[1]), Address(&v[2]),
                              Address(&v[3]), Address(&v[4]), Address(&v[5]), Address(&v[6]),
                              Address(&v[7]), Address(&v[8]), Address(&v[9]), Address(&v[10])),
            ZEPK_FAILED);
  EXPECT_EQ(sdk_->BRN_SetProp(0x5000, -1), ZEPK_FAILED);
  EXPECT_EQ(Calls("ZEPK_GetProp").size(), 1u) << "no call for 11 values";
  EXPECT_EQ(Calls("ZEPK_SetProp").size(), 1u) << "no call for a negative count";

  EXPECT_EQ(sdk_->BRN_CapProp(0x5000, 0), 0);
  const auto caps = Calls("ZEPK_CapProp");
  ASSERT_EQ(caps.size(), 1u);
  EXPECT_EQ(test::IntArgs(caps[0]), (std::vector<int64_t>{h, 0x5000, 0}));
}

TEST_F(GuardedSdk, OnlyASuccessfulSetPropOf3301ClearsTheRearmFlag) {
  Connect();
  ctx_->lRearm3301 = 1;
  EXPECT_EQ(sdk_->BRN_SetProp(0x3302, 0), 0);
  EXPECT_EQ(ctx_->lRearm3301, 1);
  ASSERT_EQ(
      Control(R"({"cmd":"fault","fn":"ZEPK_SetProp","nth":1,"count":1,"result":-1,"error":4099})"),
      0);
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(ctx_->lRearm3301, 1);
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), 0);
  EXPECT_EQ(ctx_->lRearm3301, 0);
}

TEST_F(GuardedSdk, AThrowingPropertyCallIsLoggedByCallPropFunc) {
  Connect();
  ctx_->lRearm3301 = 1;
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_SetProp","nth":1,"count":1,"throw":true})"), 0);
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(ctx_->lRearm3301, 1);
  const auto lines = camera_->LogLines("Obj_Brelon_ZEPKAPI->callPropFunc exception");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("callPropFunc()"), std::string::npos) << lines[0];
  EXPECT_EQ(sdk_->BRN_SetProp(0x3301, 0), 0);
}

TEST_F(GuardedSdk, AMissingPropertyEntryIsRefusedAndLogged) {
  Connect();
  // A library may lack the property entries; the loader then leaves them null.
  const ZEPK_GetPropFn saved = ctx_->pSdk->m_pfnGetProp;
  ctx_->pSdk->m_pfnGetProp = nullptr;
  int32_t value = 0;
  EXPECT_EQ(sdk_->BRN_GetProp(0x3328, 1, Address(&value)), ZEPK_FAILED);
  ctx_->pSdk->m_pfnGetProp = saved;
  EXPECT_TRUE(Calls("ZEPK_GetProp").empty());
  EXPECT_EQ(camera_->LogLines("ZEPK_GetProp missing").size(), 1u);
}

TEST_F(GuardedSdk, ADisconnectedContextIsRefusedWithoutACall) {
  Connect();
  SetConnected(0);  // as the session thread leaves it after losing the camera
  int32_t value = 0;
  EXPECT_EQ(sdk_->BRN_GetAperture(Address(&value)), ZEPK_FAILED);
  EXPECT_EQ(sdk_->BRN_CapProp(0x3328, 0), ZEPK_FAILED);
  SetConnected(1);
  EXPECT_TRUE(camera_->Sim().Trace().empty());

  void* object = nullptr;
  ASSERT_EQ(CreateIF(nullptr, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  auto* orphan = static_cast<IBrelon_ZEPKAPI*>(object);
  EXPECT_EQ(orphan->BRN_GetAperture(Address(&value)), ZEPK_FAILED);
  EXPECT_EQ(orphan->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(orphan->Release(), 0);
}

// ---- The guard itself and the session thread's ZEPK_Init ------------------------------------

struct SimCall {
  ZEPK_GetWBModeFn entry;
  int32_t camera;
  int32_t value;
};

int32_t CallGetWBMode(void* raw) {
  auto* call = static_cast<SimCall*>(raw);
  return call->entry(call->camera, &call->value);
}

TEST(SdkGuard, CatchesAnSdkThrowAndLeavesTheResultAlone) {
  test::SimSession sim(R"({"faults":[{"fn":"ZEPK_GetWBMode","nth":1,"count":1,"throw":true}]})");
  ASSERT_EQ(sim.Entry<ZEPK_InitFn>("ZEPK_Init")(nullptr), 0);
  int32_t found = 0;
  ASSERT_EQ(sim.Entry<ZEPK_DetectFn>("ZEPK_Detect")(kConnectUsb, nullptr, nullptr, &found), 0);
  int32_t camera = 0;
  int32_t mode = 0;
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
