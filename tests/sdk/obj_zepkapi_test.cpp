// The guarded SDK interface: property calls pass their count word and at most ten values after
// the camera handle; more are refused unread.
#include <gtest/gtest.h>

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
  void* object = nullptr;
  ASSERT_EQ(CreateIF(camera.Context(), BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  auto* sdk = static_cast<IBrelon_ZEPKAPI*>(object);
  plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in the trace
  camera.Sim().ClearTrace();
  ZepkArg a[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(
      sdk->BRN_SetProp(0x5000, 10, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]), 0);
  EXPECT_EQ(sdk->BRN_GetProp(0x5000, 11, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                             a[10]),
            ZEPK_FAILED);
  EXPECT_EQ(sdk->BRN_SetProp(0x5000, -1), ZEPK_FAILED);
  const std::vector<test::TraceCall> calls = camera.Sim().Trace();
  ASSERT_EQ(calls.size(), 1u) << "nothing more is called";
  EXPECT_EQ(test::IntArgs(calls[0]), (std::vector<int64_t>{camera.Context()->hCamera, 0x5000, 10, 1,
                                                           2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(sdk->Release(), 0);
}

}  // namespace
}  // namespace brelon
