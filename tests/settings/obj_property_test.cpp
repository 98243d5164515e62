// The property object: Write storing the settings and handing the card-recording choice to the
// connected camera at once under host lock 1 with event 103, Read with event 104, a refused card
// change, and the rules for an object without camera or without context.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/interfaces.h"
#include "platform/platform.h"
#include "platform/run_thread.h"
#include "platform/testing.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

struct Releaser {
  void operator()(IBrelon_OBJ* object) const { object->Release(); }
};
using PropertyRef = std::unique_ptr<IBrelon_Property, Releaser>;

PropertyRef MakeProperty(PluginContext* ctx) {
  void* object = nullptr;
  EXPECT_EQ(CreateIF(ctx, BRELON_IF_PROPERTY, &object), BRELON_OK);
  return PropertyRef(static_cast<IBrelon_Property*>(object));
}

// The camera's media-record value for a card choice.
int32_t MediaRecordFor(uint8_t jpeg, uint8_t raw) {
  return jpeg ? (raw ? 1 : 3) : (raw ? 2 : 4);
}

struct EventLog {
  std::vector<std::pair<int32_t, int32_t>> events;  // (camera, code)
  static int32_t BRELON_CDECL Record(int32_t camera, int32_t code, void* self) {
    static_cast<EventLog*>(self)->events.emplace_back(camera, code);
    return 0;
  }
};

class PropertyObject : public ::testing::Test {
 protected:
  void SetUp() override { profile_ = test::UseFreshProfile("property-object"); }
  std::unique_ptr<_BRELON_PROPERTY> Stored() {
    auto record = std::make_unique<_BRELON_PROPERTY>();
    ReadProperty(record.get());
    return record;
  }
  test::Profile profile_;
};

TEST_F(PropertyObject, WithoutACameraWriteRaises103WithHandleZeroWithoutAContextAnswersMinusOne) {
  auto owned = std::make_unique<PluginContext>();  // over 2 MiB: too big for a stack
  PluginContext& ctx = *owned;
  EventLog log;
  ctx.pfnCallback = &EventLog::Record;
  ctx.pCallbackData = &log;
  PropertyRef property = MakeProperty(&ctx);
  auto record = Stored();
  record->hgDispMode = 2;
  EXPECT_EQ(property->Write(record.get()), BRELON_OK);
  EXPECT_EQ(Stored()->hgDispMode, 2);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0], std::make_pair(0, int32_t{BRELON_EV_SETTINGS_WRITTEN}));

  auto read = std::make_unique<_BRELON_PROPERTY>();
  EXPECT_EQ(property->Read(read.get()), BRELON_OK);
  EXPECT_EQ(int32_t{read->hgDispMode}, 2);
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[1].second, BRELON_EV_SETTINGS_READ);

  EXPECT_EQ(property->Write(nullptr), BRELON_E_SDK);
  EXPECT_EQ(property->Read(nullptr), BRELON_E_SDK);
  EXPECT_EQ(log.events.size(), 2u) << "no event without a record";

  // Without a context at all, Write still stores but answers -1.
  PropertyRef orphan = MakeProperty(nullptr);
  record->hgDispMode = 5;
  EXPECT_EQ(orphan->Write(record.get()), BRELON_E_SDK);
  EXPECT_EQ(Stored()->hgDispMode, 5);
  EXPECT_EQ(orphan->Read(read.get()), BRELON_OK);
  EXPECT_EQ(int32_t{read->hgDispMode}, 5);
}

TEST_F(PropertyObject, ReadOfAnUnavailableKeyAnswersMinus12AndStillRaises104) {
#if defined(_WIN32)
  GTEST_SKIP() << "HKEY_CURRENT_USER cannot be made unwritable from a test";
#else
  auto owned = std::make_unique<PluginContext>();
  EventLog log;
  owned->pfnCallback = &EventLog::Record;
  owned->pCallbackData = &log;
  PropertyRef property = MakeProperty(owned.get());
  // The registry's folder would have to be created below a regular file.
  test::WriteFile(profile_.root + "/blocker", "x");
  test::SetEnv("BRELON_REGISTRY_FILE", (profile_.root + "/blocker/registry.reg").c_str());
  auto read = std::make_unique<_BRELON_PROPERTY>();
  EXPECT_EQ(property->Read(read.get()), BRELON_E_SETTINGS_KEY);
  EXPECT_EQ(read->TransferJPEG, 1) << "the preset is still handed back";
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0], std::make_pair(0, int32_t{BRELON_EV_SETTINGS_READ}));
  test::SetEnv("BRELON_REGISTRY_FILE", profile_.registryFile.c_str());
