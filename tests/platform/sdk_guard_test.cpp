// The SDK guard under Windows exception handling: it claims exactly the C++ throw code of an
// MSVC-built SDK and lets every other exception reach the handlers above it, as an access
// violation must. Windows only: the POSIX guard is a plain catch-all around the call.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdint>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

#if defined(_WIN32)

constexpr DWORD kMsvcThrow = 0xE06D7363;
constexpr DWORD kOtherCode = 0xE0424C4E;  // any application code other than the SDK's throw
constexpr int32_t kReturned = 42;

DWORD g_seenAbove = 0;  // the code the top-level filter saw, 0 when none reached it

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* info) {
  g_seenAbove = info->ExceptionRecord->ExceptionCode;
  // Raised as continuable: RaiseException returns and the SDK call goes on to its result.
  return EXCEPTION_CONTINUE_EXECUTION;
}

int32_t Raise(void* code) {
  RaiseException(static_cast<DWORD>(reinterpret_cast<uintptr_t>(code)), 0, 0, nullptr);
  return kReturned;
}

class SdkGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seenAbove = 0;
    previous_ = SetUnhandledExceptionFilter(&TopLevelFilter);
  }
  void TearDown() override { SetUnhandledExceptionFilter(previous_); }
  static void* Code(DWORD code) { return reinterpret_cast<void*>(static_cast<uintptr_t>(code)); }
  LPTOP_LEVEL_EXCEPTION_FILTER previous_ = nullptr;
};

TEST_F(SdkGuard, SdkThrowIsClaimedAndNothingAboveSeesIt) {
  int32_t result = -7;
  EXPECT_FALSE(plat::CallGuarded(&Raise, Code(kMsvcThrow), &result));
  EXPECT_EQ(result, -7);
  EXPECT_EQ(g_seenAbove, 0u);
}

TEST_F(SdkGuard, OtherExceptionsPassOnToTheHandlersAbove) {
  for (DWORD code : {kOtherCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)}) {
    SCOPED_TRACE(code);
    g_seenAbove = 0;
    int32_t result = 0;
    EXPECT_TRUE(plat::CallGuarded(&Raise, Code(code), &result));
    EXPECT_EQ(g_seenAbove, code);
    EXPECT_EQ(result, kReturned);
  }
}

TEST_F(SdkGuard, GuardStaysUsableAfterClaimingAThrow) {
  int32_t result = 0;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(plat::CallGuarded(&Raise, Code(kMsvcThrow), &result));
  EXPECT_TRUE(plat::CallGuarded(&Raise, Code(kOtherCode), &result));
  EXPECT_EQ(result, kReturned);
}

#else

TEST(SdkGuard, CatchAllGuardClaimsAnyCxxException) {
  int32_t result = -7;
  auto thrower = [](void*) -> int32_t { throw 1; };
  EXPECT_FALSE(plat::CallGuarded(thrower, nullptr, &result));
  EXPECT_EQ(result, -7);
}

#endif

}  // namespace
