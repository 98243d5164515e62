// The guarded SDK interface: words passed after the camera handle, property calls with their
// count word and value limit, the 0x3301 re-arm flag, refusals without a call, and exceptions
// out of the SDK caught, logged and answered with -1, natively and under Wine.
#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "base/context.h"
#include "sdk/loader.h"
#include "sdk/obj_brelon_zepkapi.h"
#include "support/connected_context.h"

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
  for (int32_t count : {0, 12, -1}) {
    EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(&RecordProp, "X", 5, 0x5000, count, words), -1);
  }
  EXPECT_TRUE(g_spread.empty()) << "no call";
}

TEST(GuardedSdk, PassesWordsAndPropertyValuesOnAndRefusesWhatItCannotCallSafely) {
  test::ConnectedContext camera;
  ASSERT_TRUE(camera.Connected());
  PluginContext* ctx = camera.Context();
  void* object = nullptr;
  ASSERT_EQ(CreateIF(ctx, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  const auto release = [](IBrelon_ZEPKAPI* sdk) { sdk->Release(); };
  std::unique_ptr<IBrelon_ZEPKAPI, decltype(release)> sdk(static_cast<IBrelon_ZEPKAPI*>(object),
                                                          release);
  plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in the trace
  camera.Sim().ClearTrace();
  const auto args = [&](const char* fn) {
    std::vector<int64_t> all;
    for (const test::TraceCall& call : camera.Sim().Calls(fn)) {
      for (int64_t word : test::IntArgs(call)) all.push_back(word);
    }
    return all;
  };
  const int64_t h = ctx->hCamera;
  EXPECT_EQ(sdk->BRN_SetShutterSpeed(244, 0), 0);
  EXPECT_EQ(args("ZEPK_SetShutterSpeed"), (std::vector<int64_t>{h, 244, 0}));
  int32_t count = 0, list[8] = {};
  EXPECT_EQ(sdk->BRN_CapAperture(Address(&count), Address(list), 0), 0);
  EXPECT_EQ(std::vector<int32_t>(list, list + count), std::vector<int32_t>{280});
  EXPECT_EQ(sdk->BRN_SetPriorityMode(9), ZEPK_FAILED);  // refusals are passed on
  int32_t api = 0, error = 0;
  EXPECT_EQ(sdk->BRN_GetErrorNumber(Address(&api), Address(&error)), 0);
  EXPECT_EQ(error, 0x1003) << "the error number stays for the host to fetch";

  // Property calls carry their count and at most ten values.
  EXPECT_EQ(sdk->BRN_SetProp(0x5000, 10, ZepkArg{1}, ZepkArg{2}, ZepkArg{3}, ZepkArg{4}, ZepkArg{5},
                             ZepkArg{6}, ZepkArg{7}, ZepkArg{8}, ZepkArg{9}, ZepkArg{10}),
            0);
  ZepkArg a[11] = {};  // more values than a property call takes: refused unread
  EXPECT_EQ(sdk->BRN_GetProp(0x5000, 11, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                             a[10]),
            ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_SetProp(0x5000, -1), ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_CapProp(0x5000, 0), 0);
  EXPECT_EQ(args("ZEPK_SetProp"),
            (std::vector<int64_t>{h, 0x5000, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_TRUE(args("ZEPK_GetProp").empty());
  EXPECT_EQ(args("ZEPK_CapProp"), (std::vector<int64_t>{h, 0x5000, 0}));

  // Only a successful SetProp of 0x3301 clears the re-arm flag.
  ctx->lRearm3301 = 1;
  EXPECT_EQ(sdk->BRN_SetProp(0x3302, 0), 0);
  ASSERT_EQ(camera.Sim().Control(R"({"cmd":"fault","fn":"ZEPK_SetProp","error":4099})"), 0);
  EXPECT_EQ(sdk->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(ctx->lRearm3301, 1);
  EXPECT_EQ(sdk->BRN_SetProp(0x3301, 0), 0);
  EXPECT_EQ(ctx->lRearm3301, 0);

  // A missing property entry, a lost camera or no context at all: refused without a call.
  camera.Sim().ClearTrace();
  const ZEPK_GetPropFn saved = ctx->pSdk->m_pfnGetProp;
  ctx->pSdk->m_pfnGetProp = nullptr;  // as the loader leaves it for a library without one
  EXPECT_EQ(sdk->BRN_GetProp(0x3328, 1, a[0]), ZEPK_FAILED);
  ctx->pSdk->m_pfnGetProp = saved;
  const auto setConnected = [&](int32_t connected) {
    plat::LockGuard connection(Locks().connection);
    ctx->lConnected = connected;
  };
  setConnected(0);  // as the session thread leaves it after losing the camera
  EXPECT_EQ(sdk->BRN_GetAperture(a[0]), ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_CapProp(0x3328, 0), ZEPK_FAILED);
  setConnected(1);
  ASSERT_EQ(CreateIF(nullptr, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  auto* orphan = static_cast<IBrelon_ZEPKAPI*>(object);
  EXPECT_EQ(orphan->BRN_GetAperture(a[0]), ZEPK_FAILED);
  EXPECT_EQ(orphan->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(orphan->Release(), 0);
  EXPECT_TRUE(camera.Sim().Trace().empty());
  EXPECT_EQ(camera.LogLines("ZEPK_GetProp missing").size(), 1u);

  // An exception out of the SDK, from a member or from a property call, is caught and logged;
  // the object stays usable.
  for (const char* fn : {"ZEPK_GetAperture", "ZEPK_SetProp"}) {
    ASSERT_EQ(
        camera.Sim().Control(std::string(R"({"cmd":"fault","throw":true,"fn":")") + fn + "\"}"), 0);
  }
  int32_t aperture = -5;
  EXPECT_EQ(sdk->BRN_GetAperture(Address(&aperture)), ZEPK_FAILED);
  EXPECT_EQ(aperture, -5);
  EXPECT_EQ(sdk->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_GetAperture(Address(&aperture)), 0);
  EXPECT_EQ(aperture, 280);
  const std::vector<std::string> records = camera.LogLines("OBJ_Brelon_ZEPKAPI.cpp");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("BRN_GetAperture() "), std::string::npos) << records[0];
  EXPECT_NE(records[1].find("callPropFunc() "), std::string::npos) << records[1];
}

}  // namespace
}  // namespace brelon
