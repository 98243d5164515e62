// Fault sweep: every SDK call that a clean run of the session thread, Shoot, the ReadImage pairs,
// the live-view queries, GetCameraCondition and Exit makes is failed once with the busy error
// number, once with another one and, where the plug-in guards the call, thrown out of. Each run
// must give the defined result, finish in time, and leave the plug-in delivering the next shot
// under its right names. Second order: every call after whose failure the trace shows a lookup
// of the error number is failed again with that lookup failing too (or, where guarded, throwing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "faults/reliability.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

using test::SimHost;
using test::TraceCall;
using test::TransferLog;

constexpr uint32_t kTimeScale = 100;  // a session cycle of 5 s nominal lasts 50 ms
constexpr int32_t kBusy = ZEPK_ERR_BUSY;
constexpr int32_t kOtherError = 0x1003;  // any number but busy; 0x1015 would open the warning
constexpr int kCleanFrame = 42;
constexpr int kRecoveryFrame = 500;
constexpr uint32_t kQuietCyclesMs = 300;  // real time in which a failed ZEPK_Init must stay alone
constexpr int32_t kPreviewBytes = 5000;   // the live-view frames of kCamera

const std::string kCamera = R"({"preview_bytes":)" + std::to_string(kPreviewBytes) +
                            R"(,"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":20000}})";
// The same camera recording RAW only while the settings ask for both: the first watch cycle then
// sets the media-record mode, which adds its own calls.
const std::string kMediaCamera =
    R"({"media_record":2,"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":20000}})";
const std::string kCleanConfig = R"({"cameras":[)" + kCamera + "]}";
std::string Config(const std::string& camera) {
  return R"({"cameras":[)" + camera + "]}";
}

enum class Phase { kSession, kShoot, kTransfer, kCondition, kPreview, kShutdown };
enum class Fault { kBusy, kOther, kThrow };
constexpr Fault kFaults[] = {Fault::kBusy, Fault::kOther, Fault::kThrow};

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kSession:
      return "session";
    case Phase::kShoot:
      return "Shoot";
    case Phase::kTransfer:
      return "ReadImage";
    case Phase::kCondition:
      return "GetCameraCondition";
    case Phase::kPreview:
      return "live view";
    case Phase::kShutdown:
      return "Exit";
  }
  return "?";
}
const char* FaultName(Fault fault) {
  return fault == Fault::kBusy ? "busy" : fault == Fault::kOther ? "other" : "throw";
}

// A call site: the nth call of an entry point within one phase of the clean run.
struct Site {
  Phase phase = Phase::kSession;
  std::string fn;
  int nth = 0;
  bool watch = false;   // session only: made by a watch cycle, after the connection
  std::string cycleFn;  // session only: the first call of every watch cycle
  std::string camera = kCamera;
  bool discardJpeg = false;  // ReadImage only: JPEGs are not to be transferred
  bool mode3301 = false;     // Shoot and ReadImage: the host put the camera in mode 3301
  std::string Label() const {
    return std::string(PhaseName(phase)) + " " + fn + "#" + std::to_string(nth) +
           (watch ? " (watch)" : "") + (camera == kMediaCamera ? " [media record differs]" : "") +
           (discardJpeg ? " [JPEG discarded]" : "") + (mode3301 ? " [mode 3301]" : "");
  }
};

// One scenario: the call fails as `fault` says; in the second order the error-number lookup
// after it fails too (the call then fails busy, other, or busy with the lookup throwing).
// `lookedUp`: the trace shows a lookup after the faulted call.
struct Injection {
  Fault fault;
  bool lookupFails = false;
  bool lookedUp = false;
};
constexpr char kLookup[] = "ZEPK_GetErrorNumber";

// The plug-in catches exceptions only around these calls; elsewhere a throwing SDK is fatal by
// design, so no throw scenario is run there. No error-number lookup is guarded.
bool Guarded(const Site& site, bool lookupFails) {
  return !lookupFails && site.phase == Phase::kSession && site.fn == "ZEPK_Init";
}

