// Fault sweep: every SDK call that a clean run of the session thread, Shoot, the ReadImage pairs,
// the live-view queries, GetCameraCondition and Exit makes is failed once with the busy error
// number, once with another one and, where the plug-in guards the call, thrown out of. Each run
// must give the defined result and leave the plug-in delivering the next shot under its right
// names. Second order: every call after whose failure the trace shows a lookup of the error
// number is failed again with that lookup failing too (or, where guarded, throwing).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

using test::ConnectedContext;
using test::TraceCall;
using test::TransferLog;
using Names = std::vector<std::u16string>;

constexpr uint32_t kTimeScale = 100;     // a session cycle of 5 s nominal lasts 50 ms
constexpr int32_t kOtherError = 0x1003;  // any number but busy; 0x1015 would open the warning
constexpr int kCleanFrame = 42;
constexpr int kRecoveryFrame = 500;
constexpr uint32_t kQuietCyclesMs = 300;  // real time in which a failed ZEPK_Init must stay alone
constexpr int32_t kPreviewBytes = 5000;   // the live-view frames of kCamera
constexpr int32_t kHostCount = 2;         // above 1, so the transfer restores it after the release
constexpr char kLookup[] = "ZEPK_GetErrorNumber";

const std::string kCamera = R"({"preview_bytes":)" + std::to_string(kPreviewBytes) +
                            R"(,"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":20000}})";
// The same camera recording RAW only while the settings ask for both: the first watch cycle then
// sets the media-record mode, which adds its own calls.
const std::string kMediaCamera =
    R"({"media_record":2,"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":20000}})";
std::string Config(const std::string& camera, const std::string& faults = "") {
  return R"({"cameras":[)" + camera + R"(],"faults":[)" + faults + "]}";
}

enum Phase { kSession, kShoot, kTransfer, kCondition, kPreview, kShutdown };
constexpr const char* kPhaseNames[] = {"session",   "Shoot", "ReadImage", "GetCameraCondition",
                                       "live view", "Exit"};
enum Fault { kBusy, kOther, kThrow };
constexpr const char* kFaultNames[] = {"busy", "other", "throw"};

// A call site: the nth call of an entry point within one phase of the clean run, and how the
// run that reaches it is set up.
struct Site {
  Phase phase = kSession;
  std::string fn;
  int nth = 0;
  bool watch = false;   // session only: made by a watch cycle, after the connection
  std::string cycleFn;  // session only: the first call of every watch cycle
  std::string camera = kCamera;
  bool discardJpeg = false;  // ReadImage only: JPEGs are not to be transferred
  bool mode3301 = false;     // Shoot and ReadImage: the host put the camera in mode 3301
  bool Same(const Site& o) const {
    return phase == o.phase && fn == o.fn && nth == o.nth && watch == o.watch;
  }
  std::string Label() const {
    return std::string(kPhaseNames[phase]) + " " + fn + "#" + std::to_string(nth) +
           (watch ? " (watch)" : "") + (camera == kMediaCamera ? " [media record differs]" : "") +
           (discardJpeg ? " [JPEG discarded]" : "") + (mode3301 ? " [mode 3301]" : "");
  }
};

// One scenario: the call fails as `fault` says; in the second order the error-number lookup
// after it fails too. `lookedUp`: the trace shows a lookup after the faulted call.
struct Injection {
  Fault fault;
  bool lookupFails = false;
  bool lookedUp = false;
};

// The plug-in catches exceptions only around ZEPK_Init; elsewhere a throwing SDK is fatal by
// design, so no throw scenario is run there. No error-number lookup is guarded.
bool Guarded(const Site& site, bool lookupFails) {
  return !lookupFails && site.phase == kSession && site.fn == "ZEPK_Init";
}

