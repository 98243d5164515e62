// ReadImage against the simulated camera, measured against plain copies of the same bytes: the
// read call on a 50 MB raw with a 6 MB embedded JPEG, the same read with the camera's small
// embedded JPEG, and the query call on a 500 KB preview frame, with the plug-in's own heap
// allocations per call as a counter. Prints the ratios to the copies at the end of the run.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "brelon/brelon.h"
#include "core/context.h"
#include "platform/platform.h"
#include "sdk/loader.h"
#include "zepa/zepasim.h"

// ---- Heap allocations made by the plug-in while counting is on ------------------------------
namespace {
thread_local bool tCounting = false;
std::atomic<int64_t> gAllocations{0};
void* CountedAlloc(size_t size) {
  if (tCounting) ++gAllocations;
  return std::malloc(size ? size : 1);
}
}  // namespace

[[gnu::noinline]] void* operator new(size_t size) {
  if (void* p = CountedAlloc(size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](size_t size) {
  if (void* p = CountedAlloc(size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return CountedAlloc(size);
}
[[gnu::noinline]] void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return CountedAlloc(size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRawBytes = 50000000;
constexpr uint32_t kEmbeddedJpegBytes = 6000000;
constexpr uint32_t kPreviewBytes = 500000;
constexpr size_t kRawHeaderBytes = 256;  // where the camera puts the embedded JPEG
constexpr size_t kRawOffsetField = 84;
constexpr size_t kRawLengthField = 88;
constexpr int kPreviewBatch = 32;  // frames queued at a time (each one is 500 KB in the camera)
constexpr int kConnectWaitMs = 20000;

// What the SDK does on the plug-in's behalf is not the plug-in's allocation: counting pauses
// inside these stand-ins for the entries ReadImage calls.
struct Paused {
  bool saved = tCounting;
  Paused() { tCounting = false; }
  ~Paused() { tCounting = saved; }
};
ZEPK_ReadImageInfoFn gReadImageInfo;
ZEPK_ReadImageFn gReadImage;
ZEPK_GetPriorityModeFn gGetPriorityMode;
ZEPK_GetBufferCapacityFn gGetBufferCapacity;
int32_t BRELON_CDECL PausedReadImageInfo(int32_t c, ZepkImageInfo* i) {
  Paused p;
  return gReadImageInfo(c, i);
}
int32_t BRELON_CDECL PausedReadImage(int32_t c, void* b, uint32_t n) {
  Paused p;
  return gReadImage(c, b, n);
}
int32_t BRELON_CDECL PausedGetPriorityMode(int32_t c, int32_t* m) {
  Paused p;
  return gGetPriorityMode(c, m);
}
int32_t BRELON_CDECL PausedGetBufferCapacity(int32_t c, int32_t* a, int32_t* b) {
  Paused p;
  return gGetBufferCapacity(c, a, b);
}

std::atomic<bool> gConnected{false};
int32_t BRELON_CDECL OnEvent(int32_t, int32_t event, void*) {
  if (event == BRELON_EV_CONNECTED) gConnected = true;
  return 0;
}

// One plug-in context on the simulated camera, shared by every benchmark of the run.
struct Session {
  void* handle = nullptr;
  ZEPASIM_ControlFn control = nullptr;
  plat::Library* sim = nullptr;
  std::string dir;

  brelon::PluginContext* Ctx() const { return static_cast<brelon::PluginContext*>(handle); }
  int Control(const std::string& json) const { return control(json.c_str()); }
  int Pending() const { return Control(R"({"cmd":"pending","camera":0})"); }
  int Queued() const { return Control(R"({"cmd":"stats","camera":0,"what":"queued"})"); }
};
Session gSession;

bool StartSession() {
  Session& s = gSession;
  s.dir =
      (fs::temp_directory_path() / ("brelon-transfer-bench-" + std::to_string(getpid()))).string();
  fs::create_directories(s.dir);
  const std::string simPath =
      (fs::read_symlink("/proc/self/exe").parent_path() / "libzepa.so").string();
  const std::string config = s.dir + "/sim.json";
  std::ofstream(config) << R"({"cameras":[{"preview_bytes":)" << kPreviewBytes
                        << R"(,"capture":{"format":"raw","delay_ms":0,"raw_bytes":)" << kRawBytes
                        << "}}]}";
  // No trace (it would write a line per SDK call), settings and documents in the scratch folder.
  setenv("ZEPA_SIM_CONFIG", config.c_str(), 1);
  unsetenv("ZEPA_SIM_TRACE");
  setenv("BRELON_ZEPA_PATH", simPath.c_str(), 1);
  setenv("BRELON_REGISTRY_FILE", (s.dir + "/registry.reg").c_str(), 1);
  setenv("HOME", s.dir.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");

  const std::u16string wide(simPath.begin(), simPath.end());
  s.sim = plat::LibraryLoad(wide.c_str());
  s.control =
      s.sim ? reinterpret_cast<ZEPASIM_ControlFn>(plat::LibrarySymbol(s.sim, "ZEPASIM_Control"))
            : nullptr;
  if (!s.control) {
    std::fprintf(stderr, "simulator not loadable: %s\n", simPath.c_str());
    return false;
  }
  plat::SetTimeScale(10);  // the session thread's cycles; the copies are not affected
  if (Init(&s.handle, OnEvent, nullptr) != BRELON_OK) return false;
  for (int waited = 0; !gConnected && waited < kConnectWaitMs; waited += 10) plat::SleepMs(100);
  if (!gConnected) {
    std::fprintf(stderr, "no camera connection\n");
    return false;
  }
  brelon::CTavelSDK& sdk = *s.Ctx()->pSdk;
  plat::LockGuard hold(sdk.SdkLock());
  gReadImageInfo = std::exchange(sdk.m_pfnReadImageInfo, PausedReadImageInfo);
  gReadImage = std::exchange(sdk.m_pfnReadImage, PausedReadImage);
  gGetPriorityMode = std::exchange(sdk.m_pfnGetPriorityMode, PausedGetPriorityMode);
  gGetBufferCapacity = std::exchange(sdk.m_pfnGetBufferCapacity, PausedGetBufferCapacity);
  return true;
}

void StopSession() {
  Exit(&gSession.handle);
  if (gSession.sim) plat::LibraryFree(gSession.sim);
  std::error_code ignored;
  fs::remove_all(gSession.dir, ignored);
}

void ShootAndWait() {
  gSession.Control(R"({"cmd":"press_shutter","camera":0})");
  while (gSession.Queued() > gSession.Pending()) plat::YieldThread();
}

int32_t Query(uint32_t* size, uint8_t* isRaw) {
  return ReadImage(&gSession.handle, nullptr, size, isRaw, nullptr, nullptr, nullptr, nullptr);
}

int32_t Read(std::vector<uint8_t>& buffer, uint8_t isRaw, char16_t* name) {
  uint32_t size = static_cast<uint32_t>(buffer.size());
  char16_t file[261], folder[261];
  tCounting = true;
  const int32_t result =
      ReadImage(&gSession.handle, buffer.data(), &size, &isRaw, nullptr, name, file, folder);
  tCounting = false;
  return result;
}

void PutBig32(uint8_t* at, uint32_t value) {
  at[0] = uint8_t(value >> 24);
  at[1] = uint8_t(value >> 16);
  at[2] = uint8_t(value >> 8);
  at[3] = uint8_t(value);
}

// The camera's raw with its JPEG grown to kEmbeddedJpegBytes by scan data before the end
// marker, where a full-size picture keeps its bulk. Filler bytes never form a marker.
std::vector<uint8_t> RawWithLargeJpeg(const std::vector<uint8_t>& raw) {
  const uint32_t offset = uint32_t(raw[84]) << 24 | raw[85] << 16 | raw[86] << 8 | raw[87];
  const uint32_t length = uint32_t(raw[88]) << 24 | raw[89] << 16 | raw[90] << 8 | raw[91];
  std::vector<uint8_t> jpeg(raw.begin() + offset, raw.begin() + offset + length - 2);
  for (size_t i = jpeg.size(); i < kEmbeddedJpegBytes - 2; ++i) jpeg.push_back(uint8_t(i % 0xFF));
  jpeg.push_back(0xFF);
  jpeg.push_back(0xD9);
  std::vector<uint8_t> out(raw.begin(), raw.begin() + kRawHeaderBytes);
  out.insert(out.end(), jpeg.begin(), jpeg.end());
  out.resize(kRawBytes, 0x5A);
  PutBig32(out.data() + kRawOffsetField, kRawHeaderBytes);
  PutBig32(out.data() + kRawLengthField, kEmbeddedJpegBytes);
  return out;
}

// ---- Benchmarks ---------------------------------------------------------------------------

// The camera's own 50 MB raw: the SDK writes it into the host's buffer, the plug-in names it.
void BM_ReadRawFromCamera(benchmark::State& state) {
  std::vector<uint8_t> buffer(kRawBytes);
  char16_t name[261] = {};
  gAllocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ShootAndWait();
    uint32_t size = 0;
    uint8_t isRaw = 0;
    Query(&size, &isRaw);
    buffer.resize(size);
    state.ResumeTiming();
    if (Read(buffer, isRaw, name) != BRELON_OK || name[0] == 0) state.SkipWithError("read failed");
  }
  state.counters["allocs_per_call"] =
      benchmark::Counter(double(gAllocations), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(int64_t(state.iterations()) * kRawBytes);
}

void BM_CopyRaw(benchmark::State& state) {
  std::vector<uint8_t> source(kRawBytes, 1), target(kRawBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kRawBytes);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRawBytes);
}

// A 50 MB raw with a 6 MB JPEG: the simulated camera embeds only a small JPEG, so the SDK is
// made to succeed without writing and the transfer into the host's buffer is a copy here.
void BM_ReadRawWithLargeJpeg(benchmark::State& state) {
  ShootAndWait();
  uint32_t size = 0;
  uint8_t isRaw = 0;
  Query(&size, &isRaw);
  std::vector<uint8_t> camera(size);
  if (gReadImage(gSession.Ctx()->hCamera, camera.data(), size) != 0) {
    state.SkipWithError("no raw from the camera");
    return;
  }
  const std::vector<uint8_t> source = RawWithLargeJpeg(camera);
  std::vector<uint8_t> buffer(source.size());
  gSession.Control(R"({"cmd":"fault","fn":"ZEPK_ReadImage","nth":1,"count":-1,"result":0})");
  char16_t name[261] = {};
  gAllocations = 0;
  for (auto _ : state) {
    std::memcpy(buffer.data(), source.data(), source.size());
    if (Read(buffer, 1, name) != BRELON_OK || name[0] == 0) state.SkipWithError("read failed");
  }
  gSession.Control(R"({"cmd":"clear_faults"})");
  state.counters["allocs_per_call"] =
      benchmark::Counter(double(gAllocations), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(int64_t(state.iterations()) * kRawBytes);
}

void BM_CopyRawAndJpeg(benchmark::State& state) {
  std::vector<uint8_t> source(kRawBytes, 1), target(kRawBytes), jpeg(kEmbeddedJpegBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kRawBytes);
    std::memcpy(jpeg.data(), target.data() + kRawHeaderBytes, kEmbeddedJpegBytes);
    benchmark::DoNotOptimize(jpeg.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRawBytes);
}

// The query call that parks a 500 KB preview frame in the context.
void BM_QueryPreview(benchmark::State& state) {
  int queued = 0;
  gAllocations = 0;
  for (auto _ : state) {
    if (queued == 0) {
      state.PauseTiming();
      gSession.Control(R"({"cmd":"preview","camera":0,"frames":)" + std::to_string(kPreviewBatch) +
                       "}");
      queued = kPreviewBatch;
      state.ResumeTiming();
    }
    uint32_t size = 1;
    tCounting = true;
    const int32_t result = Query(&size, nullptr);
    tCounting = false;
    --queued;
    if (result != BRELON_OK || size != 0) state.SkipWithError("preview not taken");
  }
  brelon::PluginContext* ctx = gSession.Ctx();
  if (ctx->lPreviewSize[0] != int32_t(kPreviewBytes) &&
      ctx->lPreviewSize[1] != int32_t(kPreviewBytes)) {
    state.SkipWithError("no 500 KB frame parked");
  }
  while (gSession.Pending() > 0) Query(nullptr, nullptr);
  state.counters["allocs_per_call"] =
      benchmark::Counter(double(gAllocations), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(int64_t(state.iterations()) * kPreviewBytes);
}

// The copy a camera makes of each frame: from one of as many distinct frames as the preview
// benchmark keeps queued (so no more of them stays in the cache), into the slot.
void BM_CopyPreview(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> frames(kPreviewBatch, std::vector<uint8_t>(kPreviewBytes, 1));
  std::vector<uint8_t> slot(brelon::kPreviewSlotBytes);
  size_t next = 0;
  for (auto _ : state) {
    std::memcpy(slot.data(), frames[next].data(), kPreviewBytes);
    next = (next + 1) % frames.size();
    benchmark::DoNotOptimize(slot.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPreviewBytes);
}

// The two SDK calls of a preview query made directly, without the plug-in around them.
void BM_SdkPreviewCalls(benchmark::State& state) {
  brelon::PluginContext* ctx = gSession.Ctx();
  int queued = 0;
  for (auto _ : state) {
    if (queued == 0) {
      state.PauseTiming();
      gSession.Control(R"({"cmd":"preview","camera":0,"frames":)" + std::to_string(kPreviewBatch) +
                       "}");
      queued = kPreviewBatch;
      state.ResumeTiming();
    }
    ZepkImageInfo info{};
    gReadImageInfo(ctx->hCamera, &info);
    if (gReadImage(ctx->hCamera, ctx->PreviewBuffer[1], brelon::kPreviewSlotBytes) != 0) {
      state.SkipWithError("SDK read failed");
    }
    --queued;
  }
  ctx->lPreviewSize[1] = 0;
  while (gSession.Pending() > 0) Query(nullptr, nullptr);
  state.SetBytesProcessed(int64_t(state.iterations()) * kPreviewBytes);
}

// One SDK call that does no work: what each of the calls the plug-in must make costs by itself.
void BM_SdkCallRoundTrip(benchmark::State& state) {
  const int32_t camera = gSession.Ctx()->hCamera;
  int32_t mode = 0;
  for (auto _ : state) benchmark::DoNotOptimize(gGetPriorityMode(camera, &mode));
}

BENCHMARK(BM_ReadRawFromCamera)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyRaw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadRawWithLargeJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyRawAndJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueryPreview)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CopyPreview)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SdkPreviewCalls)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SdkCallRoundTrip)->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration so that the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the benchmark, else its single run.
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || run.run_type == Run::RT_Iteration) {
        times_[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Both clocks: on a shared machine the CPU time is the steadier of the two.
  void PrintRatio(const std::string& measured, const std::string& floor) const {
    const auto a = times_.find(measured), b = times_.find(floor);
    if (a == times_.end() || b == times_.end() || b->second.real <= 0 || b->second.cpu <= 0) {
      return;
    }
    std::printf("%-24s / %-20s = %.2fx real, %.2fx CPU\n", measured.c_str(), floor.c_str(),
                a->second.real / b->second.real, a->second.cpu / b->second.cpu);
  }

 private:
  struct Times {
    double real, cpu;
  };
  std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The simulated camera allocates every frame it queues and frees it when read. Served by
  // mmap, each read would pay for unmapping, and the cost would depend on which benchmarks ran
  // before; from the heap it is the same in every run.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  if (fs::exists("/tmp/ovdbg")) {
    std::fprintf(stderr,
                 "warning: /tmp/ovdbg exists, so every read also writes the debug copy "
                 "/tmp/ovdbg/raw.jpg and the log; remove it for representative numbers\n");
  }
  if (!StartSession()) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_ReadRawFromCamera", "BM_CopyRaw");
  reporter.PrintRatio("BM_ReadRawWithLargeJpeg", "BM_CopyRawAndJpeg");
  reporter.PrintRatio("BM_QueryPreview", "BM_CopyPreview");
  reporter.PrintRatio("BM_QueryPreview", "BM_SdkPreviewCalls");
  StopSession();
  return 0;
}
