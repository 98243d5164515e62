// Soak: eight host threads call exports and interface members at random while the camera is
// unplugged every 200 ms and answers busy now and then: nothing hangs, every file arrives once
// under its name, Exit takes one cycle. Init/Exit rounds leave no camera open, memory flat.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "core/session.h"
#include "platform/run_thread.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

constexpr uint32_t kTimeScale = 50;  // a session cycle of 5 s nominal lasts 100 ms
constexpr int kHostThreads = 8, kDefaultSeconds = 3;
constexpr uint32_t kChaosSliceMs = 10, kExitSlackMs = 1500;  // real time
// Per this many chaos slices: a plug toggle (200 ms), a shot, a preview frame, a busy answer.
constexpr int kPlugEvery = 20, kShutterEvery = 7, kPreviewEvery = 5, kBusyEvery = 10;
constexpr uint32_t kSeed = 20261206;
constexpr int32_t kProp = 0x3328;  // a property every simulated camera holds
const std::string kConfig = R"({"cameras":[{"preview_bytes":2048,)"
                            R"("capture":{"format":"raw+jpeg","delay_ms":5,"raw_bytes":30000}}]})";
const char* const kBusyTargets[] = {
    "ZEPK_GetDeviceInfo",     "ZEPK_GetMediaRecord",  "ZEPK_ReadImageInfo", "ZEPK_ReadImage",
    "ZEPK_GetPriorityMode",   "ZEPK_SetPriorityMode", "ZEPK_CapRelease",    "ZEPK_Release",
    "ZEPK_GetBufferCapacity", "ZEPK_GetShutterSpeed", "ZEPK_GetAperture",   "ZEPK_GetWBMode",
    "ZEPK_GetProp",           "ZEPK_Detect",          "ZEPK_OpenEx"};

struct Soak {
  test::ConnectedContext host{kConfig};
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  plat::Lock* pairs = plat::LockCreate();  // a host keeps each query with its read
  test::TransferLog log;                   // guarded by pairs
  ~Soak() { plat::LockDestroy(pairs); }
};

void HostThread(Soak& soak, int index) {
  std::mt19937 random(kSeed + index);
  void** handle = soak.host.Handle();
  void* objects[3] = {};
  for (int32_t kind : {BRELON_IF_PROPERTY, BRELON_IF_BRELON, BRELON_IF_ZEPKAPI})
    CreateIF(*handle, kind, &objects[kind - 1]);
  auto* property = static_cast<IBrelon_Property*>(objects[0]);
  auto* object = static_cast<IBrelon*>(objects[1]);
  auto* sdk = static_cast<IBrelon_ZEPKAPI*>(objects[2]);
  std::vector<uint8_t> preview(kPreviewSlotBytes);
  BrelonCondition condition{};
  DeviceInformation info{};
  _BRELON_PROPERTY record{};
  int32_t a = 0, b = 0, side = index % 2;
  uint8_t connected = 0;
  const std::function<void()> kCalls[] = {
      [&] { Shoot(handle); },
      [&] { soak.host.FetchOne((plat::LockGuard(soak.pairs), soak.log)); },  // held to the ";"
      [&] { GetCameraCondition(handle, &condition); },
      [&] { IsCameraConnect(handle, &connected), GetDeviceInfo(handle, &info); },
      [&] { a = kPreviewSlotBytes, object->TakePreview(preview.data(), &a); },
      [&] {  // at times one format is not transferred, so the discard rule deletes in the camera
        const unsigned choice = random() % 24;  // below 3: both, JPEG only, RAW only
        if (ReadProperty(&record) == 0) {
          if (choice < 3) record.TransferJPEG = choice != 2, record.TransferRAW = choice != 1;
          WriteProperty(&record);
        }
        property->Read(&record);
      },
      [&] { object->LockHost(side), object->GetCondition(&condition), object->UnlockHost(side); },
      [&] {  // refreshing (argument 1) writes the cached mode unlocked, left to a serial host
        object->GetPriorityMode(0), object->GetCameraHandle(), object->GetCapacity(&a, &b);
        object->GetConnectKind(), object->GetOpenMode(), object->GetMode3301();
      },
      [&] { sdk->BRN_GetAperture(reinterpret_cast<ZepkArg>(&a)), sdk->BRN_GetProp(kProp, 1, &a); }};
  for (; !soak.stop.load(); ++soak.calls) kCalls[random() % std::size(kCalls)]();
  for (void* o : objects) static_cast<IBrelon_OBJ*>(o)->Release();
}

void ChaosThread(Soak& soak) {
  std::mt19937 random(kSeed);
  const auto control = [&](const std::string& json) { soak.host.Control(json); };
  for (int slice = 1; !soak.stop.load(); ++slice, test::RealSleepMs(kChaosSliceMs)) {
    const std::string plug = slice / kPlugEvery % 2 ? "unplug" : "plug";
    if (slice % kPlugEvery == 0) control(R"({"cmd":")" + plug + R"(","camera":0})");
    if (slice % kBusyEvery == 0)
      control(std::string(R"({"cmd":"fault","nth":1,"count":1,"result":-1,"fn":")") +
              kBusyTargets[random() % std::size(kBusyTargets)] + R"(","error":)" +
              std::to_string(ZEPK_ERR_BUSY) + "}");
    if (slice % kShutterEvery == 0) control(R"({"cmd":"press_shutter","camera":0})");
    if (slice % kPreviewEvery == 0) control(R"({"cmd":"preview","camera":0})");
  }
  control(R"({"cmd":"plug","camera":0})"), control(R"({"cmd":"clear_faults"})");
}

