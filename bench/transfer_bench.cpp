// ReadImage against the simulated camera, measured against plain copies of the same bytes: the
// read call on a 50 MB raw with a 6 MB embedded JPEG, the same read with the camera's small
// embedded JPEG, and the query call on a 500 KB preview frame, with the plug-in's own heap
// allocations per call as a counter.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "sdk/loader.h"
#include "sim_session.h"

// ---- Heap allocations made by the plug-in while counting is on ------------------------------
// Counted where every allocation passes, C or C++: glibc's malloc entry points, forwarded to
// its own implementation.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

namespace {
thread_local bool tCounting = false;
std::atomic<int64_t> gAllocations{0};
void Count() {
  if (tCounting) ++gAllocations;
}
}  // namespace

extern "C" void* malloc(size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) noexcept {
  Count();
  return __libc_realloc(p, size);
}

namespace {

constexpr uint32_t kRawBytes = 50000000;
constexpr uint32_t kLargeJpegBytes = 6000000;
constexpr uint32_t kPreviewBytes = 500000;
constexpr size_t kRawHeaderBytes = 256;  // where the camera puts the embedded JPEG
constexpr int kPreviewBatch = 32;  // frames queued at a time (each one is 500 KB in the camera)
constexpr int kConnectWaitMs = 20000;
constexpr uint32_t kSessionTimeScale = 10;  // the session thread's cycles; copies are unaffected
constexpr size_t kNameUnits = 261;
constexpr int kMaxHeapBlock = 32 << 20;  // glibc's largest mmap threshold on 64-bit systems
constexpr int kKeptHeap = 512 << 20;     // freed heap memory kept instead of returned

// What the SDK does on the plug-in's behalf is not the plug-in's allocation: counting pauses
// inside a stand-in for each entry ReadImage calls. PausedEntry<&CTavelSDK::m_pfnX> installs the
// stand-in for that entry and keeps the library's own function in `original`.
template <auto Member,
          typename Fn =
              std::remove_reference_t<decltype(std::declval<brelon::CTavelSDK&>().*Member)>>
struct PausedEntry;
template <auto Member, typename R, typename... A>
struct PausedEntry<Member, R (*)(A...)> {
  static inline R (*original)(A...) = nullptr;
  static R Call(A... args) {
    const bool saved = std::exchange(tCounting, false);
    const R result = original(args...);
    tCounting = saved;
    return result;
  }
  static void Install(brelon::CTavelSDK& sdk) { original = std::exchange(sdk.*Member, &Call); }
};
using ReadImageInfoEntry = PausedEntry<&brelon::CTavelSDK::m_pfnReadImageInfo>;
using ReadImageEntry = PausedEntry<&brelon::CTavelSDK::m_pfnReadImage>;
using PriorityModeEntry = PausedEntry<&brelon::CTavelSDK::m_pfnGetPriorityMode>;
using CapacityEntry = PausedEntry<&brelon::CTavelSDK::m_pfnGetBufferCapacity>;

bench::SimSession gSession;

brelon::PluginContext* Ctx() {
  return static_cast<brelon::PluginContext*>(gSession.Context());
}

bool StartSession() {
  const std::string config = R"({"cameras":[{"preview_bytes":)" + std::to_string(kPreviewBytes) +
                             R"(,"capture":{"format":"raw","delay_ms":0,"raw_bytes":)" +
                             std::to_string(kRawBytes) + "}}]}";
  if (!gSession.Prepare("brelon-transfer-bench", config)) return false;
  plat::SetTimeScale(kSessionTimeScale);
  if (gSession.Start(kConnectWaitMs) < 0) return false;
  brelon::CTavelSDK& sdk = *Ctx()->pSdk;
  plat::LockGuard hold(sdk.SdkLock());
  ReadImageInfoEntry::Install(sdk);
  ReadImageEntry::Install(sdk);
  PriorityModeEntry::Install(sdk);
  CapacityEntry::Install(sdk);
  return true;
}

void SetEmbeddedJpegBytes(uint32_t bytes) {
  gSession.Control(R"({"cmd":"set","camera":0,"key":"capture.jpeg_bytes","value":)" +
                   std::to_string(bytes) + "}");
}

void ShootAndWait() {
  gSession.Control(R"({"cmd":"press_shutter","camera":0})");
  while (gSession.Queued() > gSession.Pending()) plat::YieldThread();
}

void QueuePreviews() {
  gSession.Control(R"({"cmd":"preview","camera":0,"frames":)" + std::to_string(kPreviewBatch) +
                   "}");
}

// Empties the buffer through the plug-in, as a host's query calls would.
void DrainBuffer() {
  while (gSession.Pending() > 0) {
    ReadImage(gSession.Handle(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
}

int32_t Query(uint32_t* size, uint8_t* isRaw) {
  return ReadImage(gSession.Handle(), nullptr, size, isRaw, nullptr, nullptr, nullptr, nullptr);
}

void ReportAllocations(benchmark::State& state) {
  state.counters["allocs_per_call"] =
      benchmark::Counter(double(gAllocations), benchmark::Counter::kAvgIterations);
}

// ---- Benchmarks ---------------------------------------------------------------------------

// A 50 MB raw read call: the SDK writes it into the host's buffer, the plug-in finds the
// embedded JPEG (the camera's small one, or one grown to state.range(0) bytes) and reads its
// maker note for the names.
void BM_ReadRaw(benchmark::State& state) {
  SetEmbeddedJpegBytes(uint32_t(state.range(0)));
  std::vector<uint8_t> buffer(kRawBytes);
  char16_t name[kNameUnits] = {}, file[kNameUnits], folder[kNameUnits];
  gAllocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ShootAndWait();
    uint32_t size = 0;
    uint8_t isRaw = 0;
    Query(&size, &isRaw);
    buffer.resize(size);
    name[0] = 0;
    state.ResumeTiming();
    tCounting = true;
    const int32_t result =
        ReadImage(gSession.Handle(), buffer.data(), &size, &isRaw, nullptr, name, file, folder);
    tCounting = false;
    if (result != BRELON_OK || name[0] == 0) {
      state.SkipWithError(("read failed: " + std::to_string(result)).c_str());
    }
  }
  SetEmbeddedJpegBytes(0);
  ReportAllocations(state);
  state.SetBytesProcessed(int64_t(state.iterations()) * kRawBytes);
}

// The floor of a raw read: one copy of the raw, and one of its embedded JPEG of
// state.range(0) bytes (none for the camera's small one).
void BM_CopyRaw(benchmark::State& state) {
  const size_t jpegBytes = size_t(state.range(0));
  std::vector<uint8_t> source(kRawBytes, 1), target(kRawBytes), jpeg(jpegBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kRawBytes);
    if (jpegBytes) std::memcpy(jpeg.data(), target.data() + kRawHeaderBytes, jpegBytes);
    benchmark::DoNotOptimize(jpeg.data());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRawBytes);
}

// Runs `step` once per iteration with a preview frame pending, queuing frames in batches
// outside the timing; the buffer is emptied at the end.
template <typename Step>
void WithPendingPreviews(benchmark::State& state, Step step) {
  int queued = 0;
  for (auto _ : state) {
    if (queued == 0) {
      state.PauseTiming();
      QueuePreviews();
      queued = kPreviewBatch;
      state.ResumeTiming();
    }
    step();
    --queued;
  }
  DrainBuffer();
  state.SetBytesProcessed(int64_t(state.iterations()) * kPreviewBytes);
}

// The query call that parks a 500 KB preview frame in the context.
void BM_QueryPreview(benchmark::State& state) {
  gAllocations = 0;
  WithPendingPreviews(state, [&] {
    uint32_t size = 1;
    tCounting = true;
    const int32_t result = Query(&size, nullptr);
    tCounting = false;
    if (result != BRELON_OK || size != 0) state.SkipWithError("preview not taken");
  });
  brelon::PluginContext* ctx = Ctx();
  if (ctx->lPreviewSize[0] != int32_t(kPreviewBytes) &&
      ctx->lPreviewSize[1] != int32_t(kPreviewBytes)) {
    state.SkipWithError("no 500 KB frame parked");
  }
  ReportAllocations(state);
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
  brelon::PluginContext* ctx = Ctx();
  WithPendingPreviews(state, [&] {
    ZepkImageInfo info{};
    ReadImageInfoEntry::original(ctx->hCamera, &info);
    if (ReadImageEntry::original(ctx->hCamera, ctx->PreviewBuffer[1], brelon::kPreviewSlotBytes) !=
        0) {
      state.SkipWithError("SDK read failed");
    }
  });
  ctx->lPreviewSize[1] = 0;
}

// One SDK call that does no work: what each of the calls the plug-in must make costs by itself.
void BM_SdkCallRoundTrip(benchmark::State& state) {
  const int32_t camera = Ctx()->hCamera;
  int32_t mode = 0;
  for (auto _ : state) benchmark::DoNotOptimize(PriorityModeEntry::original(camera, &mode));
}

BENCHMARK(BM_ReadRaw)->Arg(0)->Arg(kLargeJpegBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyRaw)->Arg(0)->Arg(kLargeJpegBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueryPreview)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CopyPreview)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SdkPreviewCalls)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SdkCallRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The simulated camera allocates every frame it queues and frees it when read. Served by
  // mmap, each read would pay for unmapping (some 4 us per 500 KB frame, a third of the copy),
  // and the cost would depend on which benchmarks ran before; from the heap it is the same in
  // every run. glibc refuses thresholds above its maximum, so the largest one it takes is set.
  if (mallopt(M_MMAP_THRESHOLD, kMaxHeapBlock) == 0 || mallopt(M_TRIM_THRESHOLD, kKeptHeap) == 0) {
    std::fprintf(stderr, "heap thresholds not accepted\n");
    return 1;
  }
  if (std::filesystem::exists("/tmp/ovdbg")) {
    std::fprintf(stderr,
                 "warning: /tmp/ovdbg exists, so every read also writes the debug copy "
                 "/tmp/ovdbg/raw.jpg and the log; remove it for representative numbers\n");
  }
  if (!StartSession()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  gSession.Cleanup();
  benchmark::Shutdown();
  return 0;
}
