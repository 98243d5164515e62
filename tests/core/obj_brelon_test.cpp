// CreateIF and the interface object against the simulated camera: busy retries, drive value,
// mode 0x3301 and host locks, and its answers without camera or context.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/context.h"
#include "brelon/interfaces.h"
#include "platform/run_thread.h"
#include "sdk/loader.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

// The Windows headers behind the registry helpers define SetProp as a macro.
#undef SetProp

namespace brelon {
namespace {

using Lists = std::vector<std::vector<int64_t>>;
IBrelon* Create(void* ctx) {
  void* object = nullptr;
  EXPECT_EQ(CreateIF(ctx, BRELON_IF_BRELON, &object), BRELON_OK);
  return static_cast<IBrelon*>(object);
}

// A connected context with an interface object holding host lock 0, which keeps the session
// thread's watch out of the trace.
class HostStyle : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetTimeScale(10);
    profile_ = test::UseFreshProfile("host-style");
  }
  void Connect(const std::string& camera = "{}") {
    camera_ = std::make_unique<test::ConnectedContext>(R"({"cameras":[)" + camera + "]}");
    ASSERT_TRUE(camera_->Connected());
    ctx_ = camera_->Context();
    o_ = Create(ctx_);
    o_->LockHost(0);
    camera_->Sim().ClearTrace();
  }
  void TearDown() override {
    if (o_) o_->UnlockHost(0);
    EXPECT_EQ(o_ ? o_->Release() : 0, 0);
    camera_.reset();
    plat::SetTimeScale(1);
  }
  Lists Calls(const char* fn) {
    Lists lists;
    for (const test::TraceCall& call : camera_->Sim().Calls(fn))
      lists.push_back(test::IntArgs(call));
    return lists;
  }
  void Fail(const char* fn, int count, int error) {
    ASSERT_EQ(camera_->Control(std::string(R"({"cmd":"fault","fn":")") + fn + R"(","count":)" +
                               std::to_string(count) + R"(,"result":-1,"error":)" +
                               std::to_string(error) + "}"),
              0);
  }

  test::Profile profile_;
  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  IBrelon* o_ = nullptr;
};

TEST_F(HostStyle, SetPriorityModeRetriesOnlyABusyCameraAndOnlyUntilTheTimeout) {
  Connect();
  const struct {
    int count, error, timeoutMs, result;
    size_t calls;  // 0: more than one
  } kCases[] = {{3, ZEPK_ERR_BUSY, 60000, BRELON_OK, 4},
                {-1, ZEPK_ERR_BUSY, 0, BRELON_E_SDK, 1},
                {-1, ZEPK_ERR_BUSY, 200, BRELON_E_SDK, 0},
                {-1, 0x1003, 60000, BRELON_E_SDK, 1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.count << " x " << c.error << " within " << c.timeoutMs);
    ctx_->lPriorityMode = 1;
    Fail("ZEPK_SetPriorityMode", c.count, c.error);
    camera_->Sim().ClearTrace();
    const int64_t start = plat::NowTicks();
    EXPECT_EQ(o_->SetPriorityMode(2, c.timeoutMs), c.result);
    const Lists calls = Calls("ZEPK_SetPriorityMode");
    EXPECT_EQ(ctx_->lPriorityMode, c.result == BRELON_OK ? 2 : 1) << "stored only on success";
    EXPECT_EQ(calls.back(), (std::vector<int64_t>{ctx_->hCamera, 2}));
    EXPECT_TRUE(c.calls ? calls.size() == c.calls
                        : calls.size() > 1 && (plat::NowTicks() - start) / 10000 >= c.timeoutMs)
        << calls.size() << " calls";
    ASSERT_EQ(camera_->Control(R"({"cmd":"clear_faults"})"), 0);
  }
}

// Host priority replaces a blocking drive value (7, 6) by 2 and camera priority restores it, not
// other values (3) or refused replacements. Mode 0x3301 is recorded only when the camera takes it.
TEST_F(HostStyle, HostPriorityReplacesABlockingDriveValueAndMode3301FollowsTheCamera) {
  Connect(R"({"props":{"0x4220":[1,7],"0x3328":[1]}})");
  const int64_t h = ctx_->hCamera;
  for (const auto& [drive, refused, saved] :
       {std::tuple{7, false, 7}, {3, false, 3}, {6, true, 0}}) {
    SCOPED_TRACE(testing::Message() << drive << (refused ? " refused" : ""));
    // The simulator reads 0x4219's value back as 0x4220.
    ASSERT_EQ(ctx_->pSdk->SetProp(h, 0x4219, 2, ZepkArg{1}, ZepkArg{drive}), ZEPK_OK);
    if (refused) Fail("ZEPK_SetProp", 1, 0x1003);
    camera_->Sim().ClearTrace();
    ASSERT_EQ(o_->SetPriorityMode(2, 0), BRELON_OK);
    EXPECT_EQ(ctx_->lSavedDriveValue, saved);
    EXPECT_EQ(Calls("ZEPK_SetProp"), (drive == 3 ? Lists{} : Lists{{h, 0x4219, 2, 1, 2}}));
    camera_->Sim().ClearTrace();
    ASSERT_EQ(o_->SetPriorityMode(1, 0), BRELON_OK);
    EXPECT_EQ(Calls("ZEPK_SetProp"), (saved == 7 ? Lists{{h, 0x4219, 2, 1, 7}} : Lists{}));
  }
  ctx_->lPriorityMode = 9;  // a stale copy: only a refresh reads the camera's
  EXPECT_EQ(o_->GetPriorityMode(0) * 10 + o_->GetPriorityMode(1), 91);
  camera_->Sim().ClearTrace();
  ctx_->lRearm3301 = 1;
  ASSERT_EQ(o_->SetMode3301(), BRELON_OK);
  EXPECT_EQ(o_->GetMode3301() * 10 + o_->GetRearm3301(), 10);
  EXPECT_EQ(o_->ReleaseShutter(0x200, 0), BRELON_OK);
  EXPECT_EQ(o_->GetRearm3301(), 1) << "a release in mode 0x3301 re-arms it";
  Fail("ZEPK_SetProp", 1, 0x1003);
  EXPECT_EQ(o_->ClearMode3301() * 10 + o_->GetMode3301(), BRELON_E_SDK * 10 + 1);
  EXPECT_EQ(o_->ClearMode3301() * 10 + o_->GetMode3301(), BRELON_OK * 10 + 0);
  EXPECT_EQ(Calls("ZEPK_SetProp"), (Lists{{h, 0x3301, 0}, {h, 0x3302, 0}, {h, 0x3302, 0}}));
}

// Unknown kinds leave no object; two objects share their context and its host locks. Without a
// camera the members that need one fail and change nothing; without a context all answer 0 or fail.
TEST(CreateIF, ObjectsShareContextAndLocksAndWithoutCameraOrContextFailAndTouchNothing) {
  auto ctx = std::make_unique<PluginContext>();  // too big for a stack
  for (int32_t kind : {0, 4, -1, 1000}) {
    void* object = ctx.get();  // a leftover value must be cleared
    EXPECT_EQ(CreateIF(ctx.get(), kind, &object), BRELON_OK);
    EXPECT_EQ(object, nullptr) << kind;
  }
  EXPECT_EQ(CreateIF(ctx.get(), BRELON_IF_BRELON, nullptr), BRELON_OK) << "nowhere to put it";
  IBrelon *o = Create(ctx.get()), *other = Create(ctx.get());
  ASSERT_NE(o, other);
  o->SetHostValue(42);
  EXPECT_EQ(other->GetHostValue(), 42);
  EXPECT_EQ(other->Release(), 0);
  // Host locks 0 and 1 hold off other threads; other indexes hold nothing.
  for (int32_t index : {-1, 2, 5, 1000}) o->LockHost(index);
  for (int32_t index : {-1, 2, 1000}) o->UnlockHost(index);
  for (int32_t index : {0, 1}) {
    o->LockHost(index);
    std::atomic<bool> done{false};
    plat::Thread* thread = test::StartThread([&] {
      plat::LockGuard first(Locks().host[0]);
      plat::LockGuard second(Locks().host[1]);
      done = true;
    });
    test::RealSleepMs(50);
    EXPECT_FALSE(done) << index << " got through while held";
    o->UnlockHost(index);
    EXPECT_EQ(plat::ThreadJoin(thread, test::kRealWaitMs * plat::TimeScale()),
              plat::WaitResult::kSignalled);
    plat::ThreadClose(thread);
  }
  ctx->lPriorityMode = 2;
  ctx->lMode3301 = 1;
  EXPECT_EQ(o->SetPriorityMode(1, 1000), BRELON_E_SDK);
  EXPECT_EQ(o->GetPriorityMode(1), 2);
  EXPECT_EQ(o->SetMode3301() + o->ClearMode3301(), 2 * BRELON_E_SDK);
  EXPECT_EQ(ctx->lMode3301, 1);
  EXPECT_EQ(o->ReleaseShutter(0x104, 0), BRELON_E_SDK);
  EXPECT_EQ(ctx->lRearm3301, 1) << "a release in mode 0x3301 re-arms it, camera or not";
  char16_t text[4] = u"zz", second[4] = {}, third[4] = {};
  o->SetPropTexts(u"a", u"b", u"c");
  o->GetPropTexts(text, second, third);
  EXPECT_EQ(std::u16string(text) + second + third, u"abc");
  EXPECT_EQ(o->Release(), 0);

  o = Create(nullptr);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->SetPriorityMode(2, 0) + o->ReleaseShutter(0x104, 0), 2 * BRELON_E_SDK);
  int32_t size = 100;
  EXPECT_EQ(o->TakePreview(&size, &size), BRELON_E_SDK);
  o->SetHostValue(5);
  o->SetPropTexts(u"x", u"y", u"z");
  o->GetPropTexts(text, nullptr, nullptr);
  EXPECT_EQ(std::u16string(text), u"a") << "without a context nothing is stored or copied out";
  EXPECT_EQ((std::vector<int64_t>{o->GetPriorityMode(1), o->GetMode3301(), o->GetRearm3301(),
                                  o->GetHostValue(), o->GetCameraHandle(), o->GetImageWait(),
                                  o->GetAlwaysOne(), o->GetConnectKind(), o->GetHostFlag(),
                                  o->GetOpenMode(), o->MakeOutputFolder(nullptr, 0)}),
            std::vector<int64_t>(11, 0));
  EXPECT_EQ(o->GetImageWaitEvent(), nullptr);
  EXPECT_EQ(o->Release(), 0);
}

}  // namespace
}  // namespace brelon