#endif
}

class PropertyObjectOnCamera : public PropertyObject {
 protected:
  void SetUp() override {
    PropertyObject::SetUp();
    camera_ = std::make_unique<test::ConnectedContext>(
        R"({"cameras":[{"model":"K-M1","media_record":1}]})");
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
    ctx_ = camera_->Context();
    property_ = MakeProperty(ctx_);
    // Host lock 0 keeps the session thread's watch away, so every card change in the trace
    // comes from the property object.
    plat::LockEnter(Locks().host[0]);
    locked_ = true;
    void* object = nullptr;
    ASSERT_EQ(CreateIF(ctx_, BRELON_IF_ZEPKAPI, &object), BRELON_OK);
    int32_t current = 0;
    static_cast<IBrelon_ZEPKAPI*>(object)->BRN_GetMediaRecord(reinterpret_cast<ZepkArg>(&current));
    static_cast<IBrelon_ZEPKAPI*>(object)->Release();
    // A card choice the camera does not have yet.
    record_ = Stored();
    record_->CardJPEG = 1;
    record_->CardRAW = current == MediaRecordFor(1, 0);
    wanted_ = MediaRecordFor(record_->CardJPEG, record_->CardRAW);
    ASSERT_NE(wanted_, current);
    camera_->Sim().ClearTrace();
  }
  void TearDown() override {
    if (locked_) plat::LockLeave(Locks().host[0]);
    property_.reset();
    camera_.reset();
  }
  std::vector<test::TraceCall> MediaRecordSets() {
    return camera_->Sim().Calls("ZEPK_SetMediaRecord");
  }
  size_t EventCount(int32_t code) {
    const std::vector<int32_t> events = camera_->Events();
    return static_cast<size_t>(std::count(events.begin(), events.end(), code));
  }

  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  PropertyRef property_;
  std::unique_ptr<_BRELON_PROPERTY> record_;
  int32_t wanted_ = 0;
  bool locked_ = false;
};

// The settings are stored at once; the card choice reaches the camera, within Write, as soon as
// the host lets go of lock 1.
TEST_F(PropertyObjectOnCamera, WriteHandsTheCardChoiceToTheCameraOnceTheHostReleasesLockOne) {
  plat::LockEnter(Locks().host[1]);  // as the host would through IBrelon::LockHost(1)
  std::atomic<int32_t> result{1};
  plat::Thread* writer = test::StartThread([&] { result = property_->Write(record_.get()); });
  ASSERT_NE(writer, nullptr);
  plat::SleepMs(100 * plat::TimeScale());
  EXPECT_EQ(result, 1) << "Write finished while host lock 1 was held";
  EXPECT_TRUE(MediaRecordSets().empty());
  EXPECT_EQ(Stored()->CardJPEG, record_->CardJPEG) << "the settings are stored before the lock";
  plat::LockLeave(Locks().host[1]);
  EXPECT_EQ(plat::ThreadJoin(writer, 10000 * plat::TimeScale()), plat::WaitResult::kSignalled);
  plat::ThreadClose(writer);
  EXPECT_EQ(result, BRELON_OK);
  const auto sets = MediaRecordSets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(test::IntArg(sets[0], 0), ctx_->hCamera);
  EXPECT_EQ(test::IntArg(sets[0], 1), wanted_);
  EXPECT_EQ(sets[0].ret, 0);
  EXPECT_EQ(EventCount(BRELON_EV_SETTINGS_WRITTEN), 1u);

  auto read = std::make_unique<_BRELON_PROPERTY>();
  EXPECT_EQ(property_->Read(read.get()), BRELON_OK);
  EXPECT_EQ(read->CardRAW, record_->CardRAW);
  EXPECT_EQ(EventCount(BRELON_EV_SETTINGS_READ), 1u);
}

TEST_F(PropertyObjectOnCamera, ARefusedCardChangeAnswersMinusOneButKeepsSettingsAndEvent) {
  ASSERT_EQ(
      camera_->Sim().Control(
          R"({"cmd":"fault","fn":"ZEPK_SetMediaRecord","nth":1,"count":-1,"result":-1,"error":4099})"),
      0);
  record_->hgDispMode = 7;
  EXPECT_EQ(property_->Write(record_.get()), BRELON_E_SDK);
  EXPECT_EQ(Stored()->hgDispMode, 7);
  EXPECT_EQ(EventCount(BRELON_EV_SETTINGS_WRITTEN), 1u);
}

}  // namespace
}  // namespace brelon
