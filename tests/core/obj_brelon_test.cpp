// The interface object: reference counting, the preview hand-over, the texts, the host locks and
// the option word on a bare context, then the priority mode with its busy retries and drive
// value, the 0x3301 mode, the direct release and the SDK lock against the simulated camera.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "core/context.h"
#include "platform/platform.h"
#include "platform/run_thread.h"
#include "sdk/loader.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

struct Releaser {
  void operator()(IBrelon_OBJ* object) const { object->Release(); }
};
using BrelonRef = std::unique_ptr<IBrelon, Releaser>;

BrelonRef MakeBrelon(PluginContext* ctx) {
  void* object = nullptr;
  EXPECT_EQ(CreateIF(ctx, BRELON_IF_BRELON, &object), BRELON_OK);
  return BrelonRef(static_cast<IBrelon*>(object));
}

// A context as Init leaves it, without SDK or session thread.
std::unique_ptr<PluginContext> BareContext() {
  auto ctx = std::make_unique<PluginContext>();
  ctx->lAlwaysOne = 1;
  ctx->lPriorityMode = 1;
  ctx->bHostFlag = 1;
  return ctx;
}

// Waits `ms` real milliseconds whatever the time scale.
void RealSleep(uint32_t ms) {
  plat::SleepMs(ms * plat::TimeScale());
}

// ---- Without a camera ----------------------------------------------------------------------

TEST(ObjBrelon, ANewObjectHasOneReferenceAndItsLastReleaseFreesIt) {
  auto ctx = BareContext();
  void* object = nullptr;
  ASSERT_EQ(CreateIF(ctx.get(), BRELON_IF_BRELON, &object), BRELON_OK);
  auto* brelon = static_cast<IBrelon*>(object);
  EXPECT_EQ(brelon->AddRef(), 2);
  EXPECT_EQ(brelon->Release(), 1);
  EXPECT_EQ(brelon->Release(), 0);  // freed: the sanitizer build reports a leak otherwise
}

class PreviewHandOver : public ::testing::Test {
 protected:
  void Store(int slot, uint8_t fill, int32_t size) {
    std::memset(ctx_->PreviewBuffer[slot], fill, static_cast<size_t>(size));
    ctx_->lPreviewSize[slot] = size;
  }
  std::unique_ptr<PluginContext> ctx_ = BareContext();
  BrelonRef brelon_ = MakeBrelon(ctx_.get());
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kPreviewSlotBytes, 0);
};

TEST_F(PreviewHandOver, ATooSmallBufferLearnsTheSizeAndTheFrameStays) {
  Store(0, 0xA1, 4000);
  int32_t size = 3999;
  EXPECT_EQ(brelon_->TakePreview(buffer_.data(), &size), BRELON_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 4000);
  EXPECT_EQ(buffer_[0], 0) << "nothing copied";
  size = 0;
  EXPECT_EQ(brelon_->TakePreview(nullptr, &size), BRELON_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 4000);

  size = static_cast<int32_t>(buffer_.size());
  EXPECT_EQ(brelon_->TakePreview(buffer_.data(), &size), BRELON_OK);
  EXPECT_EQ(size, 4000);
  EXPECT_EQ(buffer_[0], 0xA1);
  EXPECT_EQ(buffer_[3999], 0xA1);
  EXPECT_EQ(buffer_[4000], 0) << "no more than the frame";
  EXPECT_EQ(ctx_->lPreviewSize[0], 0);
  EXPECT_EQ(ctx_->lPreviewIndex, 1);
}

TEST_F(PreviewHandOver, SlotsAreHandedOutInTurnUntilNoneIsLeft) {
  Store(0, 0x10, 100);
  Store(1, 0x20, kPreviewSlotBytes);  // a full slot fits exactly
  int32_t size = static_cast<int32_t>(buffer_.size());
  ASSERT_EQ(brelon_->TakePreview(buffer_.data(), &size), BRELON_OK);
  EXPECT_EQ(size, 100);
  EXPECT_EQ(buffer_[99], 0x10);
  size = static_cast<int32_t>(buffer_.size());
  ASSERT_EQ(brelon_->TakePreview(buffer_.data(), &size), BRELON_OK);
  EXPECT_EQ(size, static_cast<int32_t>(kPreviewSlotBytes));
  EXPECT_EQ(buffer_.back(), 0x20);
  EXPECT_EQ(ctx_->lPreviewIndex, 0);

  size = static_cast<int32_t>(buffer_.size());
  EXPECT_EQ(brelon_->TakePreview(buffer_.data(), &size), BRELON_E_SDK);
  EXPECT_EQ(size, static_cast<int32_t>(buffer_.size())) << "size untouched without a frame";
  EXPECT_EQ(brelon_->TakePreview(buffer_.data(), nullptr), BRELON_E_SDK);
}

