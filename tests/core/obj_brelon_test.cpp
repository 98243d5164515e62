// CreateIF and the three interface objects as a host built with another compiler uses them: every
// slot called through the raw vtable against the simulated camera, then the interface object's
// busy retries, drive value, mode 0x3301, release errors and locks, and its answers without
// camera or context.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/interfaces.h"
#include "platform/platform.h"
#include "platform/run_thread.h"
#include "platform/testing.h"
#include "sdk/loader.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"
#include "support/test_env.h"

// The Windows headers behind the registry helpers define SetProp as a macro, which would rename
// the SDK wrapper's member of that name in the calls below.
#undef SetProp

// The factory allocates with the nothrow form, which this program replaces to fail on demand.
namespace {
std::atomic<bool> g_failNothrowNew{false};
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_failNothrowNew) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace brelon {
namespace {

// Calls vtable slot `slot` as a host compiled elsewhere would: a this-call taking the object and
// exactly the argument types written at the call site.
void* const* Vtable(void* object) {
  return *static_cast<void* const* const*>(object);
}
template <typename R = int32_t, typename... A>
R Call(void* object, int slot, A... args) {
  return reinterpret_cast<R(BRELON_THISCALL*)(void*, A...)>(Vtable(object)[slot])(object, args...);
}
using PropFn = int32_t(BRELON_CDECL*)(void*, int32_t, int32_t, ...);
void* Create(void* ctx, int32_t kind) {
  void* object = nullptr;
  EXPECT_EQ(CreateIF(ctx, kind, &object), BRELON_OK);
  return object;
}

// Slots 2-54 of the guarded SDK object: the entry point each reaches and its word count (0 for
// the variadic property members).
// clang-format off
constexpr const char* kSdkSlotEntries[] = {
    "GetPriorityMode", "SetPriorityMode", "CapAEMode", "GetAEMode", "SetAEMode", "CapLensZoomPos",
    "GetLensZoomPos", "SetLensZoomPos", "CapAperture", "GetAperture", "SetAperture",
    "CapShutterSpeed", "GetShutterSpeed", "SetShutterSpeed", "CapSensitivity", "GetSensitivity",
    "SetSensitivity", "CapWBMode", "GetWBMode", "SetWBMode", "CapWBColorTemp", "GetWBColorTemp",
    "SetWBColorTemp", "CapExposureBias", "GetExposureBias", "SetExposureBias", "CapMeteringMode",
    "GetMeteringMode", "SetMeteringMode", "CapDynamicRange", "SetDynamicRange", "GetDynamicRange",
    "CapForceMode", "SetForceMode", "CapRelease", "GetReleaseStatus", "CapProp", "GetProp",
    "SetProp", "ReadImageInfo", "ReadImage", "ReadPreview", "GetErrorNumber", "GetBufferCapacity",
    "CapMediaRecord", "SetMediaRecord", "GetMediaRecord", "GetDeviceInfo", "GetFirmwareVersion",
    "GetLensInfo", "GetLensVersion", "SetBackupSettings", "GetBackupSettings",
};
constexpr char kSdkSlotWords[] = "11211411311322211211211211211211212100012222211111122";
// clang-format on
static_assert(std::size(kSdkSlotEntries) == BRELON_IZEPKAPI_SLOTS - 2);
static_assert(std::size(kSdkSlotWords) == BRELON_IZEPKAPI_SLOTS - 1);

std::string Fault(const char* fn, int count, int error) {
  return std::string(R"({"cmd":"fault","fn":")") + fn + R"(","nth":1,"count":)" +
         std::to_string(count) + R"(,"result":-1,"error":)" + std::to_string(error) + "}";
}

// Runs `body` on another thread and tells whether it was still blocked after 50 ms real time,
// then whether it finished once `release` ran.
template <typename Body, typename Release>
void ExpectHeldOffUntil(Body body, Release release) {
  std::atomic<bool> done{false};
  plat::Thread* other = test::StartThread([&] {
    body();
    done = true;
  });
  ASSERT_NE(other, nullptr);
  plat::SleepMs(50 * plat::TimeScale());
  EXPECT_FALSE(done) << "got through while the lock was held";
  release();
  EXPECT_EQ(plat::ThreadJoin(other, 10000 * plat::TimeScale()), plat::WaitResult::kSignalled);
  plat::ThreadClose(other);
  EXPECT_TRUE(done);
}

// A connected context in a private profile (settings, documents folder) with an interface
// object holding host lock 0, which keeps the session thread's watch out of the trace.
class HostStyle : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetTimeScale(10); }
  void Connect(const std::string& camera = "{}") {
    test::UseFreshProfile("host-style");
    camera_ = std::make_unique<test::ConnectedContext>(R"({"cameras":[)" + camera + "]}");
    ASSERT_TRUE(camera_->Connected());
    ctx_ = camera_->Context();
    o_ = static_cast<IBrelon*>(Create(ctx_, BRELON_IF_BRELON));
    o_->LockHost(0);
    camera_->Sim().ClearTrace();
  }
  void TearDown() override {
    if (o_) {
      o_->UnlockHost(0);
      EXPECT_EQ(o_->Release(), 0);
    }
    camera_.reset();
    plat::SetTimeScale(1);
  }
  std::vector<test::TraceCall> Calls(const char* fn) { return camera_->Sim().Calls(fn); }
  int Control(const std::string& json) { return camera_->Sim().Control(json); }

  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  IBrelon* o_ = nullptr;
};

TEST_F(HostStyle, EverySlotOfTheInterfaceObjectDoesItsJob) {
  Connect();
  void* o = o_;
  EXPECT_EQ(Call(o, 0), 2);
  EXPECT_EQ(Call(o, 1), 1);
  EXPECT_EQ(Call(o, 2, 2, 0), 0);
  EXPECT_EQ(ctx_->lPriorityMode, 2);
  Call<void>(o, 3);
  EXPECT_EQ(ctx_->lPriorityMode, 1);
  EXPECT_EQ(Call(o, 4, 1), 2) << "refreshed from the camera";
  EXPECT_EQ(Call(o, 5), 0);
  EXPECT_EQ(Call(o, 7), 1);
  EXPECT_EQ(Call(o, 6), 0);
  EXPECT_EQ(Call(o, 7), 0);
  Call<void>(o, 9, 1, 1);
  EXPECT_EQ(Call(o, 7), 1);
  EXPECT_EQ(Call(o, 8), 1);
  Call<void>(o, 10, -77);
  EXPECT_EQ(Call(o, 11), -77);
  EXPECT_NE(ctx_->hCamera, 0);
  EXPECT_EQ(Call(o, 12), ctx_->hCamera);
  BrelonCondition condition;
  std::memset(&condition, 0xEE, sizeof condition);
  Call<void>(o, 13, static_cast<void*>(&condition));
  EXPECT_EQ(std::memcmp(&condition, &ctx_->Condition, sizeof condition), 0);

  // Preview: a short buffer learns the size and keeps the frame; exactly the frame is copied.
  ctx_->lPreviewSize[ctx_->lPreviewIndex] = 16;
  std::memset(ctx_->PreviewBuffer[ctx_->lPreviewIndex], 0x3C, 16);
  uint8_t frame[32] = {};
  int32_t size = 15;
  EXPECT_EQ(Call(o, 14, frame, &size), BRELON_E_BUFFER_TOO_SMALL);
  EXPECT_EQ((std::vector<int>{size, frame[0]}), (std::vector<int>{16, 0}));
  size = sizeof frame;
  EXPECT_EQ(Call(o, 14, frame, &size), BRELON_OK);
  EXPECT_EQ((std::vector<int>{size, frame[15], frame[16]}), (std::vector<int>{16, 0x3C, 0}));
  EXPECT_EQ(Call(o, 14, frame, &size), BRELON_E_SDK) << "each frame goes once";
  EXPECT_EQ(size, 16);

  const uint8_t notRaw[256] = {};
  uint8_t* none = nullptr;
  EXPECT_EQ(Call(o, 15, notRaw, intptr_t{0}, none, &size), 0);
  EXPECT_EQ(Call(o, 15, static_cast<const uint8_t*>(nullptr), intptr_t{0}, none, &size),
            BRELON_E_IMAGE_DATA);
  char16_t folder[261] = u"unchanged";
  Call(o, 16, folder, 0);  // whether it can be made depends on the machine
  EXPECT_NE(std::u16string(folder), u"unchanged");
  EXPECT_EQ(Call(o, 17, 0x200, 0), 0);
  ASSERT_EQ(Calls("ZEPK_Release").size(), 1u);
  EXPECT_EQ(test::IntArg(Calls("ZEPK_Release")[0], 1), 0x200);

  // Texts are copied, cut to the buffer and emptied for null.
  const std::u16string longText(300, u'x');
  Call<void>(o, 18, u"one", static_cast<const char16_t*>(nullptr), longText.c_str());
  char16_t texts[3][kPropTextUnits] = {};
  Call<void>(o, 19, texts[0], texts[1], texts[2]);
  EXPECT_EQ(std::u16string(texts[0]) + u"|" + texts[1], u"one|");
  EXPECT_EQ(std::u16string(texts[2]), longText.substr(0, kPropTextUnits - 1));

  plat::EventSet(ctx_->hImageWaitEvent);
  Call<void>(o, 20, 1);
  EXPECT_EQ(Call(o, 21), 1);
  EXPECT_EQ(Call<void*>(o, 22), static_cast<void*>(ctx_->hImageWaitEvent));
  EXPECT_EQ(plat::EventWait(ctx_->hImageWaitEvent, 0), plat::WaitResult::kTimeout);
  Call<void>(o, 23, 3);
  EXPECT_EQ(ctx_->lHostCount, 3);
  EXPECT_EQ(Call(o, 24), 1);
  char name[300] = "x";
  EXPECT_EQ(Call(o, 25, "no-such-file.JPG", name, static_cast<char*>(nullptr), 0), 0);
  Call<void>(o, 26, uint32_t{kOptionMediumFormatOnly});
  EXPECT_EQ(HostOptionFlags(), kOptionMediumFormatOnly);
  Call<void>(o, 26, uint32_t{0});
  // The connection kind is recorded just after the camera is announced.
  for (int i = 0; i < 5000 && Call(o, 27) == 0; ++i) plat::SleepMs(1);
  EXPECT_EQ(Call(o, 27), 1) << "a USB connection";
  Call<void>(o, 28, uint8_t{0xA5});
  EXPECT_EQ(Call<uint8_t>(o, 29), 0xA5);
  Call<void>(o, 31, 11, -12);
  int32_t a = 0, b = 0;
  Call<void>(o, 30, &a, &b);
  EXPECT_EQ((std::vector<int32_t>{a, b}), (std::vector<int32_t>{11, -12}));
  EXPECT_EQ(Call(o, 32), 1);
  Call<void>(o, 33, 1);
  Call<void>(o, 34, 1);
  // Slot 35 without the free flag leaves the memory; with it a fresh object is freed.
  EXPECT_EQ(Call<void*>(o, 35, uint8_t{0}), o);
  void* spare = Create(ctx_, BRELON_IF_BRELON);
  EXPECT_EQ(Call<void*>(spare, 35, uint8_t{BRELON_DESTROY_FREE}), spare);
}

TEST_F(HostStyle, EverySlotOfTheSdkAndPropertyObjectsReachesItsEntryPoint) {
  Connect();
  void* o = Create(ctx_, BRELON_IF_ZEPKAPI);
  const int64_t h = ctx_->hCamera;
  // One buffer big enough for any output is every address argument.
  std::vector<uint8_t> scratch(64 * 1024);
  const auto out = reinterpret_cast<ZepkArg>(scratch.data());
  for (int slot = 2; slot < BRELON_IZEPKAPI_SLOTS; ++slot) {
    const std::string entry = std::string("ZEPK_") + kSdkSlotEntries[slot - 2];
    SCOPED_TRACE(entry);
    camera_->Sim().ClearTrace();
    const int words = kSdkSlotWords[slot - 2] - '0';
    if (words == 0) reinterpret_cast<PropFn>(Vtable(o)[slot])(o, 0x3328, 1, out);
    if (words == 1) Call(o, slot, out);
    if (words == 2) Call(o, slot, out, out);
    if (words == 3) Call(o, slot, out, out, out);
    if (words == 4) Call(o, slot, out, out, out, out);
    const std::vector<test::TraceCall> trace = camera_->Sim().Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].fn, entry);
    EXPECT_EQ(test::IntArg(trace[0], 0), h);
  }
  // The plain-C view names the same slots.
  const IBrelon_ZEPKAPIVtbl* z = static_cast<IBrelon_ZEPKAPIC*>(o)->lpVtbl;
  EXPECT_EQ(reinterpret_cast<void*>(z->BRN_GetPriorityMode), Vtable(o)[2]);
  EXPECT_EQ(reinterpret_cast<void*>(z->BRN_GetBackupSettings), Vtable(o)[54]);
  const IBrelonVtbl* c = static_cast<IBrelonC*>(static_cast<void*>(o_))->lpVtbl;
  EXPECT_EQ(reinterpret_cast<void*>(c->TakePreview), Vtable(o_)[14]);
  EXPECT_EQ(reinterpret_cast<void*>(c->Destroy), Vtable(o_)[35]);
  EXPECT_EQ(Call(o, 0), 2);
  EXPECT_EQ(Call(o, 1), 1);
  EXPECT_EQ(z->Release(o), 0);

  // The property object writes through slot 2 and reads through slot 3 (the settings themselves
  // are checked in the settings suite).
  void* p = Create(ctx_, BRELON_IF_PROPERTY);
  EXPECT_EQ(Call(p, 0), 2);
  EXPECT_EQ(Call(p, 1), 1);
  auto record = std::make_unique<_BRELON_PROPERTY>();
  ASSERT_EQ(Call(p, 3, record.get()), BRELON_OK);
  record->hgDispMode = 3;
  EXPECT_EQ(Call(p, 2, record.get()), BRELON_OK);
  record->hgDispMode = 0;
  EXPECT_EQ(Call(p, 3, record.get()), BRELON_OK);
  EXPECT_EQ(record->hgDispMode, 3);
  EXPECT_EQ(reinterpret_cast<void*>(static_cast<IBrelon_PropertyC*>(p)->lpVtbl->Read),
            Vtable(p)[3]);
  EXPECT_EQ(Call(p, 1), 0);
}