// Results that differ from the phase's rule (busy -100, any other number -5 for Shoot and
// GetCameraCondition; 0 for the ReadImage pairs, except a failed read of the data: -6; 0 for
// every live-view query and for Exit, which pass no SDK failure on).
struct Exception {
  Phase phase;
  const char* fn;
  int nth;
  int32_t busy;
  int32_t other;
};
constexpr Exception kExceptions[] = {
    // Shoot's own release-mode query: an unusable list is answered without an error lookup.
    {Phase::kShoot, "ZEPK_CapRelease", 1, BRELON_E_SDK_CALL, BRELON_E_SDK_CALL},
    {Phase::kShoot, "ZEPK_CapRelease", 2, BRELON_E_SDK_CALL, BRELON_E_SDK_CALL},
    // The timed release's look for mode 0x0F only decides about event 107.
    {Phase::kShoot, "ZEPK_CapRelease", 3, BRELON_OK, BRELON_OK},
    {Phase::kShoot, "ZEPK_CapRelease", 4, BRELON_OK, BRELON_OK},
    // Leaving mode 3301 and setting the host count before a release are tried, not required.
    {Phase::kShoot, "ZEPK_SetProp", 1, BRELON_OK, BRELON_OK},
    {Phase::kShoot, "ZEPK_SetProp", 2, BRELON_OK, BRELON_OK},
    // Under white balance AUTO a colour-temperature failure is stored, not counted.
    {Phase::kCondition, "ZEPK_GetWBColorTemp", 1, BRELON_OK, BRELON_OK},
};

int32_t ExpectedResult(const Site& site, const Injection& inj) {
  // A failed lookup leaves the error number at 0, which is never busy. GetCameraCondition takes
  // its result from that number alone, so it then answers 0 although a getter failed; only the
  // getter's own result in the record shows it. Pinned as the plug-in behaves today.
  if (inj.lookupFails && site.phase == Phase::kCondition) return BRELON_OK;
  const Fault fault = inj.lookupFails ? Fault::kOther : inj.fault;
  for (const Exception& e : kExceptions) {
    if (e.phase == site.phase && site.fn == e.fn && site.nth == e.nth) {
      return fault == Fault::kBusy ? e.busy : e.other;
    }
  }
  if (site.phase == Phase::kTransfer) {
    return site.fn == "ZEPK_ReadImage" ? BRELON_E_IMAGE_DATA : BRELON_OK;
  }
  if (site.phase == Phase::kPreview || site.phase == Phase::kShutdown) return BRELON_OK;
  return fault == Fault::kBusy ? BRELON_E_BUSY : BRELON_E_SDK_CALL;
}

std::string FaultJson(const Site& site, Fault fault) {
  const int32_t error = fault == Fault::kBusy ? kBusy : kOtherError;
  return R"({"fn":")" + site.fn + R"(","nth":)" + std::to_string(site.nth) +
         R"(,"count":1,"result":-1,"api_code":0,"error":)" + std::to_string(error) +
         R"(,"throw":)" + (fault == Fault::kThrow ? "true" : "false") + "}";
}

// The faults of a scenario, each a JSON object; the lookup's fault counts from the call's.
std::vector<std::string> FaultList(const Site& site, const Injection& inj) {
  if (!inj.lookupFails) return {FaultJson(site, inj.fault)};
  Site lookup = site;
  lookup.fn = kLookup;
  lookup.nth = 1;
  const Fault call = inj.fault == Fault::kThrow ? Fault::kBusy : inj.fault;
  return {FaultJson(site, call), FaultJson(lookup, inj.fault)};
}
void AddFaults(SimHost& host, const Site& site, const Injection& inj) {
  for (const std::string& fault : FaultList(site, inj)) {
    ASSERT_EQ(host.Control(R"({"cmd":"fault",)" + fault.substr(1)), ZEPASIM_OK);
  }
}

// Index of the nth call of fn at or after `from` in the trace; the trace's size when none.
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

// True when the nth call of fn at or after `from` in the trace failed as injected.
bool FaultHit(const std::vector<TraceCall>& trace, size_t from, const Site& site) {
  const size_t i = SiteIndex(trace, from, site);
  return i < trace.size() && Failed(trace[i]);
}