TEST(ObjBrelon, PropTextsAreCopiedCutAndEmptiedForNull) {
  auto ctx = BareContext();
  BrelonRef brelon = MakeBrelon(ctx.get());
  std::u16string longText(300, u'x');
  brelon->SetPropTexts(u"K-M3", nullptr, longText.c_str());
  EXPECT_EQ(std::u16string(ctx->szPropText[0]), u"K-M3");
  EXPECT_EQ(std::u16string(ctx->szPropText[1]), u"");
  EXPECT_EQ(std::u16string(ctx->szPropText[2]), std::u16string(kPropTextUnits - 1, u'x'));

  char16_t first[kPropTextUnits];
  char16_t third[kPropTextUnits];
  std::fill(std::begin(first), std::end(first), u'?');
  brelon->GetPropTexts(first, nullptr, third);
  EXPECT_EQ(std::u16string(first), u"K-M3");
  EXPECT_EQ(std::u16string(third).size(), size_t{kPropTextUnits - 1});
}

TEST(ObjBrelon, TheOptionWordIsOneForTheWholeProcess) {
  auto first = BareContext();
  auto second = BareContext();
  BrelonRef one = MakeBrelon(first.get());
  BrelonRef other = MakeBrelon(second.get());
  one->SetHostOptionFlags(kOptionAcceptMode4 | kOptionMediumFormatOnly);
  EXPECT_EQ(HostOptionFlags(), kOptionAcceptMode4 | kOptionMediumFormatOnly);
  other->SetHostOptionFlags(0);
  EXPECT_EQ(HostOptionFlags(), 0u);
}

TEST(ObjBrelon, HostLocksHoldOffOtherThreadsAndOtherIndexesDoNothing) {
  auto ctx = BareContext();
  BrelonRef brelon = MakeBrelon(ctx.get());
  for (int32_t index : {0, 1}) {
    SCOPED_TRACE(index);
    brelon->LockHost(index);
    std::atomic<bool> entered{false};
    plat::Thread* other = test::StartThread([&] {
      plat::LockGuard guard(Locks().host[index]);
      entered = true;
    });
    ASSERT_NE(other, nullptr);
    RealSleep(50);
    EXPECT_FALSE(entered) << "another thread got the lock the host holds";
    brelon->UnlockHost(index);
    EXPECT_EQ(plat::ThreadJoin(other, 10000 * plat::TimeScale()), plat::WaitResult::kSignalled);
    plat::ThreadClose(other);
    EXPECT_TRUE(entered);
  }

  for (int32_t index : {-1, 2, 1000}) {
    brelon->LockHost(index);
    brelon->UnlockHost(index);
  }
  brelon->LockHost(5);  // holds nothing, so another thread still gets both locks at once
  plat::Thread* other = test::StartThread([] {
    plat::LockGuard first(Locks().host[0]);
    plat::LockGuard second(Locks().host[1]);
  });
  EXPECT_EQ(plat::ThreadJoin(other, 10000 * plat::TimeScale()), plat::WaitResult::kSignalled);
  plat::ThreadClose(other);
}

TEST(ObjBrelon, WithoutACameraTheCameraMembersAnswerMinusOne) {
  auto ctx = BareContext();
  ctx->lPriorityMode = 2;
  ctx->lMode3301 = 1;
  BrelonRef brelon = MakeBrelon(ctx.get());
  EXPECT_EQ(brelon->SetPriorityMode(1, 1000), BRELON_E_SDK);
  EXPECT_EQ(brelon->GetPriorityMode(1), 2) << "the cached mode without a camera";
  EXPECT_EQ(brelon->SetMode3301(), BRELON_E_SDK);
  EXPECT_EQ(brelon->ClearMode3301(), BRELON_E_SDK);
  EXPECT_EQ(ctx->lMode3301, 1);
  EXPECT_EQ(brelon->ReleaseShutter(0x104, 0), BRELON_E_SDK);
  EXPECT_EQ(ctx->lRearm3301, 1) << "a release while in mode 0x3301 re-arms it, camera or not";
  brelon->ResetPriorityMode();
  EXPECT_EQ(brelon->GetPriorityMode(0), 1);
}

TEST(ObjBrelon, ANullContextAnswersNeutrallyAndTouchesNothing) {
  BrelonRef brelon = MakeBrelon(nullptr);
  ASSERT_NE(brelon, nullptr);
  EXPECT_EQ(brelon->SetPriorityMode(2, 0), BRELON_E_SDK);
  EXPECT_EQ(brelon->GetPriorityMode(1), 0);
  EXPECT_EQ(brelon->ReleaseShutter(0x104, 0), BRELON_E_SDK);
  int32_t size = 100;
  EXPECT_EQ(brelon->TakePreview(&size, &size), BRELON_E_SDK);
  brelon->SetHostValue(5);
  EXPECT_EQ(brelon->GetHostValue(), 0);
  brelon->SetPropTexts(u"a", u"b", u"c");
  char16_t text[4] = u"zz";
  brelon->GetPropTexts(text, nullptr, nullptr);
  EXPECT_EQ(std::u16string(text), u"zz");
  EXPECT_EQ(brelon->GetImageWaitEvent(), nullptr);
  EXPECT_EQ(brelon->GetAlwaysOne(), 0);
}