TEST_F(HostStyle, SetPriorityModeRetriesOnlyABusyCameraAndOnlyUntilTheTimeout) {
  Connect();
  const struct {
    int count, error, timeoutMs, result;
    size_t calls;  // 0: more than one
  } kCases[] = {
      {3, ZEPK_ERR_BUSY, 60000, BRELON_OK, 4},
      {-1, ZEPK_ERR_BUSY, 0, BRELON_E_SDK, 1},
      {-1, ZEPK_ERR_BUSY, 200, BRELON_E_SDK, 0},
      {-1, 0x1003, 60000, BRELON_E_SDK, 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.count << " x " << c.error << " within " << c.timeoutMs);
    ctx_->lPriorityMode = 1;
    ASSERT_EQ(Control(Fault("ZEPK_SetPriorityMode", c.count, c.error)), 0);
    camera_->Sim().ClearTrace();
    const int64_t start = plat::NowTicks();
    EXPECT_EQ(o_->SetPriorityMode(2, c.timeoutMs), c.result);
    const auto calls = Calls("ZEPK_SetPriorityMode");
    EXPECT_EQ(ctx_->lPriorityMode, c.result == BRELON_OK ? 2 : 1) << "stored only on success";
    if (c.calls == 0) {
      EXPECT_GE((plat::NowTicks() - start) / 10000, c.timeoutMs);
      EXPECT_GT(calls.size(), 1u);
    } else {
      EXPECT_EQ(calls.size(), c.calls);
    }
    if (c.result == BRELON_OK) {
      EXPECT_EQ(test::IntArgs(calls.back()), (std::vector<int64_t>{ctx_->hCamera, 2}));
      EXPECT_EQ(Calls("ZEPK_GetErrorNumber").size(), 3u);
    }
    ASSERT_EQ(Control(R"({"cmd":"clear_faults"})"), 0);
  }
}