// Records whether the plug-in looked the error number up after the faulted call; clean runs
// make no lookup, so the first one after it is the one the failure caused. In the second order
// that lookup must have come and failed as injected.
void NoteLookup(const std::vector<TraceCall>& trace, size_t from, const Site& site,
                Injection& inj) {
  size_t i = SiteIndex(trace, from, site);
  while (i < trace.size() && trace[i].fn != kLookup) ++i;
  inj.lookedUp = i < trace.size();
  if (inj.lookupFails) {
    EXPECT_TRUE(inj.lookedUp && Failed(trace[i])) << "the lookup after the call did not fail";
  }
}

void AppendSites(const std::vector<TraceCall>& trace, size_t from, size_t to, Phase phase,
                 size_t watchFrom, std::vector<Site>& out) {
  std::map<std::string, int> seen;
  for (size_t i = from; i < to && i < trace.size(); ++i) {
    Site site;
    site.phase = phase;
    site.fn = trace[i].fn;
    site.nth = ++seen[trace[i].fn];
    site.watch = i >= watchFrom;
    if (site.watch) site.cycleFn = trace[watchFrom].fn;
    out.push_back(site);
  }
}

// Waits for the session's second watch cycle; `connect` and `nextWatch` then mark where its
// first one began and ended in the trace.
bool RecordSession(SimHost& host, size_t& connect, size_t& nextWatch) {
  if (!host.WaitEvent(BRELON_EV_CONNECTED, 1)) return false;
  connect = host.TraceAtConnect();
  return test::WaitUntil(
      [&] {
        const std::vector<TraceCall> trace = host.Sim().Trace();
        for (size_t i = connect + 1; i < trace.size() && connect < trace.size(); ++i) {
          if (trace[i].fn == trace[connect].fn) {
            nextWatch = i;
            return true;
          }
        }
        return false;
      },
      test::kWatchdogMs / 2);
}

// A faulted call in a watch cycle ends the connection unless the camera was only busy (which
// a failed lookup cannot tell), or the call was the host-count read around the media-record
// change, whose failure means "1".
bool EndsConnection(const Site& site, const Injection& inj) {
  return (inj.fault != Fault::kBusy || inj.lookupFails) && site.fn != "ZEPK_GetProp";
}

constexpr int32_t kHostCount = 2;  // above 1, so the transfer restores it after the release

// What the interface object's mode-3301 members leave in the context, set directly.
void EnterMode3301(PluginContext* ctx, bool on) {
  ctx->lMode3301 = on ? 1 : 0;
  ctx->lRearm3301 = 0;
  ctx->lHostCount = on ? kHostCount : 0;
}

// The sites of `trace` [from, to) not yet in `sites` (same phase, entry point and number).
void AppendNewSites(const std::vector<TraceCall>& trace, size_t from, size_t to, Phase phase,
                    bool discardJpeg, bool mode3301, std::vector<Site>& sites) {
  std::vector<Site> found;
  AppendSites(trace, from, to, phase, trace.size(), found);
  for (Site& extra : found) {
    const bool known = std::any_of(sites.begin(), sites.end(), [&](const Site& site) {
      return site.phase == phase && site.fn == extra.fn && site.nth == extra.nth;
    });
    extra.discardJpeg = discardJpeg;
    extra.mode3301 = mode3301;
    if (!known) sites.push_back(extra);
  }
}

void SetJpegTransfer(bool on) {
  _BRELON_PROPERTY record{};
  ReadProperty(&record);
  record.TransferJPEG = on ? 1 : 0;
  WriteProperty(&record);
}

std::vector<std::u16string> Sorted(std::vector<std::u16string> names) {
  std::sort(names.begin(), names.end());
  return names;
}
std::vector<std::u16string> ShotNames(int frame) {
  return Sorted({test::ExpectedName(frame, true), test::ExpectedName(frame, false)});
}

