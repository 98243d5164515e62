// CreateIF: kinds it does not offer, two objects over one context, and an allocation failure.
// Reference counts of every kind are checked through the vtable in obj_brelon_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>

#include "brelon/interfaces.h"
#include "core/context.h"

// The factory allocates with the nothrow form, which this program replaces to fail on demand.
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

TEST(CreateIF, UnknownKindsAndFailedAllocationsLeaveNoObject) {
  auto ctx = std::make_unique<PluginContext>();  // too big for a stack
  for (int32_t kind : {0, 4, -1, 1000}) {
    void* object = ctx.get();  // a leftover value must be cleared
    EXPECT_EQ(CreateIF(ctx.get(), kind, &object), BRELON_OK) << kind;
    EXPECT_EQ(object, nullptr) << kind;
  }
  EXPECT_EQ(CreateIF(ctx.get(), BRELON_IF_BRELON, nullptr), BRELON_OK) << "nowhere to put it";
  for (int32_t kind : {BRELON_IF_PROPERTY, BRELON_IF_BRELON, BRELON_IF_ZEPKAPI}) {
    void* object = ctx.get();
    g_failNothrowNew = true;
    const int32_t result = CreateIF(ctx.get(), kind, &object);
    g_failNothrowNew = false;
    EXPECT_EQ(result, BRELON_E_NO_MEMORY) << kind;
    EXPECT_EQ(object, nullptr) << kind;
  }
}

TEST(CreateIF, TwoInterfaceObjectsAreIndependentViewsOfOneContext) {
  auto ctx = std::make_unique<PluginContext>();
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(CreateIF(ctx.get(), BRELON_IF_BRELON, &first), BRELON_OK);
  ASSERT_EQ(CreateIF(ctx.get(), BRELON_IF_BRELON, &second), BRELON_OK);
  ASSERT_NE(first, second);
  auto* a = static_cast<IBrelon*>(first);
  auto* b = static_cast<IBrelon*>(second);
  EXPECT_EQ(a->AddRef(), 2);
  EXPECT_EQ(b->AddRef(), 2);
  a->SetHostValue(42);
  EXPECT_EQ(b->GetHostValue(), 42);
  for (IBrelon* object : {a, b}) {
    object->Release();
    EXPECT_EQ(object->Release(), 0);
  }
}

}  // namespace
}  // namespace brelon