// Host priority replaces a blocking drive value (7, 6) and camera priority restores it; other
// values (3) and refused replacements are not restored.
TEST_F(HostStyle, HostPriorityReplacesABlockingDriveValueAndCameraPriorityRestoresIt) {
  Connect(R"({"props":{"0x4220":[1,7],"0x3328":[1]}})");
  const int64_t h = ctx_->hCamera;
  const struct {
    int32_t drive;
    bool refused;
    int32_t saved;
  } kCases[] = {{7, false, 7}, {3, false, 3}, {6, true, 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.drive << (c.refused ? " refused" : ""));
    // The simulator reads 0x4219's value back as 0x4220.
    ASSERT_EQ(ctx_->pSdk->SetProp(h, 0x4219, 2, ZepkArg{1}, ZepkArg{c.drive}), ZEPK_OK);
    if (c.refused) {
      ASSERT_EQ(Control(Fault("ZEPK_SetProp", 1, 0x1003)), 0);
    }
    camera_->Sim().ClearTrace();
    ASSERT_EQ(o_->SetPriorityMode(2, 0), BRELON_OK);
    EXPECT_EQ(ctx_->lSavedDriveValue, c.saved);
    ASSERT_EQ(Calls("ZEPK_GetProp").size(), 1u);
    EXPECT_EQ(test::IntArgs(Calls("ZEPK_GetProp")[0]), (std::vector<int64_t>{h, 0x4220, 2, 1}));
    const auto replace = Calls("ZEPK_SetProp");
    ASSERT_EQ(replace.size(), c.drive == 3 ? 0u : 1u);
    if (!replace.empty()) {
      EXPECT_EQ(test::IntArgs(replace[0]), (std::vector<int64_t>{h, 0x4219, 2, 1, 2}));
    }
    camera_->Sim().ClearTrace();
    ASSERT_EQ(o_->SetPriorityMode(1, 0), BRELON_OK);
    const auto restore = Calls("ZEPK_SetProp");
    ASSERT_EQ(restore.size(), c.saved == 7 ? 1u : 0u);
    if (!restore.empty()) {
      EXPECT_EQ(test::IntArgs(restore[0]), (std::vector<int64_t>{h, 0x4219, 2, 1, 7}));
    }
  }
}