// Results that differ from the phase's rule (busy -100, any other number -5 for Shoot and
// GetCameraCondition; 0 for the ReadImage pairs, except a failed read of the data: -6; 0 for
// every live-view query and for Exit, which pass no SDK failure on).
constexpr struct {
  Phase phase;
  const char* fn;
  int nth;
  int32_t busy, other;
} kExceptions[] = {
    // Shoot's own release-mode query: an unusable list is answered without an error lookup.
    {kShoot, "ZEPK_CapRelease", 1, BRELON_E_SDK_CALL, BRELON_E_SDK_CALL},
    {kShoot, "ZEPK_CapRelease", 2, BRELON_E_SDK_CALL, BRELON_E_SDK_CALL},
    // The timed release's look for mode 0x0F only decides about event 107.
    {kShoot, "ZEPK_CapRelease", 3, BRELON_OK, BRELON_OK},
    {kShoot, "ZEPK_CapRelease", 4, BRELON_OK, BRELON_OK},
    // Leaving mode 3301 and setting the host count before a release are tried, not required.
    {kShoot, "ZEPK_SetProp", 1, BRELON_OK, BRELON_OK},
    {kShoot, "ZEPK_SetProp", 2, BRELON_OK, BRELON_OK},
    // Under white balance AUTO a colour-temperature failure is stored, not counted.
    {kCondition, "ZEPK_GetWBColorTemp", 1, BRELON_OK, BRELON_OK},
};

int32_t ExpectedResult(const Site& site, const Injection& inj) {
  // A failed lookup leaves the error number at 0, which is never busy. GetCameraCondition takes
  // its result from that number alone, so it then answers 0 although a getter failed; only the
  // getter's own result in the record shows it. Pinned as the plug-in behaves today.
  if (inj.lookupFails && site.phase == kCondition) return BRELON_OK;
  const bool busy = inj.fault == kBusy && !inj.lookupFails;
  for (const auto& e : kExceptions) {
    if (e.phase == site.phase && site.fn == e.fn && site.nth == e.nth)
      return busy ? e.busy : e.other;
  }
  if (site.phase == kTransfer) return site.fn == "ZEPK_ReadImage" ? BRELON_E_IMAGE_DATA : BRELON_OK;
  if (site.phase == kPreview || site.phase == kShutdown) return BRELON_OK;
  return busy ? BRELON_E_BUSY : BRELON_E_SDK_CALL;
}

// The faults of a scenario as the fields of one JSON object each; the lookup's fault counts
// from the call's.
std::vector<std::string> FaultFields(const Site& site, const Injection& inj) {
  const auto fields = [](const std::string& fn, int nth, Fault fault) {
    return R"("fn":")" + fn + R"(","nth":)" + std::to_string(nth) +
           R"(,"count":1,"result":-1,"api_code":0,"error":)" +
           std::to_string(fault == kBusy ? ZEPK_ERR_BUSY : kOtherError) + R"(,"throw":)" +
           (fault == kThrow ? "true" : "false");
  };
  if (!inj.lookupFails) return {fields(site.fn, site.nth, inj.fault)};
  return {fields(site.fn, site.nth, inj.fault == kThrow ? kBusy : inj.fault),
          fields(kLookup, 1, inj.fault)};
}
void AddFaults(ConnectedContext& host, const Site& site, const Injection& inj) {
  for (const std::string& f : FaultFields(site, inj)) {
    ASSERT_EQ(host.Control(R"({"cmd":"fault",)" + f + "}"), 0);
  }
}

// Index of the site's call at or after `from` in the trace; the trace's size when none.
size_t SiteIndex(const std::vector<TraceCall>& trace, size_t from, const Site& site) {
  int seen = 0;
  for (size_t i = from; i < trace.size(); ++i) {
    if (trace[i].fn == site.fn && ++seen == site.nth) return i;
  }
  return trace.size();
}
bool Failed(const TraceCall& call) {
  return call.threw || call.ret == ZEPK_FAILED;
}
bool FaultHit(const std::vector<TraceCall>& trace, size_t from, const Site& site) {
  const size_t i = SiteIndex(trace, from, site);
  return i < trace.size() && Failed(trace[i]);
}

