// Fault sweep: every SDK call of a clean run fails (busy, other, thrown, its lookup failing too);
// each fault must fire, give its defined result and leave the next shot delivered whole.
#include <gtest/gtest.h>

#include <map>

#include "brelon/interfaces.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

using test::ConnectedContext;
using test::TransferLog;
using Names = std::vector<std::u16string>;
using Trace = std::vector<test::TraceCall>;

constexpr uint32_t kTimeScale = 100;     // a session cycle of 5 s nominal lasts 50 ms
constexpr int32_t kOtherError = 0x1003;  // any number but busy; 0x1015 would open the warning
constexpr int kCleanFrame = 42, kRecoveryFrame = 500;
constexpr uint32_t kQuietCyclesMs = 300;  // real time in which a failed ZEPK_Init must stay alone
constexpr int32_t kPreviewBytes = 5000, kHostCount = 2;  // host count > 1: restored after release
constexpr char kLookup[] = "ZEPK_GetErrorNumber";
constexpr char kPreviewFrame[] = R"({"cmd":"preview","camera":0,"frames":1})";

// The media camera's first watch cycle sets the media-record mode: calls of its own.
std::string Config(bool media, const std::string& faults = "") {
  return std::string(R"({"cameras":[{)") +
         (media ? R"("media_record":2)" : R"("preview_bytes":)" + std::to_string(kPreviewBytes)) +
         R"(,"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":20000}}],"faults":[)" +
         faults + "]}";
}

enum Phase { kSession, kShoot, kTransfer, kCondition, kPreview, kShutdown };
constexpr const char* kPhaseNames[] = {"session", "Shoot", "Read", "Condition", "preview", "Exit"};
enum Fault { kBusy, kOther, kThrow };

// The nth call of an entry point in one phase of the clean run, and how that run is set up.
struct Site {
  Phase phase = kSession;
  bool discardJpeg = false;  // ReadImage: JPEGs are not to be transferred
  bool mode3301 = false;     // Shoot and ReadImage: the host put the camera in mode 3301
  bool media = false;        // session: on the media camera
  std::string fn{};
  int nth = 0;
  bool watch = false;     // session: made by a watch cycle, after the connection
  std::string cycleFn{};  // session: the first call of every watch cycle
  std::string Label() const {
    return std::string(kPhaseNames[phase]) + " " + fn + "#" + std::to_string(nth) + " flags " +
           std::to_string(watch * 8 + media * 4 + discardJpeg * 2 + mode3301);
  }
};

struct Injection {
  Fault fault;
  bool lookupFails = false, lookedUp = false;  // lookedUp: a lookup followed the faulted call
};

int32_t ExpectedResult(const Site& site, const Injection& inj) {
  // A failed lookup leaves the number at 0, from which alone GetCameraCondition answers.
  if (inj.lookupFails && site.phase == kCondition) return BRELON_OK;
  // Past the release-mode query (CapRelease 1, 2), leaving mode 3301, the host count and the
  // colour temperature are tried, not required.
  if (site.fn == "ZEPK_CapRelease") return site.nth <= 2 ? BRELON_E_SDK_CALL : BRELON_OK;
  if ((site.phase == kShoot && site.fn == "ZEPK_SetProp") || site.fn == "ZEPK_GetWBColorTemp")
    return BRELON_OK;
  if (site.phase == kTransfer) return site.fn == "ZEPK_ReadImage" ? BRELON_E_IMAGE_DATA : BRELON_OK;
  if (site.phase == kPreview || site.phase == kShutdown) return BRELON_OK;
  return inj.fault == kBusy && !inj.lookupFails ? BRELON_E_BUSY : BRELON_E_SDK_CALL;
}

// The scenario's faults as JSON objects; the lookup's nth counts from the faulted call.
std::vector<std::string> Faults(const Site& site, const Injection& inj) {
  const auto fault = [](const std::string& fn, int nth, Fault f) {
    return R"({"fn":")" + fn + R"(","nth":)" + std::to_string(nth) +
           R"(,"count":1,"result":-1,"api_code":0,"error":)" +
           std::to_string(f == kBusy ? ZEPK_ERR_BUSY : kOtherError) + R"(,"throw":)" +
           (f == kThrow ? "true}" : "false}");
  };
  if (!inj.lookupFails) return {fault(site.fn, site.nth, inj.fault)};
  return {fault(site.fn, site.nth, inj.fault == kThrow ? kBusy : inj.fault),
          fault(kLookup, 1, inj.fault)};
}