TEST_F(HostStyle, Mode3301IsRecordedOnlyWhenTheCameraTakesIt) {
  Connect();
  const int64_t h = ctx_->hCamera;
  ctx_->lRearm3301 = 1;
  ASSERT_EQ(o_->SetMode3301(), BRELON_OK);
  EXPECT_EQ(o_->GetMode3301(), 1);
  EXPECT_EQ(o_->GetRearm3301(), 0);
  EXPECT_EQ(o_->ReleaseShutter(0x200, 0), BRELON_OK);
  EXPECT_EQ(o_->GetRearm3301(), 1) << "a release in mode 0x3301 re-arms it";
  ASSERT_EQ(Control(Fault("ZEPK_SetProp", 1, 0x1003)), 0);
  EXPECT_EQ(o_->ClearMode3301(), BRELON_E_SDK);
  EXPECT_EQ(o_->GetMode3301(), 1);
  ASSERT_EQ(o_->ClearMode3301(), BRELON_OK);
  EXPECT_EQ(o_->GetMode3301(), 0);
  const auto sets = Calls("ZEPK_SetProp");
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(test::IntArgs(sets[0]), (std::vector<int64_t>{h, 0x3301, 0}));
  EXPECT_EQ(test::IntArgs(sets[2]), (std::vector<int64_t>{h, 0x3302, 0}));
  // A failed release answers with the camera's error number.
  ASSERT_EQ(Control(Fault("ZEPK_Release", 1, 0x1234)), 0);
  EXPECT_EQ(o_->ReleaseShutter(0x200, 0), 0x1234);
}