// Records whether the plug-in looked the error number up after the faulted call (clean runs
// make no lookup); in the second order that lookup must have come and failed as injected.
void NoteLookup(ConnectedContext& host, size_t from, const Site& site, Injection& inj) {
  const std::vector<TraceCall> trace = host.Sim().Trace();
  size_t i = SiteIndex(trace, from, site);
  while (i < trace.size() && trace[i].fn != kLookup) ++i;
  inj.lookedUp = i < trace.size();
  if (inj.lookupFails) {
    EXPECT_TRUE(inj.lookedUp && Failed(trace[i])) << "the lookup after the call did not fail";
  }
}

// The sites of trace [from, to) not yet in `sites`, made like `like`; calls at or after
// `watchFrom` belong to the watch cycles.
void AddSites(const std::vector<TraceCall>& trace, size_t from, size_t to, const Site& like,
              std::vector<Site>& sites, size_t watchFrom = SIZE_MAX) {
  std::map<std::string, int> seen;
  for (size_t i = from; i < to && i < trace.size(); ++i) {
    Site site = like;
    site.fn = trace[i].fn;
    site.nth = ++seen[site.fn];
    site.watch = i >= watchFrom;
    if (site.watch) site.cycleFn = trace[watchFrom].fn;
    if (std::none_of(sites.begin(), sites.end(), [&](const Site& s) { return s.Same(site); })) {
      sites.push_back(site);
    }
  }
}

// Waits for the session's second watch cycle; `connect` and `nextWatch` then mark where its
// first one began and ended in the trace.
bool RecordSession(ConnectedContext& host, size_t& connect, size_t& nextWatch) {
  if (!host.WaitEvent(BRELON_EV_CONNECTED, 1)) return false;
  connect = host.TraceAtConnect();
  return test::Eventually([&] {
    const std::vector<TraceCall> trace = host.Sim().Trace();
    for (size_t i = connect + 1; i < trace.size(); ++i) {
      if (trace[i].fn == trace[connect].fn) return (nextWatch = i), true;
    }
    return false;
  });
}

// A faulted call in a watch cycle ends the connection unless the camera was only busy (which
// a failed lookup cannot tell), or the call was the host-count read around the media-record
// change, whose failure means "1".
bool EndsConnection(const Site& site, const Injection& inj) {
  return (inj.fault != kBusy || inj.lookupFails) && site.fn != "ZEPK_GetProp";
}

// What the interface object's mode-3301 members leave in the context, set directly.
void EnterMode3301(PluginContext* ctx, bool on) {
  ctx->lMode3301 = on ? 1 : 0;
  ctx->lRearm3301 = 0;
  ctx->lHostCount = on ? kHostCount : 0;
}

void SetJpegTransfer(bool on) {
  _BRELON_PROPERTY record{};
  ReadProperty(&record);
  record.TransferJPEG = on ? 1 : 0;
  WriteProperty(&record);
}

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}
Names ShotNames(int frame) {
  return Sorted({test::ExpectedName(frame, true), test::ExpectedName(frame, false)});
}

// A host's live view while the camera holds frames: a query call, then a look into the preview
// slots through the interface object. The sizes of the JPEG frames handed out (-1: not a JPEG).
std::vector<int32_t> RunLiveView(ConnectedContext& host, TransferLog& log) {
  void* object = nullptr;
  CreateIF(*host.Handle(), BRELON_IF_BRELON, &object);
  auto* view = static_cast<IBrelon*>(object);
  std::vector<int32_t> frames;
  std::vector<uint8_t> frame(kPreviewSlotBytes);
  for (int i = 0; view && i < 4 && host.Pending() > 0; ++i) {
    host.FetchOne(log);
    int32_t size = static_cast<int32_t>(frame.size());
    if (view->TakePreview(frame.data(), &size) != BRELON_OK) continue;
    frames.push_back(size > 1 && frame[0] == 0xFF && frame[1] == 0xD8 ? size : -1);
  }
  if (view) view->Release();
  return frames;
}

