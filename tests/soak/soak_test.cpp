// Soak: eight host threads call the exports and the interface objects' members at random while
// the simulated camera is unplugged and plugged every 200 ms and answers busy now and then.
// Nothing may hang, every shot's files must reach the host exactly once under their names, and
// Exit must come back within one session cycle. BRELON_SOAK_SECONDS sets the duration.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "platform/run_thread.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

constexpr uint32_t kTimeScale = 50;  // a session cycle of 5 s nominal lasts 100 ms
constexpr int kHostThreads = 8;
constexpr int kDefaultSeconds = 3;  // without BRELON_SOAK_SECONDS, e.g. a developer's run
constexpr int kMaxSeconds = 86400;
constexpr uint32_t kPlugPeriodMs = 200;     // real time between an unplug and the next plug
constexpr uint32_t kChaosSliceMs = 10;      // real time between two busy answers or camera events
constexpr uint32_t kExitSlackMs = 1500;     // real time beyond one cycle that Exit may take
constexpr uint32_t kSessionCycleMs = 5000;  // nominal: the longest wait of one session cycle
constexpr uint32_t kCloseDelayMs = 600;     // nominal: before each camera close
constexpr int kChaosShutterEvery = 7;       // one camera-body shot per this many chaos slices
constexpr int kChaosPreviewEvery = 5;       // one preview frame per this many chaos slices
// One busy answer per this many slices: each waits for the next call of its entry point, so
// rarely called ones (detection, opening) must not have one pending all the time.
constexpr int kChaosBusyEvery = 10;
constexpr uint32_t kSeed = 20261206;
constexpr int32_t kPropSavedHostCount = 0x3328;  // a property every simulated camera holds

const std::string kConfig = R"({"cameras":[{"preview_bytes":2048,)"
                            R"("capture":{"format":"raw+jpeg","delay_ms":5,"raw_bytes":30000}}]})";

// Entry points the chaos thread makes answer busy once, covering every path the threads use.
const char* const kBusyTargets[] = {
    "ZEPK_GetDeviceInfo",     "ZEPK_GetMediaRecord",  "ZEPK_ReadImageInfo", "ZEPK_ReadImage",
    "ZEPK_GetPriorityMode",   "ZEPK_SetPriorityMode", "ZEPK_CapRelease",    "ZEPK_Release",
    "ZEPK_GetBufferCapacity", "ZEPK_GetShutterSpeed", "ZEPK_GetAperture",   "ZEPK_GetWBMode",
    "ZEPK_GetProp",           "ZEPK_Detect",          "ZEPK_OpenEx"};

int SoakSeconds() {
  const char* text = std::getenv("BRELON_SOAK_SECONDS");
  if (!text || !*text) return kDefaultSeconds;
  char* end = nullptr;
  const long seconds = std::strtol(text, &end, 10);
  if (*end != '\0' || seconds <= 0) return kDefaultSeconds;
  return static_cast<int>(std::min<long>(seconds, kMaxSeconds));
}

struct Soak {
  test::ConnectedContext host{kConfig};
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  plat::Lock* pairs = plat::LockCreate();  // a host keeps each query with its read
  plat::Lock* namesLock = plat::LockCreate();
  std::vector<std::u16string> names;  // delivered, guarded by namesLock
  std::atomic<int> deleted{0};        // files the discard rule removed in the camera
  ~Soak() {
    plat::LockDestroy(pairs);
    plat::LockDestroy(namesLock);
  }
};

template <typename T>
T* Create(PluginContext* ctx, int32_t kind) {
  void* object = nullptr;
  return CreateIF(ctx, kind, &object) == BRELON_OK ? static_cast<T*>(object) : nullptr;
}

void HostThread(Soak& soak, int index) {
  std::mt19937 random(kSeed + index);
  void** handle = soak.host.Handle();
  PluginContext* ctx = soak.host.Context();
  auto* object = Create<IBrelon>(ctx, BRELON_IF_BRELON);
  auto* property = Create<IBrelon_Property>(ctx, BRELON_IF_PROPERTY);
  auto* sdk = Create<IBrelon_ZEPKAPI>(ctx, BRELON_IF_ZEPKAPI);
  std::vector<uint8_t> preview(kPreviewSlotBytes);
  enum Action {
    kShoot,
    kPair,
    kCondition,
    kConnection,
    kPreview,
    kSettings,
    kHostLock,
    kObject,
    kSdkObject,
    kActionCount
  };
  while (!soak.stop.load()) {
    ++soak.calls;
    switch (random() % kActionCount) {
      case kShoot:
        Shoot(handle);
        break;
      case kPair: {
        test::TransferLog log;
        {
          plat::LockGuard pair(soak.pairs);
          soak.host.FetchOne(log);
        }
        soak.deleted += static_cast<int>(
            std::count(log.results.begin(), log.results.end(), BRELON_E_IMAGE_DELETED));
        plat::LockGuard guard(soak.namesLock);
        soak.names.insert(soak.names.end(), log.names.begin(), log.names.end());
        break;
      }
      case kCondition: {
        BrelonCondition condition{};
        GetCameraCondition(handle, &condition);
        break;
      }
      case kConnection: {
        uint8_t connected = 0;
        DeviceInformation info{};
        IsCameraConnect(handle, &connected);
        GetDeviceInfo(handle, &info);
        break;
      }
      case kPreview:
        if (object) {
          int32_t size = static_cast<int32_t>(preview.size());
          object->TakePreview(preview.data(), &size);
        }
        break;
      case kSettings: {
        // Now and then the photographer stops transferring one format, so that the discard rule
        // deletes files in the camera and the final count has to account for them. The
        // connection settings are written back unchanged.
        _BRELON_PROPERTY record{};
        if (ReadProperty(&record) == 0) {
          if (random() % 8 == 0) {
            const unsigned choice = random() % 3;  // both, JPEG only, RAW only; never neither
            record.TransferJPEG = choice != 2;
            record.TransferRAW = choice != 1;
          }
          WriteProperty(&record);
        }
        if (property) property->Read(&record);
        break;
      }
      case kHostLock:
        if (object) {
          const int32_t lock = index % 2;
          object->LockHost(lock);
          BrelonCondition condition{};
          object->GetCondition(&condition);
          object->UnlockHost(lock);
        }
        break;
      case kObject:
        if (object) {
          int32_t a = 0, b = 0;
          // Refreshing (argument 1) writes the cached mode without a lock, which the interface
          // leaves to a host that serialises it; reading is safe from any thread.
          object->GetPriorityMode(0);
          object->GetCameraHandle();
          object->GetCapacity(&a, &b);
          object->GetConnectKind();
          object->GetOpenMode();
          object->GetMode3301();
          object->GetAlwaysOne();
        }
        break;
      case kSdkObject:
        if (sdk) {
          int32_t value = 0;
          sdk->BRN_GetAperture(reinterpret_cast<ZepkArg>(&value));
          sdk->BRN_GetProp(kPropSavedHostCount, 1, &value);
        }
        break;
      default:
        break;
    }
  }
  if (sdk) sdk->Release();
  if (property) property->Release();
  if (object) object->Release();
}

