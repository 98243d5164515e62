// CreateIF: the three kinds and their starting reference counts, kinds it does not offer, two
// objects over one context, a guarded SDK object made before any camera is connected, and what
// the host gets when an object cannot be allocated.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "brelon/interfaces.h"
#include "core/context.h"
#include "support/connected_context.h"

// Allocation failure on demand: the factory allocates with the nothrow form, which this test
// program replaces. Memory comes from the ordinary operator new, so ordinary delete frees it.
namespace {
std::atomic<bool> g_failNothrowNew{false};
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_failNothrowNew) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace brelon {
namespace {

TEST(CreateIF, KindsOutsideOneToThreeGiveNoObjectAndZero) {
  auto owned = std::make_unique<PluginContext>();  // over 2 MiB: too big for a stack
  PluginContext& ctx = *owned;
  for (int32_t kind : {0, 4, -1, 1000}) {
    void* object = &ctx;  // any leftover value must be cleared
    EXPECT_EQ(CreateIF(&ctx, kind, &object), BRELON_OK) << kind;
    EXPECT_EQ(object, nullptr) << kind;
  }
  EXPECT_EQ(CreateIF(&ctx, BRELON_IF_BRELON, nullptr), BRELON_OK) << "nowhere to put it";
}

TEST(CreateIF, EveryKindStartsWithOneReference) {
  auto owned = std::make_unique<PluginContext>();  // over 2 MiB: too big for a stack
  PluginContext& ctx = *owned;
  for (int32_t kind : {BRELON_IF_PROPERTY, BRELON_IF_BRELON, BRELON_IF_ZEPKAPI}) {
    SCOPED_TRACE(kind);
    void* object = nullptr;
    ASSERT_EQ(CreateIF(&ctx, kind, &object), BRELON_OK);
    ASSERT_NE(object, nullptr);
    auto* counted = static_cast<IBrelon_OBJ*>(object);
    EXPECT_EQ(counted->AddRef(), 2);
    EXPECT_EQ(counted->Release(), 1);
    EXPECT_EQ(counted->Release(), 0);
  }
}

TEST(CreateIF, TwoInterfaceObjectsAreIndependentViewsOfOneContext) {
  auto owned = std::make_unique<PluginContext>();  // over 2 MiB: too big for a stack
  PluginContext& ctx = *owned;
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(CreateIF(&ctx, BRELON_IF_BRELON, &first), BRELON_OK);
  ASSERT_EQ(CreateIF(&ctx, BRELON_IF_BRELON, &second), BRELON_OK);
  ASSERT_NE(first, second);
  auto* a = static_cast<IBrelon*>(first);
  auto* b = static_cast<IBrelon*>(second);
  EXPECT_EQ(a->AddRef(), 2);
  EXPECT_EQ(b->AddRef(), 2);
  a->SetHostValue(42);
  EXPECT_EQ(b->GetHostValue(), 42);
  EXPECT_EQ(ctx.lHostValue, 42);
  for (IBrelon* object : {a, b}) {
    object->Release();
    EXPECT_EQ(object->Release(), 0);
  }
}

TEST(CreateIF, AnObjectThatCannotBeAllocatedIsReportedWithoutAnException) {
  auto owned = std::make_unique<PluginContext>();  // over 2 MiB: too big for a stack
  PluginContext& ctx = *owned;
  for (int32_t kind : {BRELON_IF_PROPERTY, BRELON_IF_BRELON, BRELON_IF_ZEPKAPI}) {
    void* object = &ctx;
    g_failNothrowNew = true;
    const int32_t result = CreateIF(&ctx, kind, &object);
    g_failNothrowNew = false;
    EXPECT_EQ(result, BRELON_E_NO_MEMORY) << kind;
    EXPECT_EQ(object, nullptr) << kind;
  }
}

TEST(CreateIF, AGuardedSdkObjectMadeBeforeAConnectionCallsNothing) {
  // A running plug-in whose simulated SDK has no camera to find.
  test::ConnectedContext session(R"({"cameras":[]})", /*timeoutMs=*/200);
  ASSERT_EQ(session.InitResult(), BRELON_OK);
  ASSERT_FALSE(session.Connected());
  void* object = nullptr;
  ASSERT_EQ(CreateIF(session.Context(), BRELON_IF_ZEPKAPI, &object), BRELON_OK);
  auto* sdk = static_cast<IBrelon_ZEPKAPI*>(object);
  int32_t value = 0;
  EXPECT_EQ(sdk->BRN_GetAperture(reinterpret_cast<ZepkArg>(&value)), BRELON_E_SDK);
  EXPECT_EQ(sdk->BRN_SetProp(0x3301, 0), BRELON_E_SDK);
  EXPECT_EQ(
      sdk->BRN_GetErrorNumber(reinterpret_cast<ZepkArg>(&value), reinterpret_cast<ZepkArg>(&value)),
      BRELON_E_SDK);
  EXPECT_TRUE(session.Sim().Calls("ZEPK_GetAperture").empty());
  EXPECT_TRUE(session.Sim().Calls("ZEPK_SetProp").empty());
  EXPECT_TRUE(session.Sim().Calls("ZEPK_GetErrorNumber").empty());
  EXPECT_TRUE(session.LogLines("Obj_Brelon_ZEPKAPI").empty()) << "refusals are not logged";
  EXPECT_EQ(sdk->Release(), 0);
}

}  // namespace
}  // namespace brelon