// Sets a host scenario up as its site says, before the faulted step.
void Prepare(ConnectedContext& host, const Site& site) {
  EnterMode3301(host.Context(), site.mode3301);
  if (site.phase == kTransfer) {
    ASSERT_EQ(Shoot(host.Handle()), BRELON_OK);
    ASSERT_TRUE(host.ShotsReady());
    SetJpegTransfer(!site.discardJpeg);
  } else if (site.phase == kPreview) {
    host.Control(R"({"cmd":"preview","camera":0,"frames":1})");
  }
}

// The call sites of one clean run: the session thread up to the end of its first watch cycle
// (with both cameras), Exit of a connected context, then, with the session held off by the host
// lock, each host step. Empty with `failure` set when the clean run itself misbehaved.
std::vector<Site> RecordCleanRun(std::string& failure) {
  std::vector<Site> sites;
  size_t connect = 0, nextWatch = 0;
  for (const std::string& camera : {kCamera, kMediaCamera}) {
    ConnectedContext host(Config(camera));
    if (!RecordSession(host, connect, nextWatch)) return failure = "no second watch cycle", sites;
    Site like;
    like.camera = camera;
    AddSites(host.Sim().Trace(), 0, nextWatch, like, sites, connect);
    if (camera == kMediaCamera) continue;
    // Exit: the calls after the last one a watch cycle makes.
    const std::vector<TraceCall> cycle = host.Sim().Trace();
    const size_t exitFrom = cycle.size();
    Exit(host.Handle());
    const std::vector<TraceCall> trace = host.Sim().Trace();
    size_t from = exitFrom;
    for (size_t i = exitFrom; i < trace.size(); ++i) {
      for (size_t w = connect; w < nextWatch; ++w) from = cycle[w].fn == trace[i].fn ? i + 1 : from;
    }
    like.phase = kShutdown;
    AddSites(trace, from, trace.size(), like, sites);
  }
  ConnectedContext host(Config(kCamera));
  if (!host.WaitEvent(BRELON_EV_CONNECTED, 1)) return failure = "no connection", sites;
  plat::LockGuard holdSession(Locks().host[0]);
  host.SetFrame(kCleanFrame);
  int frame = kCleanFrame;
  const auto shot = [&] { return Shoot(host.Handle()) == BRELON_OK && host.ShotsReady(); };
  const auto files = [&](const Names& expected) {
    return [&, expected] { return Sorted(host.FetchPending().names) == expected; };
  };
  const struct {
    Phase phase;
    bool discardJpeg, mode3301;
    std::function<bool()> run;
  } kSteps[] = {
      {kShoot, false, false, shot},
      {kTransfer, false, false, files(ShotNames(frame))},
      {kCondition, false, false,
       [&] {
         BrelonCondition condition{};
         return GetCameraCondition(host.Handle(), &condition) == BRELON_OK;
       }},
      {kTransfer, true, false, [&] { return SetJpegTransfer(false), shot(); }},
      {kTransfer, true, false, files({test::ExpectedName(frame + 1, true)})},
      {kShoot, false, true,
       [&] { return SetJpegTransfer(true), EnterMode3301(host.Context(), true), shot(); }},
      {kTransfer, false, true, files(ShotNames(frame + 2))},
      {kPreview, false, false,
       [&] {
         EnterMode3301(host.Context(), false);
         host.Control(R"({"cmd":"preview","camera":0,"frames":1})");
         TransferLog log;
         return RunLiveView(host, log) == std::vector<int32_t>{kPreviewBytes};
       }},
  };
  for (size_t step = 0; step < std::size(kSteps); ++step) {
    const auto& s = kSteps[step];
    const size_t from = host.Sim().Trace().size();
    if (!s.run()) return failure = "clean step " + std::to_string(step) + " failed", sites;
    // The shot before the discarded transfer only sets it up.
    if (step == 3) continue;
    Site like;
    like.phase = s.phase;
    like.discardJpeg = s.discardJpeg;
    like.mode3301 = s.mode3301;
    AddSites(host.Sim().Trace(), from, SIZE_MAX, like, sites);
  }
  return sites;
}