// Whether the site's call from `from` on failed; with `inj`, also whether a lookup followed.
bool FaultHit(ConnectedContext& host, size_t from, const Site& site, Injection* inj = nullptr) {
  const Trace trace = host.Sim().Trace();
  const auto failed = [&](size_t k) {
    return k < trace.size() && (trace[k].threw || trace[k].ret == ZEPK_FAILED);
  };
  size_t i = from;
  for (int seen = 0; i < trace.size(); ++i) {
    if (trace[i].fn == site.fn && ++seen == site.nth) break;
  }
  const bool hit = failed(i);
  while (inj && i < trace.size() && trace[i].fn != kLookup) ++i;
  if (inj) inj->lookedUp = i < trace.size();
  EXPECT_TRUE(!inj || !inj->lookupFails || failed(i)) << "the lookup passed";
  return hit;
}

// Adds the new sites of trace [from, to), made like `like`; from `watchFrom` on: watch cycles.
void AddSites(const Trace& trace, size_t from, size_t to, const Site& like,
              std::vector<Site>& sites, size_t watchFrom = SIZE_MAX) {
  std::map<std::string, int> seen;
  for (size_t i = from; i < std::min(to, trace.size()); ++i) {
    Site site = like;
    site.fn = trace[i].fn;
    site.nth = ++seen[site.fn];
    site.watch = i >= watchFrom;
    if (site.watch) site.cycleFn = trace[watchFrom].fn;
    const auto key = [](const Site& s) { return std::tie(s.phase, s.fn, s.nth, s.watch); };
    if (std::ranges::none_of(sites, [&](const Site& s) { return key(s) == key(site); }))
      sites.push_back(site);
  }
}

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
  std::ranges::sort(names);
  return names;
}
Names ShotNames(int frame) {
  return Sorted({test::ExpectedName(frame, true), test::ExpectedName(frame, false)});
}

// Live view: query, then the preview slot; the sizes of the JPEG frames handed out (-1: no JPEG).
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

// The call sites of a clean run: the session to its second watch cycle, Exit, each host step.
std::vector<Site> RecordCleanRun() {
  std::vector<Site> sites;
  for (bool media : {false, true}) {
    ConnectedContext host(Config(media));
    EXPECT_TRUE(host.WaitEvent(BRELON_EV_CONNECTED, 1)) << "clean run: no connection";
    const size_t connect = host.TraceAtConnect();
    size_t nextWatch = 0;
    EXPECT_TRUE(test::Eventually([&] {
      const Trace trace = host.Sim().Trace();
      for (size_t i = connect + 1; i < trace.size(); ++i)
        if (trace[i].fn == trace[connect].fn) return (nextWatch = i), true;
      return false;
    })) << "clean run: no second watch cycle";
    AddSites(host.Sim().Trace(), 0, nextWatch, Site{.media = media}, sites, connect);
    if (media) continue;
    // Exit's own calls: those after the last one a watch cycle makes.
    const Trace cycle = host.Sim().Trace();
    Exit(host.Handle());
    const Trace trace = host.Sim().Trace();
    size_t from = cycle.size();
    for (size_t i = from; i < trace.size(); ++i)
      for (size_t w = connect; w < nextWatch; ++w) from = cycle[w].fn == trace[i].fn ? i + 1 : from;
    AddSites(trace, from, SIZE_MAX, Site{.phase = kShutdown}, sites);
  }
  ConnectedContext host(Config(false));
  EXPECT_TRUE(host.Connected()) << "clean run: no connection";
  plat::LockGuard holdSession(Locks().host[0]);
  const auto step = [&](Site like, const auto& run) {
    const size_t from = host.Sim().Trace().size();
    run();
    AddSites(host.Sim().Trace(), from, SIZE_MAX, like, sites);
  };
  const auto shot = [&] { EXPECT_TRUE(Shoot(host.Handle()) == BRELON_OK && host.ShotsReady()); };
  const auto fetch = [&] { EXPECT_FALSE(host.FetchPending().names.empty()); };
  BrelonCondition condition{};
  TransferLog log;
  step({.phase = kShoot}, shot);
  step({.phase = kTransfer}, fetch);
  step({.phase = kCondition}, [&] { GetCameraCondition(host.Handle(), &condition); });
  SetJpegTransfer(false);
  shot();
  step({.phase = kTransfer, .discardJpeg = true}, fetch);
  SetJpegTransfer(true);
  EnterMode3301(host.Context(), true);
  step({.phase = kShoot, .mode3301 = true}, shot);
  step({.phase = kTransfer, .mode3301 = true}, fetch);
  EnterMode3301(host.Context(), false);
  host.Control(kPreviewFrame);
  step({.phase = kPreview}, [&] { EXPECT_FALSE(RunLiveView(host, log).empty()); });
  return sites;
}