TEST_F(HostStyle, TakePreviewWaitsWhileImageTransferHoldsTheSdkLock) {
  Connect();
  std::memset(ctx_->PreviewBuffer[0], 0x5A, 64);
  ctx_->lPreviewSize[0] = 64;
  uint8_t frame[64] = {};
  int32_t result = 1;
  plat::LockEnter(ctx_->pSdk->SdkLock());
  ExpectHeldOffUntil(
      [&] {
        int32_t size = sizeof(frame);
        result = o_->TakePreview(frame, &size);
      },
      [&] { plat::LockLeave(ctx_->pSdk->SdkLock()); });
  EXPECT_EQ(result, BRELON_OK);
  EXPECT_EQ(frame[63], 0x5A);
}

// A context as Init leaves it, without SDK or session thread.
std::unique_ptr<PluginContext> BareContext() {
  auto ctx = std::make_unique<PluginContext>();
  ctx->lAlwaysOne = ctx->lPriorityMode = ctx->bHostFlag = 1;
  return ctx;
}

TEST(ObjBrelon, HostLocksHoldOffOtherThreadsAndOtherIndexesHoldNothing) {
  auto ctx = BareContext();
  auto* o = static_cast<IBrelon*>(Create(ctx.get(), BRELON_IF_BRELON));
  for (int32_t index : {0, 1}) {
    SCOPED_TRACE(index);
    o->LockHost(index);
    ExpectHeldOffUntil([&] { plat::LockGuard guard(Locks().host[index]); },
                       [&] { o->UnlockHost(index); });
  }
  for (int32_t index : {-1, 2, 5, 1000}) o->LockHost(index);
  for (int32_t index : {-1, 2, 1000}) o->UnlockHost(index);
  plat::Thread* other = test::StartThread([] {
    plat::LockGuard first(Locks().host[0]);
    plat::LockGuard second(Locks().host[1]);
  });
  EXPECT_EQ(plat::ThreadJoin(other, 10000 * plat::TimeScale()), plat::WaitResult::kSignalled);
  plat::ThreadClose(other);
  EXPECT_EQ(o->Release(), 0);
}