// After any scenario: whatever the camera still holds comes out once under its shot's names,
// and a clean shot then arrives whole. The caller holds the session off (host lock).
void ExpectRecovered(ConnectedContext& host) {
  ASSERT_EQ(host.Control(R"({"cmd":"clear_faults"})"), 0);
  ASSERT_TRUE(host.ShotsReady());
  const Names left = Sorted(host.FetchPending().names);
  const Names allowed = ShotNames(kCleanFrame);
  EXPECT_TRUE(std::adjacent_find(left.begin(), left.end()) == left.end()) << "delivered twice";
  EXPECT_TRUE(std::includes(allowed.begin(), allowed.end(), left.begin(), left.end()))
      << "a leftover file got a wrong name";
  EXPECT_EQ(host.Pending(), 0) << "files stuck in the camera";
  host.SetFrame(kRecoveryFrame);
  ASSERT_EQ(Shoot(host.Handle()), BRELON_OK) << "the next clean shot failed";
  ASSERT_TRUE(host.ShotsReady());
  EXPECT_EQ(Sorted(host.FetchPending().names), ShotNames(kRecoveryFrame));
}

// Shoot, the pairs, the live view and the condition report, with the session thread held at
// its next watch.
void RunHostScenario(const Site& site, Injection& inj) {
  ConnectedContext host(Config(kCamera));
  ASSERT_TRUE(host.Connected());
  plat::LockGuard holdSession(Locks().host[0]);
  host.SetFrame(kCleanFrame);
  ASSERT_NO_FATAL_FAILURE(Prepare(host, site));
  const size_t from = host.Sim().Trace().size();
  ASSERT_NO_FATAL_FAILURE(AddFaults(host, site, inj));
  const int32_t expected = ExpectedResult(site, inj);
  TransferLog log;
  if (site.phase == kShoot) {
    EXPECT_EQ(Shoot(host.Handle()), expected);
  } else if (site.phase == kCondition) {
    BrelonCondition c{};
    EXPECT_EQ(GetCameraCondition(host.Handle(), &c), expected);
    // Whatever the export answers, the record marks the failed getter, and only that one.
    const int32_t results[] = {c.sensitivityResult, c.shutterResult,   c.apertureResult,
                               c.wbModeResult,      c.colorTempResult, c.exposureBiasResult};
    EXPECT_EQ(std::count(std::begin(results), std::end(results), ZEPK_FAILED), 1);
  } else if (site.phase == kPreview) {
    // A frame whose information or data could not be read stays in the camera for the next
    // query, and a slot whose read failed is never handed out. Event 3 follows every query that
    // got the frame's information, also when its read failed.
    const int eventsBefore = host.Count(BRELON_EV_PREVIEW);
    EXPECT_EQ(RunLiveView(host, log), std::vector<int32_t>{kPreviewBytes});
    EXPECT_EQ(log.results, std::vector<int32_t>(log.results.size(), expected));
    EXPECT_EQ(host.Count(BRELON_EV_PREVIEW) - eventsBefore,
              static_cast<int>(log.results.size()) - (site.fn == "ZEPK_ReadImageInfo" ? 1 : 0));
  } else {
    // A failed query or read leaves the file in the camera; the next pair takes it. A failed
    // deletion lets the JPEG through after all.
    log = host.FetchPending();
    SetJpegTransfer(true);
    const bool jpegDeleted = site.discardJpeg && site.fn != "ZEPK_DeleteImage";
    EXPECT_EQ(Sorted(log.names),
              jpegDeleted ? Names{test::ExpectedName(kCleanFrame, true)} : ShotNames(kCleanFrame));
    EXPECT_EQ(std::count(log.results.begin(), log.results.end(), BRELON_E_IMAGE_DELETED),
              jpegDeleted ? 1 : 0);
    const auto failures = std::count_if(log.results.begin(), log.results.end(), [](int32_t r) {
      return r != BRELON_OK && r != BRELON_E_IMAGE_DELETED;
    });
    EXPECT_EQ(failures, expected == BRELON_OK ? 0 : 1);
    EXPECT_NE(std::find(log.results.begin(), log.results.end(), expected), log.results.end());
  }
  EXPECT_TRUE(FaultHit(host.Sim().Trace(), from, site)) << "the fault never fired";
  NoteLookup(host, from, site, inj);
  ExpectRecovered(host);
}