// ---- Against the simulated camera ----------------------------------------------------------

// Timed waits run ten times faster than nominal.
constexpr uint32_t kTimeScale = 10;
constexpr int32_t kBusy = ZEPK_ERR_BUSY;

std::string Fault(const char* fn, int count, int error) {
  return std::string(R"({"cmd":"fault","fn":")") + fn + R"(","nth":1,"count":)" +
         std::to_string(count) + R"(,"result":-1,"error":)" + std::to_string(error) + "}";
}

class ObjBrelonOnCamera : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetTimeScale(kTimeScale); }
  void TearDown() override {
    brelon_.reset();
    camera_.reset();
    plat::SetTimeScale(1);
  }
  // Connects, makes the object and holds host lock 0, so that the session thread's watch makes
  // no SDK call while a test reads the trace.
  void Connect(const std::string& camera = "{}") {
    camera_ = std::make_unique<test::ConnectedContext>(R"({"cameras":[)" + camera + "]}");
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
    ctx_ = camera_->Context();
    brelon_ = MakeBrelon(ctx_);
    brelon_->LockHost(0);
    camera_->Sim().ClearTrace();
  }
  void Unlock() { brelon_->UnlockHost(0); }
  std::vector<test::TraceCall> Calls(const char* fn) { return camera_->Sim().Calls(fn); }

  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  BrelonRef brelon_;
};

TEST_F(ObjBrelonOnCamera, SetPriorityModeRetriesABusyCameraUntilItAnswers) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_SetPriorityMode", 3, kBusy)), 0);
  EXPECT_EQ(brelon_->SetPriorityMode(2, 60000), BRELON_OK);
  EXPECT_EQ(ctx_->lPriorityMode, 2);
  const auto calls = Calls("ZEPK_SetPriorityMode");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls.back().ret, 0);
  EXPECT_EQ(test::IntArgs(calls.back()), (std::vector<int64_t>{ctx_->hCamera, 2}));
  EXPECT_EQ(Calls("ZEPK_GetErrorNumber").size(), 3u);
  Unlock();
}

TEST_F(ObjBrelonOnCamera, SetPriorityModeGivesUpOnceTheTimeoutHasPassed) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_SetPriorityMode", -1, kBusy)), 0);
  EXPECT_EQ(brelon_->SetPriorityMode(2, 0), BRELON_E_SDK);
  EXPECT_EQ(Calls("ZEPK_SetPriorityMode").size(), 1u) << "timeout 0: no retry";

  camera_->Sim().ClearTrace();
  constexpr int32_t kTimeoutMs = 200;
  const int64_t start = plat::NowTicks();
  EXPECT_EQ(brelon_->SetPriorityMode(2, kTimeoutMs), BRELON_E_SDK);
  EXPECT_GE((plat::NowTicks() - start) / 10000, kTimeoutMs);
  EXPECT_GT(Calls("ZEPK_SetPriorityMode").size(), 1u);
  EXPECT_EQ(ctx_->lPriorityMode, 1) << "the mode is stored only on success";
  Unlock();
}

TEST_F(ObjBrelonOnCamera, SetPriorityModeStopsAtOnceOnAnyOtherError) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_SetPriorityMode", -1, 0x1003)), 0);
  EXPECT_EQ(brelon_->SetPriorityMode(2, 60000), BRELON_E_SDK);
  EXPECT_EQ(Calls("ZEPK_SetPriorityMode").size(), 1u);
  EXPECT_EQ(ctx_->lPriorityMode, 1);
  Unlock();
}

TEST_F(ObjBrelonOnCamera, HostPriorityReplacesABlockingDriveValueAndCameraPriorityRestoresIt) {
  Connect(R"({"props":{"0x4220":[1,7],"0x3328":[1]}})");
  const int64_t h = ctx_->hCamera;
  ASSERT_EQ(brelon_->SetPriorityMode(2, 0), BRELON_OK);
  EXPECT_EQ(ctx_->lSavedDriveValue, 7);
  auto sets = Calls("ZEPK_SetProp");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(test::IntArgs(sets[0]), (std::vector<int64_t>{h, 0x4219, 2, 1, 2}));
  const auto gets = Calls("ZEPK_GetProp");
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(test::IntArgs(gets[0]), (std::vector<int64_t>{h, 0x4220, 2, 1}));

  camera_->Sim().ClearTrace();
  ASSERT_EQ(brelon_->SetPriorityMode(1, 0), BRELON_OK);
  sets = Calls("ZEPK_SetProp");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(test::IntArgs(sets[0]), (std::vector<int64_t>{h, 0x4219, 2, 1, 7}));
  EXPECT_EQ(ctx_->lPriorityMode, 1);
  Unlock();
}

