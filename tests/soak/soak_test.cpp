// Soak: eight host threads call the exports and the interface objects' members at random while
// the simulated camera is unplugged and plugged every 200 ms and answers busy now and then.
// Nothing may hang, every shot's files must reach the host exactly once under their names, and
// Exit must come back within one session cycle. BRELON_SOAK_SECONDS sets the duration. Then
// Init/Exit rounds, which must leave no camera open and the resident set flat.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "capture/media_record.h"
#include "core/session.h"
#include "platform/run_thread.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

constexpr uint32_t kTimeScale = 50;  // a session cycle of 5 s nominal lasts 100 ms
constexpr int kHostThreads = 8;
constexpr int kDefaultSeconds = 3;       // without BRELON_SOAK_SECONDS, e.g. a developer's run
constexpr uint32_t kPlugPeriodMs = 200;  // real time between an unplug and the next plug
constexpr uint32_t kChaosSliceMs = 10;   // real time between two busy answers or camera events
constexpr uint32_t kExitSlackMs = 1500;  // real time beyond one cycle that Exit may take
constexpr int kChaosShutterEvery = 7;    // one camera-body shot per this many chaos slices
constexpr int kChaosPreviewEvery = 5;    // one preview frame per this many chaos slices
// One busy answer per this many slices: each waits for the next call of its entry point, so
// rarely called ones (detection, opening) must not have one pending all the time.
constexpr int kChaosBusyEvery = 10;
constexpr uint32_t kSeed = 20261206;

const std::string kConfig = R"({"cameras":[{"preview_bytes":2048,)"
                            R"("capture":{"format":"raw+jpeg","delay_ms":5,"raw_bytes":30000}}]})";

// Entry points the chaos thread makes answer busy once, covering every path the threads use.
const char* const kBusyTargets[] = {
    "ZEPK_GetDeviceInfo",     "ZEPK_GetMediaRecord",  "ZEPK_ReadImageInfo", "ZEPK_ReadImage",
    "ZEPK_GetPriorityMode",   "ZEPK_SetPriorityMode", "ZEPK_CapRelease",    "ZEPK_Release",
    "ZEPK_GetBufferCapacity", "ZEPK_GetShutterSpeed", "ZEPK_GetAperture",   "ZEPK_GetWBMode",
    "ZEPK_GetProp",           "ZEPK_Detect",          "ZEPK_OpenEx"};

struct Soak {
  test::ConnectedContext host{kConfig};
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::atomic<int> deleted{0};             // files the discard rule removed in the camera
  plat::Lock* pairs = plat::LockCreate();  // a host keeps each query with its read
  test::TransferLog log;                   // guarded by pairs
  ~Soak() { plat::LockDestroy(pairs); }
};

void HostThread(Soak& soak, int index) {
  std::mt19937 random(kSeed + index);
  void** handle = soak.host.Handle();
  void* objects[3] = {};
  for (int32_t kind : {BRELON_IF_PROPERTY, BRELON_IF_BRELON, BRELON_IF_ZEPKAPI}) {
    CreateIF(*handle, kind, &objects[kind - 1]);
  }
  auto* property = static_cast<IBrelon_Property*>(objects[0]);
  auto* object = static_cast<IBrelon*>(objects[1]);
  auto* sdk = static_cast<IBrelon_ZEPKAPI*>(objects[2]);
  std::vector<uint8_t> preview(kPreviewSlotBytes);
  BrelonCondition condition{};
  DeviceInformation info{};
  _BRELON_PROPERTY record{};
  int32_t a = 0, b = 0;
  uint8_t connected = 0;
  for (; !soak.stop.load(); ++soak.calls) {
    switch (random() % 9) {
      case 0:
        Shoot(handle);
        break;
      case 1: {
        plat::LockGuard pair(soak.pairs);
        soak.host.FetchOne(soak.log);
        break;
      }
      case 2:
        GetCameraCondition(handle, &condition);
        break;
      case 3:
        IsCameraConnect(handle, &connected);
        GetDeviceInfo(handle, &info);
        break;
      case 4:
        a = static_cast<int32_t>(preview.size());
        object->TakePreview(preview.data(), &a);
        break;
      case 5:
        // Now and then the photographer stops transferring one format, so that the discard
        // rule deletes files in the camera and the final count has to account for them.
        if (ReadProperty(&record) == 0) {
          if (random() % 8 == 0) {
            const unsigned choice = random() % 3;  // both, JPEG only, RAW only; never neither
            record.TransferJPEG = choice != 2;
            record.TransferRAW = choice != 1;
          }
          WriteProperty(&record);
        }
        property->Read(&record);
        break;
      case 6:
        object->LockHost(index % 2);
        object->GetCondition(&condition);
        object->UnlockHost(index % 2);
        break;
      case 7:
        // Refreshing (argument 1) writes the cached mode without a lock, which the interface
        // leaves to a host that serialises it; reading is safe from any thread.
        object->GetPriorityMode(0);
        object->GetCameraHandle();
        object->GetCapacity(&a, &b);
        object->GetConnectKind();
        object->GetOpenMode();
        object->GetMode3301();
        break;
      default:
        sdk->BRN_GetAperture(reinterpret_cast<ZepkArg>(&a));
        sdk->BRN_GetProp(0x3328, 1, &a);  // a property every simulated camera holds
    }
  }
  for (void* o : objects) static_cast<IBrelon_OBJ*>(o)->Release();
}