// A host's live view while the camera holds frames: a query call, then a look into the preview
// slots through the interface object. The sizes of the JPEG frames handed out (-1: not a JPEG).
std::vector<int32_t> RunLiveView(SimHost& host, TransferLog& log, int maxQueries = 4) {
  void* object = nullptr;
  CreateIF(*host.Handle(), BRELON_IF_BRELON, &object);
  auto* view = static_cast<IBrelon*>(object);
  std::vector<int32_t> frames;
  std::vector<uint8_t> frame(kPreviewSlotBytes);
  for (int i = 0; view && i < maxQueries && host.Pending() > 0; ++i) {
    test::FetchOne(host.Handle(), log);
    int32_t size = static_cast<int32_t>(frame.size());
    if (view->TakePreview(frame.data(), &size) != BRELON_OK) continue;
    frames.push_back(size > 1 && frame[0] == 0xFF && frame[1] == 0xD8 ? size : -1);
  }
  if (view) view->Release();
  return frames;
}

// The call sites of one clean run, recorded once: the session thread up to the end of its first
// watch cycle, then, with the session held off by the host lock, one Shoot, the query/read pairs
// of its two files, one GetCameraCondition and one live-view frame; and Exit of another context.
struct CleanRun {
  std::vector<Site> sites;
  std::string failure;  // empty when the clean run itself behaved
};