TEST_F(ObjBrelonOnCamera, OtherDriveValuesAreOnlyRemembered) {
  Connect(R"({"props":{"0x4220":[1,3],"0x3328":[1]}})");
  ASSERT_EQ(brelon_->SetPriorityMode(2, 0), BRELON_OK);
  EXPECT_EQ(ctx_->lSavedDriveValue, 3);
  ASSERT_EQ(brelon_->SetPriorityMode(1, 0), BRELON_OK);
  EXPECT_TRUE(Calls("ZEPK_SetProp").empty());

  // A refused replacement forgets the value, so camera priority restores nothing. (The
  // simulated camera reads back through 0x4220 what 0x4219 set.)
  ASSERT_EQ(ctx_->pSdk->SetProp(ctx_->hCamera, 0x4219, 2, ZepkArg{1}, ZepkArg{6}), ZEPK_OK);
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_SetProp", 1, 0x1003)), 0);
  ASSERT_EQ(brelon_->SetPriorityMode(2, 0), BRELON_OK);
  EXPECT_EQ(ctx_->lSavedDriveValue, 0);
  camera_->Sim().ClearTrace();
  ASSERT_EQ(brelon_->SetPriorityMode(1, 0), BRELON_OK);
  EXPECT_TRUE(Calls("ZEPK_SetProp").empty());
  Unlock();
}

TEST_F(ObjBrelonOnCamera, Mode3301IsSentToTheCameraAndRecordedOnSuccess) {
  Connect();
  const int64_t h = ctx_->hCamera;
  ctx_->lRearm3301 = 1;
  ASSERT_EQ(brelon_->SetMode3301(), BRELON_OK);
  EXPECT_EQ(brelon_->GetMode3301(), 1);
  EXPECT_EQ(brelon_->GetRearm3301(), 0);
  EXPECT_EQ(brelon_->ReleaseShutter(0x200, 0), BRELON_OK);
  EXPECT_EQ(brelon_->GetRearm3301(), 1);

  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_SetProp", 1, 0x1003)), 0);
  EXPECT_EQ(brelon_->ClearMode3301(), BRELON_E_SDK);
  EXPECT_EQ(brelon_->GetMode3301(), 1);
  ASSERT_EQ(brelon_->ClearMode3301(), BRELON_OK);
  EXPECT_EQ(brelon_->GetMode3301(), 0);

  const auto sets = Calls("ZEPK_SetProp");
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(test::IntArgs(sets[0]), (std::vector<int64_t>{h, 0x3301, 0}));
  EXPECT_EQ(test::IntArgs(sets[2]), (std::vector<int64_t>{h, 0x3302, 0}));
  Unlock();
}

TEST_F(ObjBrelonOnCamera, ReleaseShutterTurnsAFailureIntoTheCamerasErrorNumber) {
  Connect();
  EXPECT_EQ(brelon_->ReleaseShutter(0x200, 0), BRELON_OK);
  const auto releases = Calls("ZEPK_Release");
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(test::IntArg(releases[0], 1), 0x200);

  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 1, 0x1234)), 0);
  EXPECT_EQ(brelon_->ReleaseShutter(0x200, 0), 0x1234);
  Unlock();
}

TEST_F(ObjBrelonOnCamera, TakePreviewWaitsWhileImageTransferHoldsTheSdkLock) {
  Connect();
  Unlock();
  std::memset(ctx_->PreviewBuffer[0], 0x5A, 64);
  ctx_->lPreviewSize[0] = 64;
  std::atomic<int32_t> result{1};
  uint8_t frame[64] = {};
  plat::LockEnter(ctx_->pSdk->SdkLock());
  plat::Thread* host = test::StartThread([&] {
    int32_t size = sizeof(frame);
    result = brelon_->TakePreview(frame, &size);
  });
  ASSERT_NE(host, nullptr);
  RealSleep(50);
  EXPECT_EQ(result, 1) << "handed out while the lock was held";
  plat::LockLeave(ctx_->pSdk->SdkLock());
  EXPECT_EQ(plat::ThreadJoin(host, 10000 * plat::TimeScale()), plat::WaitResult::kSignalled);
  plat::ThreadClose(host);
  EXPECT_EQ(result, BRELON_OK);
  EXPECT_EQ(frame[63], 0x5A);
}

}  // namespace
}  // namespace brelon
