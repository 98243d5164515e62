// The SDK guard: it claims an exception thrown out of the SDK and leaves the result alone. On
// Windows it claims exactly the C++ throw code of an MSVC-built SDK and lets every other
// exception reach the handlers above it, as an access violation must, and stays usable.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/testing.h"

#if defined(_WIN32)
#include <windows.h>

namespace {

DWORD g_seenAbove = 0;  // the code the top-level filter saw, 0 when none reached it

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* info) {
  g_seenAbove = info->ExceptionRecord->ExceptionCode;
  // Raised as continuable: RaiseException returns and the SDK call goes on to its result.
  return EXCEPTION_CONTINUE_EXECUTION;
}

int32_t Raise(void* code) {
  RaiseException(static_cast<DWORD>(reinterpret_cast<uintptr_t>(code)), 0, 0, nullptr);
  return 42;
}

TEST(SdkGuard, ClaimsTheSdkThrowOnlyAndStaysUsable) {
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&TopLevelFilter);
  // The SDK's throw, twice; another application code; an access violation.
  const DWORD kCodes[] = {0xE06D7363, 0xE06D7363, 0xE0424C4E, EXCEPTION_ACCESS_VIOLATION};
  for (DWORD code : kCodes) {
    g_seenAbove = 0;
    int32_t result = -7;
    const bool sdkThrow = code == 0xE06D7363;
    EXPECT_EQ(plat::CallGuarded(&Raise, reinterpret_cast<void*>(uintptr_t{code}), &result),
              !sdkThrow);
    EXPECT_EQ(result, sdkThrow ? -7 : 42);
    EXPECT_EQ(g_seenAbove, sdkThrow ? 0 : code);
  }
  SetUnhandledExceptionFilter(previous);
}

}  // namespace

#else

namespace {

TEST(SdkGuard, CatchAllGuardClaimsAnyCxxExceptionAndPassesResultsOn) {
  int32_t result = -7;
  EXPECT_FALSE(plat::CallGuarded([](void*) -> int32_t { throw 1; }, nullptr, &result));
  EXPECT_EQ(result, -7);
  EXPECT_TRUE(plat::CallGuarded([](void*) -> int32_t { return 42; }, nullptr, &result));
  EXPECT_EQ(result, 42);
}

}  // namespace

#endif