// Unplugs and plugs the camera every kPlugPeriodMs and sprinkles busy answers, camera-body
// shots and preview frames in between.
void ChaosThread(Soak& soak) {
  std::mt19937 random(kSeed);
  bool plugged = true;
  int64_t lastToggle = test::RealNowMs();
  for (int slice = 1; !soak.stop.load(); ++slice) {
    if (test::RealNowMs() - lastToggle >= kPlugPeriodMs) {
      plugged = !plugged;
      soak.host.Control(std::string(R"({"cmd":")") + (plugged ? "plug" : "unplug") +
                        R"(","camera":0})");
      lastToggle = test::RealNowMs();
    }
    const char* fn = kBusyTargets[random() % std::size(kBusyTargets)];
    if (slice % kChaosBusyEvery == 0) {
      soak.host.Control(std::string(R"({"cmd":"fault","fn":")") + fn +
                        R"(","nth":1,"count":1,"result":-1,"api_code":0,"error":)" +
                        std::to_string(ZEPK_ERR_BUSY) + "}");
    }
    if (slice % kChaosShutterEvery == 0) soak.host.Control(R"({"cmd":"press_shutter","camera":0})");
    if (slice % kChaosPreviewEvery == 0) soak.host.Control(R"({"cmd":"preview","camera":0})");
    test::RealSleepMs(kChaosSliceMs);
  }
  soak.host.Control(R"({"cmd":"plug","camera":0})");
  soak.host.Control(R"({"cmd":"clear_faults"})");
}