TEST(ObjBrelon, WithoutACameraOrContextTheMembersFailAndTouchNothing) {
  auto ctx = BareContext();
  ctx->lPriorityMode = 2;
  ctx->lMode3301 = 1;
  auto* o = static_cast<IBrelon*>(Create(ctx.get(), BRELON_IF_BRELON));
  EXPECT_EQ(o->SetPriorityMode(1, 1000), BRELON_E_SDK);
  EXPECT_EQ(o->GetPriorityMode(1), 2);
  EXPECT_EQ(o->SetMode3301(), BRELON_E_SDK);
  EXPECT_EQ(o->ClearMode3301(), BRELON_E_SDK);
  EXPECT_EQ(ctx->lMode3301, 1);
  EXPECT_EQ(o->ReleaseShutter(0x104, 0), BRELON_E_SDK);
  EXPECT_EQ(ctx->lRearm3301, 1) << "a release in mode 0x3301 re-arms it, camera or not";
  o->ResetPriorityMode();
  EXPECT_EQ(o->GetPriorityMode(0), 1);
  EXPECT_EQ(o->Release(), 0);

  o = static_cast<IBrelon*>(Create(nullptr, BRELON_IF_BRELON));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->SetPriorityMode(2, 0), BRELON_E_SDK);
  EXPECT_EQ(o->GetPriorityMode(1), 0);
  EXPECT_EQ(o->ReleaseShutter(0x104, 0), BRELON_E_SDK);
  int32_t size = 100;
  EXPECT_EQ(o->TakePreview(&size, &size), BRELON_E_SDK);
  o->SetHostValue(5);
  EXPECT_EQ(o->GetHostValue(), 0);
  o->SetPropTexts(u"a", u"b", u"c");
  char16_t text[4] = u"zz";
  o->GetPropTexts(text, nullptr, nullptr);
  EXPECT_EQ(std::u16string(text), u"zz");
  EXPECT_EQ(o->GetImageWaitEvent(), nullptr);
  EXPECT_EQ(o->Release(), 0);
}

TEST(CreateIF, UnknownKindsAndFailedAllocationsLeaveNoObject) {
  auto ctx = std::make_unique<PluginContext>();  // too big for a stack
  for (int32_t kind : {0, 4, -1, 1000}) {
    void* object = ctx.get();  // a leftover value must be cleared
    EXPECT_EQ(CreateIF(ctx.get(), kind, &object), BRELON_OK) << kind;
    EXPECT_EQ(object, nullptr) << kind;
  }
  EXPECT_EQ(CreateIF(ctx.get(), BRELON_IF_BRELON, nullptr), BRELON_OK) << "nowhere to put it";
  for (int32_t kind : {BRELON_IF_PROPERTY, BRELON_IF_BRELON, BRELON_IF_ZEPKAPI}) {
    void* object = ctx.get();
    g_failNothrowNew = true;
    const int32_t result = CreateIF(ctx.get(), kind, &object);
    g_failNothrowNew = false;
    EXPECT_EQ(result, BRELON_E_NO_MEMORY) << kind;
    EXPECT_EQ(object, nullptr) << kind;
  }
}

TEST(CreateIF, TwoInterfaceObjectsAreIndependentViewsOfOneContext) {
  auto ctx = std::make_unique<PluginContext>();
  auto* a = static_cast<IBrelon*>(Create(ctx.get(), BRELON_IF_BRELON));
  auto* b = static_cast<IBrelon*>(Create(ctx.get(), BRELON_IF_BRELON));
  ASSERT_NE(a, b);
  EXPECT_EQ(a->AddRef(), 2);
  EXPECT_EQ(b->AddRef(), 2);
  a->SetHostValue(42);
  EXPECT_EQ(b->GetHostValue(), 42);
  for (IBrelon* object : {a, b}) {
    object->Release();
    EXPECT_EQ(object->Release(), 0);
  }
}

}  // namespace
}  // namespace brelon