// Unplugs and plugs the camera every kPlugPeriodMs and sprinkles busy answers, camera-body
// shots and preview frames in between.
void ChaosThread(Soak& soak) {
  std::mt19937 random(kSeed);
  bool plugged = true;
  auto lastToggle = std::chrono::steady_clock::now();
  for (int slice = 1; !soak.stop.load(); ++slice) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastToggle >= std::chrono::milliseconds(kPlugPeriodMs)) {
      soak.host.Control(plugged ? R"({"cmd":"unplug","camera":0})"
                                : R"({"cmd":"plug","camera":0})");
      plugged = !plugged;
      lastToggle = now;
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
  const int seconds = SoakSeconds();
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

  // Settled: the camera is back, so whatever it still holds can be fetched now.
  test::ConnectedContext& host = soak->host;
  void** handle = host.Handle();
  ASSERT_TRUE(test::Eventually([&] {
    uint8_t connected = 0;
    return IsCameraConnect(handle, &connected) == BRELON_OK;
  })) << "no reconnection after the soak";
  ASSERT_TRUE(host.ShotsReady());
  std::vector<std::u16string> names = soak->names;
  // The camera was unplugged last moments ago: until the session has noticed and opened it
  // again, the old handle is dead and the pairs find nothing, so they are repeated until then.
  test::TransferLog rest;
  test::Eventually([&] {
    const test::TransferLog more = host.FetchPending(4 * (host.Pending() + 1));
    rest.results.insert(rest.results.end(), more.results.begin(), more.results.end());
    rest.names.insert(rest.names.end(), more.names.begin(), more.names.end());
    return host.Pending() == 0;
  });
  names.insert(names.end(), rest.names.begin(), rest.names.end());
  const int deleted =
      soak->deleted.load() + static_cast<int>(std::count(rest.results.begin(), rest.results.end(),
                                                         BRELON_E_IMAGE_DELETED));
  EXPECT_EQ(host.Pending(), 0) << "files left in the camera";

  const int shots = host.Control(R"({"cmd":"stats","camera":0,"what":"shots"})");
  std::vector<std::u16string> expected;
  for (int frame = 1; frame <= shots; ++frame) {
    expected.push_back(test::ExpectedName(frame, true));
    expected.push_back(test::ExpectedName(frame, false));
  }
  std::sort(expected.begin(), expected.end());
  std::sort(names.begin(), names.end());
  const auto twice = std::adjacent_find(names.begin(), names.end());
  EXPECT_EQ(twice, names.end()) << "a file was delivered twice";
  for (const std::u16string& name : names) {
    EXPECT_TRUE(std::binary_search(expected.begin(), expected.end(), name))
        << "a file was delivered under a name no shot had";
  }
  // Every file of every shot: delivered, or deleted by the discard rule; none left, none lost.
  EXPECT_EQ(names.size() + static_cast<size_t>(deleted), expected.size())
      << names.size() << " delivered and " << deleted << " deleted of " << expected.size();
  std::printf(
      "[ soak ] %d s, %d host calls, %d shots, %zu files delivered (%zu while the camera "
      "came and went), %d deleted, %d connections, %d losses\n",
      seconds, soak->calls.load(), shots, names.size(), soak->names.size(), deleted,
      host.Count(BRELON_EV_CONNECTED), host.Count(BRELON_EV_DISCONNECTED));

  EXPECT_GT(shots, 0);

  // Exit: the session thread finishes the cycle it is in and no more.
  const auto exitStart = std::chrono::steady_clock::now();
  Exit(handle);
  const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - exitStart)
                          .count();
  EXPECT_LE(exitMs, (kSessionCycleMs + 2 * kCloseDelayMs) / kTimeScale + kExitSlackMs);
  soak.reset();
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