// What the camera still holds comes out once under its shot's names; a clean shot arrives whole.
void ExpectRecovered(ConnectedContext& host) {
  ASSERT_EQ(host.Control(R"({"cmd":"clear_faults"})"), 0);
  ASSERT_TRUE(host.ShotsReady());
  // Multiset inclusion: each once, under its shot's names.
  EXPECT_TRUE(std::ranges::includes(ShotNames(kCleanFrame), Sorted(host.FetchPending().names)));
  EXPECT_EQ(host.Pending(), 0) << "files stuck in the camera";
  host.SetFrame(kRecoveryFrame);
  ASSERT_EQ(Shoot(host.Handle()), BRELON_OK) << "the next clean shot failed";
  ASSERT_TRUE(host.ShotsReady());
  EXPECT_EQ(Sorted(host.FetchPending().names), ShotNames(kRecoveryFrame));
}

// A host step with the fault added just before, the session held; or Exit, then a new Init.
void RunHostScenario(const Site& site, Injection& inj) {
  ConnectedContext host(Config(false));
  ASSERT_TRUE(host.Connected());
  std::optional<plat::LockGuard> holdSession;
  if (site.phase != kShutdown) {
    holdSession.emplace(Locks().host[0]);
    host.SetFrame(kCleanFrame);
    EnterMode3301(host.Context(), site.mode3301);
  }
  if (site.phase == kTransfer) {
    ASSERT_TRUE(Shoot(host.Handle()) == BRELON_OK && host.ShotsReady());
    SetJpegTransfer(!site.discardJpeg);
  }
  if (site.phase == kPreview) host.Control(kPreviewFrame);
  const size_t from = host.Sim().Trace().size();
  for (const std::string& f : Faults(site, inj))
    ASSERT_EQ(host.Control(R"({"cmd":"fault",)" + f.substr(1)), 0);
  const int32_t expected = ExpectedResult(site, inj);
  TransferLog log;
  if (site.phase == kShoot) {
    EXPECT_EQ(Shoot(host.Handle()), expected);
  } else if (site.phase == kShutdown) {
    EXPECT_EQ(Exit(host.Handle()), expected);
    EXPECT_EQ(*host.Handle(), nullptr);
  } else if (site.phase == kCondition) {
    BrelonCondition c{};
    EXPECT_EQ(GetCameraCondition(host.Handle(), &c), expected);
    // Whatever the export answers, the record marks the failed getter, and only that one.
    const int32_t results[] = {c.sensitivityResult, c.shutterResult,   c.apertureResult,
                               c.wbModeResult,      c.colorTempResult, c.exposureBiasResult};
    EXPECT_EQ(std::ranges::count(results, ZEPK_FAILED), 1);
  } else if (site.phase == kPreview) {
    // An unread frame stays, a failed slot is never handed out; event 3 follows each info.
    const int eventsBefore = host.Count(BRELON_EV_PREVIEW);
    EXPECT_EQ(RunLiveView(host, log), std::vector<int32_t>{kPreviewBytes});
    EXPECT_EQ(log.results, std::vector<int32_t>(log.results.size(), expected));
    EXPECT_EQ(host.Count(BRELON_EV_PREVIEW) - eventsBefore,
              static_cast<int>(log.results.size()) - (site.fn == "ZEPK_ReadImageInfo" ? 1 : 0));
  } else {
    // A failed query or read leaves the file for the next pair; a failed deletion passes it.
    log = host.FetchPending();
    SetJpegTransfer(true);
    const bool jpegDeleted = site.discardJpeg && site.fn != "ZEPK_DeleteImage";
    EXPECT_EQ(Sorted(log.names),
              jpegDeleted ? Names{test::ExpectedName(kCleanFrame, true)} : ShotNames(kCleanFrame));
    EXPECT_EQ(std::ranges::count(log.results, BRELON_E_IMAGE_DELETED), jpegDeleted ? 1 : 0);
    std::erase(log.results, BRELON_E_IMAGE_DELETED);
    std::erase(log.results, BRELON_OK);
    EXPECT_EQ(log.results, expected == BRELON_OK ? std::vector<int32_t>{} : std::vector{expected});
  }
  EXPECT_TRUE(FaultHit(host, from, site, &inj)) << "the fault never fired";
  if (site.phase == kShutdown) {
    ASSERT_EQ(host.Reinit(), BRELON_OK);
    ASSERT_TRUE(host.WaitEvent(BRELON_EV_CONNECTED, 2)) << "a new Init did not connect";
    holdSession.emplace(Locks().host[0]);
  }
  ExpectRecovered(host);
}