TEST(Soak, HostThreadsUnderUnplugAndBusyLoseAndDuplicateNothing) {
  const char* text = std::getenv("BRELON_SOAK_SECONDS");
  const int seconds = text && std::atoi(text) > 0 ? std::atoi(text) : kDefaultSeconds;
  test::Profile profile = test::UseFreshProfile("soak");
  plat::SetTimeScale(kTimeScale);
  auto soak = std::make_unique<Soak>();
  ASSERT_TRUE(soak->host.Connected());
  std::vector<plat::Thread*> threads;
  for (int i = 0; i < kHostThreads; ++i) {
    threads.push_back(test::StartThread([&soak, i] { HostThread(*soak, i); }));
  }
  threads.push_back(test::StartThread([&soak] { ChaosThread(*soak); }));
  for (plat::Thread* thread : threads) ASSERT_NE(thread, nullptr);
  test::RealSleepMs(static_cast<uint32_t>(seconds) * 1000);
  soak->stop = true;
  for (plat::Thread* thread : threads) {
    plat::ThreadJoin(thread, plat::kInfinite);
    plat::ThreadClose(thread);
  }

  // Settled: the camera is back, so whatever it still holds can be fetched now. Until the
  // session has noticed the last unplug and opened the camera again the old handle is dead and
  // the pairs find nothing, so they are repeated until then.
  test::ConnectedContext& host = soak->host;
  test::TransferLog& log = soak->log;
  const size_t duringSoak = log.names.size();
  ASSERT_TRUE(test::Eventually([&] {
    uint8_t connected = 0;
    return IsCameraConnect(host.Handle(), &connected) == BRELON_OK;
  })) << "no reconnection after the soak";
  ASSERT_TRUE(host.ShotsReady());
  test::Eventually([&] {
    for (int i = 0, most = 4 * (host.Pending() + 1); i < most && host.Pending() > 0; ++i) {
      host.FetchOne(log);
    }
    return host.Pending() == 0;
  });
  EXPECT_EQ(host.Pending(), 0) << "files left in the camera";
  const auto deleted = std::count(log.results.begin(), log.results.end(), BRELON_E_IMAGE_DELETED);

  const int shots = host.Control(R"({"cmd":"stats","camera":0,"what":"shots"})");
  EXPECT_GT(shots, 0);
  std::vector<std::u16string> expected, names = log.names;
  for (int frame = 1; frame <= shots; ++frame) {
    expected.push_back(test::ExpectedName(frame, true));
    expected.push_back(test::ExpectedName(frame, false));
  }
  std::sort(expected.begin(), expected.end());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "delivered twice";
  EXPECT_TRUE(std::includes(expected.begin(), expected.end(), names.begin(), names.end()))
      << "a file was delivered under a name no shot had";
  // Every file of every shot: delivered, or deleted by the discard rule; none left, none lost.
  EXPECT_EQ(names.size() + static_cast<size_t>(deleted), expected.size())
      << names.size() << " delivered and " << deleted << " deleted of " << expected.size();
  std::printf(
      "[ soak ] %d s, %d host calls, %d shots, %zu files (%zu while the camera came and "
      "went), %d deleted, %d connections\n",
      seconds, soak->calls.load(), shots, names.size(), duringSoak, int(deleted),
      host.Count(BRELON_EV_CONNECTED));

  // Exit: the session thread finishes the cycle it is in and no more.
  const int64_t exitStart = test::RealNowMs();
  Exit(host.Handle());
  EXPECT_LE(test::RealNowMs() - exitStart,
            (kUsbCycleMs + 2 * kCloseDelayMs) / kTimeScale + kExitSlackMs);
  soak.reset();
  plat::SetTimeScale(1);
}

// Resident set size in KiB from /proc/self/status; -1 where there is no such file.
int64_t ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key; status.ignore(1 << 16, '\n')) {
    int64_t kib = -1;
    if (key == "VmRSS:") return status >> kib ? kib : -1;
  }
  return -1;
}

// Each round's context is 2 MiB: a lost one shows at once. Every tenth round waits for the
// camera first. Sanitizers keep freed memory in quarantine, so there only the handles count.
TEST(ResourceCycles, InitExitPairsCloseEveryHandleAndKeepMemoryFlat) {
  constexpr int kRounds = 200, kWarmRounds = 10, kConnectEvery = 10;
  constexpr int64_t kToleranceKiB = 1024;
  test::Profile profile = test::UseFreshProfile("resources");
  plat::SetTimeScale(1000);  // the session's 600 ms close delay lasts 0.6 ms
  test::ConnectedContext host(kConfig, test::ConnectedContext::kNoWait, false);
  Exit(host.Handle());  // one simulator session for all rounds; its own context is not needed
  int64_t warm = -1;
  for (int round = 1; round <= kRounds; ++round) {
    void* context = nullptr;
    ASSERT_EQ(Init(&context, nullptr, nullptr), BRELON_OK) << "round " << round;
    uint8_t connected = 0;
    ASSERT_TRUE(round % kConnectEvery != 0 || test::Eventually([&] {
                  return IsCameraConnect(&context, &connected) == BRELON_OK;
                }))
        << "round " << round;
    Exit(&context);
    ASSERT_EQ(host.Control(R"({"cmd":"stats","what":"handles"})"), 0) << "round " << round;
    if (round == kWarmRounds) warm = ResidentKiB();
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_TRUE(warm < 0 || ResidentKiB() - warm <= kToleranceKiB) << ResidentKiB() - warm << " KiB";
#endif
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