// The session thread with the fault in the configuration, counted from ZEPK_Init.
void RunSessionScenario(const Site& site, Injection& inj) {
  std::string faults;
  for (const std::string& f : FaultFields(site, inj))
    faults += (faults.empty() ? "{" : ",{") + f + "}";
  auto host =
      std::make_unique<ConnectedContext>(Config(site.camera, faults), ConnectedContext::kNoWait);
  ASSERT_EQ(host->InitResult(), BRELON_OK);
  if (site.fn == "ZEPK_Init" && inj.fault != kThrow) {
    // The thread ends without a further SDK call; only a new context brings the camera back.
    test::RealSleepMs(kQuietCyclesMs);
    EXPECT_EQ(host->Count(BRELON_EV_CONNECTED), 0);
    EXPECT_EQ(host->Sim().Trace().size(), 1u);
    EXPECT_TRUE(FaultHit(host->Sim().Trace(), 0, site));
    host.reset();
    host = std::make_unique<ConnectedContext>(Config(site.camera));
    ASSERT_TRUE(host->Connected()) << "a fresh context did not connect";
  } else {
    ASSERT_TRUE(host->WaitEvent(BRELON_EV_CONNECTED, 1)) << "never connected";
    ASSERT_TRUE(test::Eventually([&] { return FaultHit(host->Sim().Trace(), 0, site); }))
        << "the fault never fired";
    if (!site.watch) {
      // A failed detection or open is retried by the next cycle; nothing was ever lost.
      EXPECT_EQ(host->Count(BRELON_EV_DISCONNECTED), 0);
    } else if (!EndsConnection(site, inj)) {
      // A busy camera is not a lost one: the next cycle begins without event 7.
      const size_t after = host->Sim().Trace().size();
      ASSERT_TRUE(test::Eventually([&] {
        const std::vector<TraceCall> trace = host->Sim().Trace();
        return std::any_of(trace.begin() + std::min(after, trace.size()), trace.end(),
                           [&](const TraceCall& c) { return c.fn == site.cycleFn; });
      }));
      EXPECT_EQ(host->Count(BRELON_EV_DISCONNECTED), 0);
      EXPECT_EQ(host->Count(BRELON_EV_CONNECTED), 1);
    } else {
      ASSERT_TRUE(host->WaitEvent(BRELON_EV_DISCONNECTED, 1)) << "the loss was not reported";
      ASSERT_TRUE(host->WaitEvent(BRELON_EV_CONNECTED, 2)) << "no reconnection";
      EXPECT_EQ(host->Count(BRELON_EV_DISCONNECTED), 1);
    }
  }
  plat::LockGuard holdSession(Locks().host[0]);
  NoteLookup(*host, 0, site, inj);
  ExpectRecovered(*host);
}