CleanRun RecordCleanRun() {
  CleanRun run;
  test::Watchdog watchdog("the clean run");
  size_t connect = 0;
  size_t nextWatch = 0;
  {
    // Only the calls this camera adds to the session are kept from it.
    SimHost media(Config(kMediaCamera));
    if (!RecordSession(media, connect, nextWatch)) {
      run.failure = "no second watch cycle with the media-record change";
      return run;
    }
    AppendSites(media.Sim().Trace(), 0, nextWatch, Phase::kSession, connect, run.sites);
    for (Site& site : run.sites) site.camera = kMediaCamera;
  }
  const std::vector<Site> mediaSites = std::move(run.sites);
  run.sites.clear();
  std::vector<Site> exitSites;
  {
    // Exit of a connected context: the calls after the last one a watch cycle makes.
    SimHost closing(kCleanConfig);
    if (!RecordSession(closing, connect, nextWatch)) {
      run.failure = "no second watch cycle before Exit";
      return run;
    }
    const size_t exitFrom = closing.Sim().Trace().size();
    Exit(closing.Handle());
    const std::vector<TraceCall> trace = closing.Sim().Trace();
    size_t from = exitFrom;
    for (size_t i = exitFrom; i < trace.size(); ++i) {
      for (size_t w = connect; w < nextWatch; ++w) from = trace[w].fn == trace[i].fn ? i + 1 : from;
    }
    AppendSites(trace, from, trace.size(), Phase::kShutdown, trace.size(), exitSites);
  }
  SimHost host(kCleanConfig);
  if (!RecordSession(host, connect, nextWatch)) {
    run.failure = "no second watch cycle";
    return run;
  }
  plat::LockGuard holdSession(Locks().host[0]);
  const size_t shootFrom = host.Sim().Trace().size();
  host.SetFrame(kCleanFrame);
  if (Shoot(host.Handle()) != BRELON_OK || !host.ShotsReady()) {
    run.failure = "the clean shot failed";
    return run;
  }
  const size_t transferFrom = host.Sim().Trace().size();
  const TransferLog transfer = test::FetchPending(host);
  if (Sorted(transfer.names) != ShotNames(kCleanFrame)) {
    run.failure = "the clean shot's files were not delivered";
    return run;
  }
  const size_t conditionFrom = host.Sim().Trace().size();
  BrelonCondition condition{};
  if (GetCameraCondition(host.Handle(), &condition) != BRELON_OK) {
    run.failure = "the clean condition report failed";
    return run;
  }
  // The same pairs with JPEGs not to be transferred: the discard rule deletes them.
  const size_t conditionTo = host.Sim().Trace().size();
  SetJpegTransfer(false);
  if (Shoot(host.Handle()) != BRELON_OK || !host.ShotsReady()) {
    run.failure = "the clean shot for the discard rule failed";
    return run;
  }
  const size_t discardFrom = host.Sim().Trace().size();
  const TransferLog discarded = test::FetchPending(host);
  SetJpegTransfer(true);
  if (discarded.names != std::vector<std::u16string>{test::ExpectedName(kCleanFrame + 1, true)}) {
    run.failure = "the discard rule did not leave the raw file alone";
    return run;
  }
  // A shot and its pairs in mode 3301: left before the release, entered again after the files.
  EnterMode3301(host.Context(), true);
  const size_t modeShootFrom = host.Sim().Trace().size();
  if (Shoot(host.Handle()) != BRELON_OK || !host.ShotsReady()) {
    run.failure = "the clean shot in mode 3301 failed";
    return run;
  }
  const size_t modeTransferFrom = host.Sim().Trace().size();
  const TransferLog modeTransfer = test::FetchPending(host);
  const size_t modeTransferTo = host.Sim().Trace().size();
  EnterMode3301(host.Context(), false);
  if (Sorted(modeTransfer.names) != ShotNames(kCleanFrame + 2)) {
    run.failure = "the files of the shot in mode 3301 were not delivered";
    return run;
  }
  // One live-view frame: the query parks it in a preview slot, the host takes it from there.
  host.Control(R"({"cmd":"preview","camera":0,"frames":1})");
  const size_t previewFrom = host.Sim().Trace().size();
  TransferLog previewLog;
  if (RunLiveView(host, previewLog) != std::vector<int32_t>{kPreviewBytes}) {
    run.failure = "the live-view frame was not handed out";
    return run;
  }
  const size_t previewTo = host.Sim().Trace().size();
  const std::vector<TraceCall> trace = host.Sim().Trace();
  AppendSites(trace, 0, nextWatch, Phase::kSession, connect, run.sites);
  for (const Site& extra : mediaSites) {
    const bool known = std::any_of(run.sites.begin(), run.sites.end(), [&](const Site& site) {
      return site.fn == extra.fn && site.nth == extra.nth && site.watch == extra.watch;
    });
    if (!known) run.sites.push_back(extra);
  }
  AppendSites(trace, shootFrom, transferFrom, Phase::kShoot, trace.size(), run.sites);
  AppendSites(trace, transferFrom, conditionFrom, Phase::kTransfer, trace.size(), run.sites);
  AppendSites(trace, conditionFrom, conditionTo, Phase::kCondition, trace.size(), run.sites);
  AppendNewSites(trace, discardFrom, modeShootFrom, Phase::kTransfer, true, false, run.sites);
  AppendNewSites(trace, modeShootFrom, modeTransferFrom, Phase::kShoot, false, true, run.sites);
  AppendNewSites(trace, modeTransferFrom, modeTransferTo, Phase::kTransfer, false, true, run.sites);
  AppendSites(trace, previewFrom, previewTo, Phase::kPreview, trace.size(), run.sites);
  run.sites.insert(run.sites.end(), exitSites.begin(), exitSites.end());
  return run;
}

// ---- Scenarios ------------------------------------------------------------------------------

// After any scenario: whatever the camera still holds comes out once under its shot's names,
// and a clean shot then arrives whole. The caller holds the session off (host lock).
void ExpectRecovered(SimHost& host, int faultedFrame) {
  ASSERT_EQ(host.Control(R"({"cmd":"clear_faults"})"), ZEPASIM_OK);
  ASSERT_TRUE(host.ShotsReady());
  const TransferLog left = test::FetchPending(host);
  const std::vector<std::u16string> allowed = ShotNames(faultedFrame);
  for (const std::u16string& name : left.names) {
    EXPECT_EQ(std::count(left.names.begin(), left.names.end(), name), 1) << "delivered twice";
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), name), allowed.end())
        << "a leftover file got a wrong name";
  }
  EXPECT_EQ(host.Pending(), 0) << "files stuck in the camera";

  host.SetFrame(kRecoveryFrame);
  ASSERT_EQ(Shoot(host.Handle()), BRELON_OK) << "the next clean shot failed";
  ASSERT_TRUE(host.ShotsReady());
  EXPECT_EQ(Sorted(test::FetchPending(host).names), ShotNames(kRecoveryFrame));
}