TEST(Soak, HostThreadsUnderUnplugAndBusyLoseAndDuplicateNothing) {
  const char* text = std::getenv("BRELON_SOAK_SECONDS");
  const int seconds = text && std::atoi(text) > 0 ? std::atoi(text) : kDefaultSeconds;
  test::Profile profile = test::UseFreshProfile("soak");
  plat::SetTimeScale(kTimeScale);
  auto soak = std::make_unique<Soak>();
  ASSERT_TRUE(soak->host.Connected());
  std::vector<plat::Thread*> threads;
  for (int i = 0; i <= kHostThreads; ++i) {  // the last one is the chaos thread
    threads.push_back(test::StartThread(
        [&soak, i] { i < kHostThreads ? HostThread(*soak, i) : ChaosThread(*soak); }));
    ASSERT_NE(threads.back(), nullptr);
  }
  test::RealSleepMs(static_cast<uint32_t>(seconds) * 1000);
  soak->stop = true;
  for (plat::Thread* thread : threads)
    plat::ThreadJoin(thread, plat::kInfinite), plat::ThreadClose(thread);

  // The camera back: the pairs find nothing until the session has opened it again.
  test::ConnectedContext& host = soak->host;
  uint8_t connected = 0;
  ASSERT_TRUE(
      test::Eventually([&] { return IsCameraConnect(host.Handle(), &connected) == BRELON_OK; }));
  ASSERT_TRUE(host.ShotsReady());
  EXPECT_TRUE(test::Eventually([&] { return host.FetchOne(soak->log), host.Pending() == 0; }))
      << "files left in the camera";
  const auto deleted = std::ranges::count(soak->log.results, BRELON_E_IMAGE_DELETED);
  const int shots = host.Control(R"({"cmd":"stats","camera":0,"what":"shots"})");
  EXPECT_GT(shots, 0);
  std::vector<std::u16string> expected;
  for (int frame = 1; frame <= 2 * shots; ++frame)
    expected.push_back(test::ExpectedName((frame + 1) / 2, frame % 2));
  std::ranges::sort(expected);
  std::vector<std::u16string>& names = soak->log.names;
  std::ranges::sort(names);
  EXPECT_EQ(std::ranges::adjacent_find(names), names.end()) << "delivered twice";
  EXPECT_TRUE(std::includes(expected.begin(), expected.end(), names.begin(), names.end()))
      << "a file was delivered under a name no shot had";
  EXPECT_EQ(names.size() + static_cast<size_t>(deleted), expected.size()) << "lost files";
  std::printf("[ soak ] %d s, %d calls, %d shots, %zu files, %d deleted\n", seconds,
              soak->calls.load(), shots, names.size(), int(deleted));

  const int64_t exitStart = test::RealNowMs();  // Exit lets the session finish its cycle, no more
  Exit(host.Handle());
  EXPECT_LE(test::RealNowMs() - exitStart,
            (kUsbCycleMs + 2 * kCloseDelayMs) / kTimeScale + kExitSlackMs);
  soak.reset(), plat::SetTimeScale(1);
}

// A lost 2 MiB context shows at once; sanitizers keep freed memory, so there only handles count.
TEST(ResourceCycles, InitExitPairsCloseEveryHandleAndKeepMemoryFlat) {
  constexpr int kRounds = 200, kWarmRounds = 10, kConnectEvery = 10;
  [[maybe_unused]] constexpr int kSlackPages = 256;  // resident pages: 1 MiB
  test::Profile profile = test::UseFreshProfile("resources");
  plat::SetTimeScale(1000);  // the session's 600 ms close delay lasts 0.6 ms
  test::ConnectedContext host(kConfig, test::ConnectedContext::kNoWait, false);
  Exit(host.Handle());        // one simulator session for all rounds; its own context is not needed
  const auto resident = [] {  // pages; -1 without /proc
    int64_t size = -1, pages = -1;
    return std::ifstream("/proc/self/statm") >> size >> pages, pages;
  };
  [[maybe_unused]] int64_t warm = -1;
  for (int round = 1; round <= kRounds; ++round) {
    void* context = nullptr;
    ASSERT_EQ(Init(&context, nullptr, nullptr), BRELON_OK) << "round " << round;
    uint8_t on = 0;  // every tenth round waits for the camera first
    ASSERT_TRUE(round % kConnectEvery ||
                test::Eventually([&] { return IsCameraConnect(&context, &on) == BRELON_OK; }));
    Exit(&context);
    ASSERT_EQ(host.Control(R"({"cmd":"stats","what":"handles"})"), 0) << "round " << round;
    if (round == kWarmRounds) warm = resident();
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_TRUE(warm < 0 || resident() - warm <= kSlackPages) << resident() - warm;
#endif
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