// Exit of a connected context with the fault added just before; then a new Init on the same
// simulator session must connect again.
void RunShutdownScenario(const Site& site, Injection& inj) {
  ConnectedContext host(Config(kCamera));
  ASSERT_TRUE(host.Connected());
  const size_t from = host.Sim().Trace().size();
  ASSERT_NO_FATAL_FAILURE(AddFaults(host, site, inj));
  EXPECT_EQ(Exit(host.Handle()), ExpectedResult(site, inj));
  EXPECT_EQ(*host.Handle(), nullptr);
  EXPECT_TRUE(FaultHit(host.Sim().Trace(), from, site)) << "the fault never fired";
  NoteLookup(host, from, site, inj);
  ASSERT_EQ(host.Reinit(), BRELON_OK);
  ASSERT_TRUE(host.WaitEvent(BRELON_EV_CONNECTED, 2)) << "a new Init did not connect";
  plat::LockGuard holdSession(Locks().host[0]);
  ExpectRecovered(host);
}

class FaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    profile_ = new test::Profile(test::UseFreshProfile("faults"));
    plat::SetTimeScale(kTimeScale);
    sites_ = new std::vector<Site>(RecordCleanRun(failure_));
  }
  static void TearDownTestSuite() {
    delete sites_;
    delete profile_;
    plat::SetTimeScale(1);
  }
  void SetUp() override { plat::SetTimeScale(kTimeScale); }

  // Every scenario of one phase, with its coverage printed: call sites x faults. Then the
  // second order over the sites after whose failure a run looked the error number up.
  void Sweep(Phase phase) {
    ASSERT_TRUE(failure_.empty()) << "clean run: " << failure_;
    std::vector<Site> sites;
    std::copy_if(sites_->begin(), sites_->end(), std::back_inserter(sites),
                 [phase](const Site& site) { return site.phase == phase; });
    EXPECT_GT(sites.size(), 0u) << "the clean run made no SDK call in this phase";
    SweepSites(SweepSites(sites, false), true);
  }

  // The scenarios of `sites`; returns those after whose failure the trace shows a lookup.
  std::vector<Site> SweepSites(const std::vector<Site>& sites, bool lookupFails) {
    std::vector<Site> lookedUp;
    for (const Site& site : sites) {
      std::string faults;
      bool looked = false;
      for (Fault fault : {kBusy, kOther, kThrow}) {
        if (fault == kThrow && !Guarded(site, lookupFails)) continue;
        SCOPED_TRACE(site.Label() + " failing with " + kFaultNames[fault] +
                     (lookupFails ? ", its error lookup failing too" : ""));
        Injection inj{fault, lookupFails};
        if (site.phase == kSession) {
          RunSessionScenario(site, inj);
        } else if (site.phase == kShutdown) {
          RunShutdownScenario(site, inj);
        } else {
          RunHostScenario(site, inj);
        }
        looked = looked || inj.lookedUp;
        faults += std::string(" ") + kFaultNames[fault];
      }
      if (looked) lookedUp.push_back(site);
      std::printf("[ coverage ] %-50s%s%s\n", site.Label().c_str(), faults.c_str(),
                  lookupFails ? " (lookup failing too)" : "");
    }
    return lookedUp;
  }

  static inline std::vector<Site>* sites_ = nullptr;
  static inline std::string failure_;
  static inline test::Profile* profile_ = nullptr;  // default settings: both formats everywhere
};

TEST_F(FaultSweep, SessionCallsFailingKeepOrRestoreTheConnection) {
  Sweep(kSession);
}
TEST_F(FaultSweep, ShootCallsFailingGiveBusyOrCallFailure) {
  Sweep(kShoot);
}
TEST_F(FaultSweep, ReadImageCallsFailingStillDeliverEveryFileOnce) {
  Sweep(kTransfer);
}
TEST_F(FaultSweep, ConditionGettersFailingGiveBusyOrCallFailure) {
  Sweep(kCondition);
}
TEST_F(FaultSweep, LiveViewCallsFailingStillHandOutTheFrameOnce) {
  Sweep(kPreview);
}
TEST_F(FaultSweep, ExitCallsFailingStillEndAndLetANewInitConnect) {
  Sweep(kShutdown);
}

}  // namespace
}  // namespace brelon
