// Resource cycles: a thousand Init/Exit pairs and a thousand shots with their transfers must leave
// no open camera handle and no growing memory behind. Under the asan preset LeakSanitizer checks
// every byte at exit; natively the resident set is compared between the 10th and the 1000th round.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

#if defined(__SANITIZE_THREAD__)
#define BRELON_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRELON_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BRELON_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRELON_TEST_ASAN 1
#endif
#endif

#if defined(BRELON_TEST_TSAN)
// Each round's thread start and 2 MiB context cost ThreadSanitizer some 100 ms; the leak count
// belongs to the asan preset, so here a short series looks only for races.
constexpr int kInitRounds = 50;
#else
constexpr int kInitRounds = 1000;
#endif
constexpr int kShotRounds = 1000;
#if defined(BRELON_TEST_TSAN) || defined(BRELON_TEST_ASAN)
constexpr bool kSanitizedHeap = true;  // freed memory stays in the sanitizer's quarantine
#else
constexpr bool kSanitizedHeap = false;
#endif

constexpr uint32_t kTimeScale = 1000;  // the session's 600 ms close delay lasts 0.6 ms
constexpr int kWarmRounds = 10;
constexpr int kConnectEvery = 10;  // every tenth context waits for its camera before Exit
constexpr int64_t kRssToleranceBytes = 1 << 20;

const std::string kConfig =
    R"({"cameras":[{"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":50000}}]})";

// Resident set size in bytes from the "VmRSS:" line of /proc/self/status (in KiB, whatever the
// page size); -1 where there is no such file.
int64_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key; status.ignore(1 << 16, '\n')) {
    int64_t kib = -1;
    if (key == "VmRSS:") return status >> kib ? kib * 1024 : -1;
  }
  return -1;
}

class ResourceCycles : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_ = test::UseFreshProfile("resources");
    plat::SetTimeScale(kTimeScale);
  }
  void TearDown() override { plat::SetTimeScale(1); }

  // RSS grown between the end of the warm-up rounds and the last round; skipped where unknown.
  void ExpectFlat(int64_t warm, int64_t last, int rounds, const char* what) {
    if (warm < 0 || kSanitizedHeap) {
      std::printf("[ rss ] %s: not measured here\n", what);
      return;
    }
    std::printf("[ rss ] %s: %lld KiB after %d rounds, %lld KiB after %d\n", what,
                static_cast<long long>(warm / 1024), kWarmRounds,
                static_cast<long long>(last / 1024), rounds);
    EXPECT_LE(last - warm, kRssToleranceBytes) << what;
  }

  test::Profile profile_;
};

TEST_F(ResourceCycles, InitExitPairsCloseEveryHandleAndKeepMemoryFlat) {
  // One simulator session for all rounds; its own first context is not needed.
  test::ConnectedContext host(kConfig, test::ConnectedContext::kNoWait, false);
  Exit(host.Handle());
  int64_t warm = -1;
  for (int round = 1; round <= kInitRounds; ++round) {
    void* context = nullptr;
    ASSERT_EQ(Init(&context, nullptr, nullptr), BRELON_OK) << "round " << round;
    if (round % kConnectEvery == 0) {
      ASSERT_TRUE(test::Eventually([&] {
        uint8_t connected = 0;
        return IsCameraConnect(&context, &connected) == BRELON_OK;
      })) << "round "
          << round;
    }
    Exit(&context);
    ASSERT_EQ(context, nullptr);
    ASSERT_EQ(host.Control(R"({"cmd":"stats","what":"handles"})"), 0)
        << "round " << round << " left a camera open";
    if (round == kWarmRounds) warm = ResidentBytes();
  }
  ExpectFlat(warm, ResidentBytes(), kInitRounds, "Init/Exit");
}

TEST_F(ResourceCycles, ShotsWithTransfersKeepMemoryFlat) {
  test::ConnectedContext host(kConfig, test::ConnectedContext::kDefaultConnectTimeoutMs, false);
  ASSERT_TRUE(host.Connected());
  plat::LockGuard holdSession(Locks().host[0]);
  int64_t warm = -1;
  for (int frame = 1; frame <= kShotRounds; ++frame) {
    ASSERT_EQ(Shoot(host.Handle()), BRELON_OK) << "shot " << frame;
    ASSERT_TRUE(host.ShotsReady());
    const test::TransferLog log = host.FetchPending();
    ASSERT_EQ(log.names.size(), 2u) << "shot " << frame;
    ASSERT_EQ(log.names[0], test::ExpectedName(frame, true));
    ASSERT_EQ(log.names[1], test::ExpectedName(frame, false));
    if (frame == kWarmRounds) warm = ResidentBytes();
  }
  ExpectFlat(warm, ResidentBytes(), kShotRounds, "shots");
}

}  // namespace
}  // namespace brelon
