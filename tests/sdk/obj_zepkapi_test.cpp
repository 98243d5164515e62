// The guarded SDK interface: words passed after the camera handle, property calls with their
// count word and value limit, the 0x3301 re-arm flag, refusals without a call, and exceptions
// out of the SDK caught, logged and answered with -1, natively and under Wine.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/interfaces.h"
#include "sdk/loader.h"
#include "sdk/obj_brelon_zepkapi.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

TEST(GuardedSdk, PassesWordsAndPropertyValuesOnAndRefusesWhatItCannotCallSafely) {
  test::ConnectedContext camera;
  ASSERT_TRUE(camera.Connected());
  PluginContext* ctx = camera.Context();
  void* object = nullptr;
  ASSERT_EQ(CreateIF(ctx, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  std::unique_ptr<IBrelon_ZEPKAPI, void (*)(IBrelon_ZEPKAPI*)> sdk(
      static_cast<IBrelon_ZEPKAPI*>(object), [](IBrelon_ZEPKAPI* s) { s->Release(); });
  plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in the trace
  camera.Sim().ClearTrace();
  const auto args = [&](const char* fn) {
    std::vector<int64_t> all;
    for (const test::TraceCall& call : camera.Sim().Calls(fn)) {
      for (int64_t word : test::IntArgs(call)) all.push_back(word);
    }
    return all;
  };
  const auto address = [](void* p) { return reinterpret_cast<ZepkArg>(p); };
  const int64_t h = ctx->hCamera;
  EXPECT_EQ(sdk->BRN_SetShutterSpeed(244, 0), 0);
  EXPECT_EQ(args("ZEPK_SetShutterSpeed"), (std::vector<int64_t>{h, 244, 0}));
  int32_t count = 0, list[8] = {}, api = 0, error = 0;
  EXPECT_EQ(sdk->BRN_CapAperture(address(&count), address(list), 0), 0);
  EXPECT_EQ(std::vector<int32_t>(list, list + count), std::vector<int32_t>{280});
  EXPECT_EQ(sdk->BRN_SetPriorityMode(9), ZEPK_FAILED);  // refusals are passed on
  EXPECT_EQ(sdk->BRN_GetErrorNumber(address(&api), address(&error)), 0);
  EXPECT_EQ(error, 0x1003) << "the error number stays for the host to fetch";

  // Property calls carry their count word and at most ten values; more are refused unread.
  ZepkArg a[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(
      sdk->BRN_SetProp(0x5000, 10, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]), 0);
  EXPECT_EQ(sdk->BRN_GetProp(0x5000, 11, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                             a[10]),
            ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_SetProp(0x5000, -1), ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_CapProp(0x5000, 0), 0);
  const ZepkArg words[12] = {10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  for (int32_t wordCount : {0, 12, -1}) {  // the shared caller refuses what no member passes
    EXPECT_EQ(Obj_Brelon_ZEPKAPI::callPropFunc(ctx->pSdk->m_pfnGetProp, "X", ctx->hCamera, 0x5000,
                                               wordCount, words),
              ZEPK_FAILED);
  }
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
  EXPECT_EQ(orphan->BRN_GetAperture(a[0]) + orphan->BRN_SetProp(0x3301, 0), 2 * ZEPK_FAILED);
  EXPECT_EQ(orphan->Release(), 0);
  EXPECT_TRUE(camera.Sim().Trace().empty());
  EXPECT_EQ(camera.LogLines("ZEPK_GetProp missing").size(), 1u);

  // An exception out of the SDK, from a member or from a property call, is caught and logged;
  // the object stays usable.
  for (const std::string fn : {"ZEPK_GetAperture", "ZEPK_SetProp"}) {
    ASSERT_EQ(camera.Sim().Control(R"({"cmd":"fault","throw":true,"fn":")" + fn + "\"}"), 0);
  }
  int32_t aperture = -5;
  EXPECT_EQ(sdk->BRN_GetAperture(address(&aperture)), ZEPK_FAILED);
  EXPECT_EQ(aperture, -5);
  EXPECT_EQ(sdk->BRN_SetProp(0x3301, 0), ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_GetAperture(address(&aperture)), 0);
  EXPECT_EQ(aperture, 280);
  const std::vector<std::string> records = camera.LogLines("OBJ_Brelon_ZEPKAPI.cpp");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("BRN_GetAperture() "), std::string::npos) << records[0];
  EXPECT_NE(records[1].find("callPropFunc() "), std::string::npos) << records[1];
}

}  // namespace
}  // namespace brelon