// Shoot, the pairs and the condition report, with the session thread held at its next watch.
void RunHostScenario(const Site& site, Injection& inj) {
  SimHost host(kCleanConfig);
  ASSERT_TRUE(host.WaitEvent(BRELON_EV_CONNECTED, 1)) << "no connection";
  plat::LockGuard holdSession(Locks().host[0]);
  host.SetFrame(kCleanFrame);
  EnterMode3301(host.Context(), site.mode3301);
  if (site.phase == Phase::kTransfer) {
    ASSERT_EQ(Shoot(host.Handle()), BRELON_OK);
    ASSERT_TRUE(host.ShotsReady());
    SetJpegTransfer(!site.discardJpeg);
  } else if (site.phase == Phase::kPreview) {
    host.Control(R"({"cmd":"preview","camera":0,"frames":1})");
  }
  const size_t from = host.Sim().Trace().size();
  ASSERT_NO_FATAL_FAILURE(AddFaults(host, site, inj));
  const int32_t expected = ExpectedResult(site, inj);

  if (site.phase == Phase::kShoot) {
    EXPECT_EQ(Shoot(host.Handle()), expected);
  } else if (site.phase == Phase::kCondition) {
    BrelonCondition condition{};
    EXPECT_EQ(GetCameraCondition(host.Handle(), &condition), expected);
    // Whatever the export answers, the record marks the failed getter, and only that one.
    const int32_t results[] = {condition.sensitivityResult, condition.shutterResult,
                               condition.apertureResult,    condition.wbModeResult,
                               condition.colorTempResult,   condition.exposureBiasResult};
    EXPECT_EQ(std::count(std::begin(results), std::end(results), ZEPK_FAILED), 1);
  } else if (site.phase == Phase::kPreview) {
    // A frame whose information or data could not be read stays in the camera for the next
    // query, and a slot whose read failed is never handed out. Event 3 follows every query that
    // got the frame's information, also when its read failed.
    TransferLog log;
    const int eventsBefore = host.Count(BRELON_EV_PREVIEW);
    EXPECT_EQ(RunLiveView(host, log), std::vector<int32_t>{kPreviewBytes});
    EXPECT_EQ(log.results, std::vector<int32_t>(log.results.size(), expected));
    EXPECT_EQ(host.Count(BRELON_EV_PREVIEW) - eventsBefore,
              static_cast<int>(log.results.size()) - (site.fn == "ZEPK_ReadImageInfo" ? 1 : 0));
  } else {
    // A failed query or read leaves the file in the camera; the next pair takes it. A failed
    // deletion lets the JPEG through after all.
    const TransferLog log = test::FetchPending(host);
    SetJpegTransfer(true);
    const bool jpegDeleted = site.discardJpeg && site.fn != "ZEPK_DeleteImage";
    EXPECT_EQ(Sorted(log.names),
              jpegDeleted ? std::vector<std::u16string>{test::ExpectedName(kCleanFrame, true)}
                          : ShotNames(kCleanFrame));
    EXPECT_EQ(std::count(log.results.begin(), log.results.end(), BRELON_E_IMAGE_DELETED),
              jpegDeleted ? 1 : 0);
    const auto failures = std::count_if(log.results.begin(), log.results.end(), [](int32_t r) {
      return r != BRELON_OK && r != BRELON_E_IMAGE_DELETED;
    });
    EXPECT_EQ(failures, expected == BRELON_OK ? 0 : 1);
    if (expected != BRELON_OK) {
      EXPECT_NE(std::find(log.results.begin(), log.results.end(), expected), log.results.end());
    }
  }
  EXPECT_TRUE(FaultHit(host.Sim().Trace(), from, site)) << "the fault never fired";
  NoteLookup(host.Sim().Trace(), from, site, inj);
  ExpectRecovered(host, kCleanFrame);
}