// The session thread with the fault in the configuration, counted from ZEPK_Init.
void RunSessionScenario(const Site& site, Injection& inj) {
  std::string faults;
  for (const std::string& f : Faults(site, inj)) faults += (faults.empty() ? "" : ",") + f;
  auto host =
      std::make_unique<ConnectedContext>(Config(site.media, faults), ConnectedContext::kNoWait);
  ASSERT_EQ(host->InitResult(), BRELON_OK);
  if (site.fn == "ZEPK_Init" && inj.fault != kThrow) {
    // The thread ends without a further SDK call; only a new context brings the camera back.
    test::RealSleepMs(kQuietCyclesMs);
    EXPECT_EQ(host->Count(BRELON_EV_CONNECTED), 0);
    EXPECT_EQ(host->Sim().Trace().size(), 1u);
    EXPECT_TRUE(FaultHit(*host, 0, site));
    host.reset();
    host = std::make_unique<ConnectedContext>(Config(site.media));
    ASSERT_TRUE(host->Connected()) << "a fresh context did not connect";
  } else {
    ASSERT_TRUE(host->WaitEvent(BRELON_EV_CONNECTED, 1)) << "never connected";
    ASSERT_TRUE(test::Eventually([&] { return FaultHit(*host, 0, site); })) << "never fired";
    // A failed open is retried; a watch cycle keeps the camera only when busy or on GetProp.
    if (!site.watch || (inj.fault == kBusy && !inj.lookupFails) || site.fn == "ZEPK_GetProp") {
      const size_t after = host->Sim().Trace().size();
      ASSERT_TRUE(!site.watch || test::Eventually([&] {
        const Trace trace = host->Sim().Trace();
        return std::any_of(trace.begin() + std::min(after, trace.size()), trace.end(),
                           [&](const auto& c) { return c.fn == site.cycleFn; });
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
  FaultHit(*host, 0, site, &inj);
  ExpectRecovered(*host);
}

// Every site of every phase; then again where a lookup followed, the lookup failing too.
TEST(FaultSweep, EveryCallFailingGivesItsResultAndTheNextShotArrivesWhole) {
  const test::Profile profile = test::UseFreshProfile("faults");  // both formats everywhere
  plat::SetTimeScale(kTimeScale);
  const std::vector<Site> all = RecordCleanRun();
  for (Phase phase : {kSession, kShoot, kTransfer, kCondition, kPreview, kShutdown}) {
    std::vector<Site> sites, lookedUp;
    std::ranges::copy_if(all, std::back_inserter(sites),
                         [&](const Site& s) { return s.phase == phase; });
    EXPECT_GT(sites.size(), 0u) << "no SDK call in " << kPhaseNames[phase];
    for (bool lookupFails : {false, true}) {
      for (const Site& site : lookupFails ? lookedUp : sites) {
        bool looked = false;
        for (Fault fault : {kBusy, kOther, kThrow}) {
          // Exceptions are caught only around ZEPK_Init; elsewhere a throwing SDK is fatal.
          if (fault == kThrow && (lookupFails || phase != kSession || site.fn != "ZEPK_Init"))
            continue;
          SCOPED_TRACE(site.Label() + " fault " + std::to_string(fault * 2 + lookupFails));
          Injection inj{fault, lookupFails};
          phase == kSession ? RunSessionScenario(site, inj) : RunHostScenario(site, inj);
          looked = looked || inj.lookedUp;
        }
        if (looked && !lookupFails) lookedUp.push_back(site);
      }
    }
  }
  plat::SetTimeScale(1);
}

}  // namespace
}  // namespace brelon