// The session thread with the fault in the configuration, counted from ZEPK_Init.
void RunSessionScenario(const Site& site, Injection& inj) {
  std::string faults;
  for (const std::string& fault : FaultList(site, inj)) {
    faults += (faults.empty() ? "" : ",") + fault;
  }
  const std::string config = R"({"cameras":[)" + site.camera + R"(],"faults":[)" + faults + "]}";
  auto host = std::make_unique<SimHost>(config);
  ASSERT_EQ(host->InitResult(), BRELON_OK);

  if (site.fn == "ZEPK_Init" && inj.fault != Fault::kThrow) {
    // The thread ends without a further SDK call; only a new context brings the camera back.
    plat::SleepMs(test::RealToScaled(kQuietCyclesMs));
    EXPECT_EQ(host->Count(BRELON_EV_CONNECTED), 0);
    EXPECT_EQ(host->Sim().Trace().size(), 1u);
    EXPECT_TRUE(FaultHit(host->Sim().Trace(), 0, site));
    host.reset();
    host = std::make_unique<SimHost>(Config(site.camera));
    ASSERT_TRUE(host->WaitEvent(BRELON_EV_CONNECTED, 1)) << "a fresh context did not connect";
  } else {
    ASSERT_TRUE(host->WaitEvent(BRELON_EV_CONNECTED, 1)) << "never connected";
    ASSERT_TRUE(test::WaitUntil([&] { return FaultHit(host->Sim().Trace(), 0, site); },
                                test::kWatchdogMs / 2))
        << "the fault never fired";
    if (!site.watch) {
      // A failed detection or open is retried by the next cycle; nothing was ever lost.
      EXPECT_EQ(host->Count(BRELON_EV_DISCONNECTED), 0);
    } else if (!EndsConnection(site, inj)) {
      // A busy camera is not a lost one: the next cycle begins without event 7.
      const size_t after = host->Sim().Trace().size();
      ASSERT_TRUE(test::WaitUntil(
          [&] {
            const std::vector<TraceCall> trace = host->Sim().Trace();
            return std::count_if(trace.begin() + std::min(after, trace.size()), trace.end(),
                                 [&](const TraceCall& c) { return c.fn == site.cycleFn; }) >= 1;
          },
          test::kWatchdogMs / 2));
      EXPECT_EQ(host->Count(BRELON_EV_DISCONNECTED), 0);
      EXPECT_EQ(host->Count(BRELON_EV_CONNECTED), 1);
    } else {
      ASSERT_TRUE(host->WaitEvent(BRELON_EV_DISCONNECTED, 1)) << "the loss was not reported";
      ASSERT_TRUE(host->WaitEvent(BRELON_EV_CONNECTED, 2)) << "no reconnection";
      EXPECT_EQ(host->Count(BRELON_EV_DISCONNECTED), 1);
    }
  }
  plat::LockGuard holdSession(Locks().host[0]);
  NoteLookup(host->Sim().Trace(), 0, site, inj);
  ExpectRecovered(*host, kCleanFrame);
}

// Exit of a connected context with the fault added just before; then a new Init on the same
// simulator session must connect again.
void RunShutdownScenario(const Site& site, Injection& inj) {
  SimHost host(kCleanConfig);
  ASSERT_TRUE(host.WaitEvent(BRELON_EV_CONNECTED, 1)) << "no connection";
  const size_t from = host.Sim().Trace().size();
  ASSERT_NO_FATAL_FAILURE(AddFaults(host, site, inj));
  EXPECT_EQ(Exit(host.Handle()), ExpectedResult(site, inj));
  EXPECT_EQ(*host.Handle(), nullptr);
  EXPECT_TRUE(FaultHit(host.Sim().Trace(), from, site)) << "the fault never fired";
  NoteLookup(host.Sim().Trace(), from, site, inj);
  ASSERT_EQ(host.Reinit(), BRELON_OK);
  ASSERT_TRUE(host.WaitEvent(BRELON_EV_CONNECTED, 2)) << "a new Init did not connect";
  plat::LockGuard holdSession(Locks().host[0]);
  ExpectRecovered(host, kCleanFrame);
}

class FaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    profile_ = new test::Profile(test::UseFreshProfile("faults"));
    plat::SetTimeScale(kTimeScale);
    run_ = new CleanRun(RecordCleanRun());
  }
  static void TearDownTestSuite() {
    delete run_;
    run_ = nullptr;
    delete profile_;
    profile_ = nullptr;
    plat::SetTimeScale(1);
  }
  void SetUp() override { plat::SetTimeScale(kTimeScale); }

  // Runs every scenario of one phase and prints its coverage: call sites x faults. Then the
  // second order over the sites after whose failure a run looked the error number up.
  void Sweep(Phase phase) {
    ASSERT_TRUE(run_->failure.empty()) << "clean run: " << run_->failure;
    std::vector<Site> sites;
    std::copy_if(run_->sites.begin(), run_->sites.end(), std::back_inserter(sites),
                 [phase](const Site& site) { return site.phase == phase; });
    EXPECT_GT(sites.size(), 0u) << "the clean run made no SDK call in this phase";
    SweepSites(phase, SweepSites(phase, sites, false), true);
  }

  // The scenarios of `sites`; returns those after whose failure the trace shows a lookup.
  std::vector<Site> SweepSites(Phase phase, const std::vector<Site>& sites, bool lookupFails) {
    const std::string name =
        std::string(PhaseName(phase)) + (lookupFails ? ", error lookup failing too" : "");
    std::vector<Site> lookedUp;
    int run = 0;
    std::printf("[ coverage ] %s: call site | busy | other | throw\n", name.c_str());
    for (const Site& site : sites) {
      std::string row;
      bool looked = false;
      for (Fault fault : kFaults) {
        if (fault == Fault::kThrow && !Guarded(site, lookupFails)) {
          row += " | n/a";
          continue;
        }
        const std::string what = site.Label() + " failing with " + FaultName(fault) +
                                 (lookupFails ? ", its error lookup failing too" : "");
        SCOPED_TRACE(what);
        const int partsBefore = Parts();
        test::Watchdog watchdog(what);
        Injection inj{fault, lookupFails};
        if (phase == Phase::kSession) {
          RunSessionScenario(site, inj);
        } else if (phase == Phase::kShutdown) {
          RunShutdownScenario(site, inj);
        } else {
          RunHostScenario(site, inj);
        }
        ++run;
        looked = looked || inj.lookedUp;
        row += std::string(" | ") + (Parts() != partsBefore ? "FAILED" : "ok");
      }
      if (looked) lookedUp.push_back(site);
      std::printf("[ coverage ]   %-40s%s\n", site.Label().c_str(), row.c_str());
    }
    std::printf("[ coverage ] %s: %d call sites x 3 faults, %d scenarios run\n", name.c_str(),
                static_cast<int>(sites.size()), run);
    return lookedUp;
  }

  // Assertion results recorded so far in this test; every one here is a failure.
  static int Parts() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  static CleanRun* run_;
  static test::Profile* profile_;  // default settings: both card formats, both transferred
};
CleanRun* FaultSweep::run_ = nullptr;
test::Profile* FaultSweep::profile_ = nullptr;

TEST_F(FaultSweep, SessionCallsFailingKeepOrRestoreTheConnection) {
  Sweep(Phase::kSession);
}
TEST_F(FaultSweep, ShootCallsFailingGiveBusyOrCallFailure) {
  Sweep(Phase::kShoot);
}
TEST_F(FaultSweep, ReadImageCallsFailingStillDeliverEveryFileOnce) {
  Sweep(Phase::kTransfer);
}
TEST_F(FaultSweep, ConditionGettersFailingGiveBusyOrCallFailure) {
  Sweep(Phase::kCondition);
}
TEST_F(FaultSweep, LiveViewCallsFailingStillHandOutTheFrameOnce) {
  Sweep(Phase::kPreview);
}
TEST_F(FaultSweep, ExitCallsFailingStillEndAndLetANewInitConnect) {
  Sweep(Phase::kShutdown);
}

}  // namespace
}  // namespace brelon
