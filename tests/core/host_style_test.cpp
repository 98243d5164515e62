// The three interface objects as a host built with another compiler uses them: through the raw
// vtable, one function pointer per slot cast to the slot's contract signature, never through the
// C++ classes. Every slot of every interface is called against the simulated camera; the plain-C
// vtable view is checked against the same slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brelon/interfaces.h"
#include "core/context.h"
#include "platform/platform.h"
#include "support/connected_context.h"
#include "support/test_env.h"

namespace brelon {
namespace {

// The slot signatures as the contract lists them; `self` is the object pointer.
using Count = int32_t(BRELON_THISCALL*)(void*);
using Void0 = void(BRELON_THISCALL*)(void*);
using Int1 = int32_t(BRELON_THISCALL*)(void*, int32_t);
using Int2 = int32_t(BRELON_THISCALL*)(void*, int32_t, int32_t);
using Void1 = void(BRELON_THISCALL*)(void*, int32_t);
using Void2 = void(BRELON_THISCALL*)(void*, int32_t, int32_t);
using VoidPtr = void(BRELON_THISCALL*)(void*, void*);
using Preview = int32_t(BRELON_THISCALL*)(void*, void*, int32_t*);
using Extract = int32_t(BRELON_THISCALL*)(void*, const uint8_t*, intptr_t, uint8_t*, int32_t*);
using Folder = int32_t(BRELON_THISCALL*)(void*, char16_t*, int32_t);
using SetTexts = void(BRELON_THISCALL*)(void*, const char16_t*, const char16_t*, const char16_t*);
using GetTexts = void(BRELON_THISCALL*)(void*, char16_t*, char16_t*, char16_t*);
using Handle = void*(BRELON_THISCALL*)(void*);
using FileInfo = int32_t(BRELON_THISCALL*)(void*, const char*, char*, char*, int32_t);
using Flags = void(BRELON_THISCALL*)(void*, uint32_t);
using SetByte = void(BRELON_THISCALL*)(void*, uint8_t);
using GetByte = uint8_t(BRELON_THISCALL*)(void*);
using Pair = void(BRELON_THISCALL*)(void*, int32_t*, int32_t*);
using Destroy = void*(BRELON_THISCALL*)(void*, uint8_t);
using Word1 = int32_t(BRELON_THISCALL*)(void*, ZepkArg);
using Word2 = int32_t(BRELON_THISCALL*)(void*, ZepkArg, ZepkArg);
using Word3 = int32_t(BRELON_THISCALL*)(void*, ZepkArg, ZepkArg, ZepkArg);
using Word4 = int32_t(BRELON_THISCALL*)(void*, ZepkArg, ZepkArg, ZepkArg, ZepkArg);
using PropFn = int32_t(BRELON_CDECL*)(void*, int32_t, int32_t, ...);
using Record = int32_t(BRELON_THISCALL*)(void*, _BRELON_PROPERTY*);

void* const* Vtable(void* object) {
  return *static_cast<void* const* const*>(object);
}

template <typename Fn>
Fn Slot(void* object, int slot) {
  return reinterpret_cast<Fn>(Vtable(object)[slot]);
}

void* Create(void* ctx, int32_t kind) {
  void* object = nullptr;
  EXPECT_EQ(CreateIF(ctx, kind, &object), BRELON_OK);
  return object;
}

// Slots 2-54 in order: the entry point each reaches and its word count (0 for the variadic
// property members), as the host contract lists them.
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

// Settings and default folders of this process go to a private folder: the POSIX registry file
// and documents folder follow these variables (under Wine the prefix holds both).
constexpr const char* kProfileVariables[] = {"HOME", "XDG_CONFIG_HOME", "BRELON_REGISTRY_FILE"};

class HostStyle : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string home = test::TempDir("host-style");
    const std::string values[] = {home, home + "/.config", home + "/registry.reg"};
    for (size_t i = 0; i < std::size(kProfileVariables); ++i) {
      const char* old = std::getenv(kProfileVariables[i]);
      saved_[i] = old ? std::make_unique<std::string>(old) : nullptr;
      test::SetEnv(kProfileVariables[i], values[i].c_str());
    }
    camera_ = std::make_unique<test::ConnectedContext>();
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
    ctx_ = camera_->Context();
    brelon_ = Create(ctx_, BRELON_IF_BRELON);
    ASSERT_NE(brelon_, nullptr);
    // Host lock 0 keeps the session thread's watch, and so its SDK calls, out of the trace.
    Slot<Void1>(brelon_, 33)(brelon_, 0);
    camera_->Sim().ClearTrace();
  }
  void TearDown() override {
    if (brelon_) {
      Slot<Void1>(brelon_, 34)(brelon_, 0);
      EXPECT_EQ(Slot<Count>(brelon_, 1)(brelon_), 0);
    }
    camera_.reset();
    for (size_t i = 0; i < std::size(kProfileVariables); ++i) {
      test::SetEnv(kProfileVariables[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }
  }

  std::unique_ptr<std::string> saved_[std::size(kProfileVariables)];
  std::unique_ptr<test::ConnectedContext> camera_;
  PluginContext* ctx_ = nullptr;
  void* brelon_ = nullptr;
};

TEST_F(HostStyle, EverySlotOfTheInterfaceObjectDoesItsJob) {
  void* o = brelon_;
  EXPECT_EQ(Slot<Count>(o, 0)(o), 2);
  EXPECT_EQ(Slot<Count>(o, 1)(o), 1);
  EXPECT_EQ(Slot<Int2>(o, 2)(o, 2, 0), 0);
  EXPECT_EQ(ctx_->lPriorityMode, 2);
  Slot<Void0>(o, 3)(o);
  EXPECT_EQ(ctx_->lPriorityMode, 1);
  EXPECT_EQ(Slot<Int1>(o, 4)(o, 1), 2) << "refreshed from the camera";
  EXPECT_EQ(Slot<Count>(o, 5)(o), 0);
  EXPECT_EQ(Slot<Count>(o, 7)(o), 1);
  EXPECT_EQ(Slot<Count>(o, 6)(o), 0);
  EXPECT_EQ(Slot<Count>(o, 7)(o), 0);
  Slot<Void2>(o, 9)(o, 1, 1);
  EXPECT_EQ(Slot<Count>(o, 7)(o), 1);
  EXPECT_EQ(Slot<Count>(o, 8)(o), 1);
  Slot<Void1>(o, 10)(o, -77);
  EXPECT_EQ(Slot<Count>(o, 11)(o), -77);
  EXPECT_EQ(Slot<Count>(o, 12)(o), ctx_->hCamera);
  EXPECT_NE(ctx_->hCamera, 0);

  BrelonCondition condition;
  std::memset(&condition, 0xEE, sizeof condition);
  Slot<VoidPtr>(o, 13)(o, &condition);
  EXPECT_EQ(std::memcmp(&condition, &ctx_->Condition, sizeof condition), 0);

  ctx_->lPreviewSize[ctx_->lPreviewIndex] = 16;
  std::memset(ctx_->PreviewBuffer[ctx_->lPreviewIndex], 0x3C, 16);
  uint8_t frame[16] = {};
  int32_t size = 8;
  EXPECT_EQ(Slot<Preview>(o, 14)(o, frame, &size), BRELON_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 16);
  EXPECT_EQ(Slot<Preview>(o, 14)(o, frame, &size), BRELON_OK);
  EXPECT_EQ(frame[15], 0x3C);
  EXPECT_EQ(Slot<Preview>(o, 14)(o, frame, &size), BRELON_E_SDK);

  const uint8_t notRaw[256] = {};
  size = 0;
  EXPECT_EQ(Slot<Extract>(o, 15)(o, notRaw, 0, nullptr, &size), 0);
  EXPECT_EQ(Slot<Extract>(o, 15)(o, nullptr, 0, nullptr, &size), BRELON_E_IMAGE_DATA);
  char16_t folder[261] = u"unchanged";
  Slot<Folder>(o, 16)(o, folder, 0);  // whether the folder can be made depends on the machine
  EXPECT_NE(std::u16string(folder), u"unchanged");
  EXPECT_EQ(Slot<Int2>(o, 17)(o, 0x200, 0), 0);
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_Release").size(), 1u);

  Slot<SetTexts>(o, 18)(o, u"one", nullptr, u"three");
  char16_t texts[3][kPropTextUnits] = {};
  Slot<GetTexts>(o, 19)(o, texts[0], texts[1], texts[2]);
  EXPECT_EQ(std::u16string(texts[0]), u"one");
  EXPECT_EQ(std::u16string(texts[1]), u"");
  EXPECT_EQ(std::u16string(texts[2]), u"three");

  plat::EventSet(ctx_->hImageWaitEvent);
  Slot<Void1>(o, 20)(o, 1);
  EXPECT_EQ(Slot<Count>(o, 21)(o), 1);
  EXPECT_EQ(Slot<Handle>(o, 22)(o), static_cast<void*>(ctx_->hImageWaitEvent));
  EXPECT_EQ(plat::EventWait(ctx_->hImageWaitEvent, 0), plat::WaitResult::kTimeout);
  Slot<Void1>(o, 23)(o, 3);
  EXPECT_EQ(ctx_->lHostCount, 3);
  EXPECT_EQ(Slot<Count>(o, 24)(o), 1);
  char name[300] = "x";
  EXPECT_EQ(Slot<FileInfo>(o, 25)(o, "no-such-file.JPG", name, nullptr, 0), 0);
  Slot<Flags>(o, 26)(o, kOptionMediumFormatOnly);
  EXPECT_EQ(HostOptionFlags(), kOptionMediumFormatOnly);
  Slot<Flags>(o, 26)(o, 0);
  // The session thread records the connection kind just after it announces the camera.
  for (int i = 0; i < 5000 && Slot<Count>(o, 27)(o) == 0; ++i) plat::SleepMs(1);
  EXPECT_EQ(Slot<Count>(o, 27)(o), 1) << "a USB connection";
  Slot<SetByte>(o, 28)(o, 0xA5);
  EXPECT_EQ(Slot<GetByte>(o, 29)(o), 0xA5);
  Slot<Void2>(o, 31)(o, 11, -12);
  int32_t a = 0;
  int32_t b = 0;
  Slot<Pair>(o, 30)(o, &a, &b);
  EXPECT_EQ(a, 11);
  EXPECT_EQ(b, -12);
  EXPECT_EQ(Slot<Count>(o, 32)(o), 1);
  Slot<Void1>(o, 33)(o, 1);
  Slot<Void1>(o, 34)(o, 1);

  // Slot 35 without the free flag leaves the memory; a fresh object is freed by it.
  EXPECT_EQ(Slot<Destroy>(o, 35)(o, 0), o);
  void* spare = Create(ctx_, BRELON_IF_BRELON);
  EXPECT_EQ(Slot<Destroy>(spare, 35)(spare, BRELON_DESTROY_FREE), spare);
}

TEST_F(HostStyle, EverySlotOfTheGuardedSdkInterfaceReachesItsEntryPoint) {
  void* o = Create(ctx_, BRELON_IF_ZEPKAPI);
  ASSERT_NE(o, nullptr);
  const int64_t h = ctx_->hCamera;
  // One buffer large enough for every output (the device record, a 512-mode list), passed as
  // every address argument; a value argument gets 1.
  std::vector<uint8_t> scratch(64 * 1024);
  const auto out = reinterpret_cast<ZepkArg>(scratch.data());
  for (int slot = 2; slot < BRELON_IZEPKAPI_SLOTS; ++slot) {
    const std::string entry = std::string("ZEPK_") + kSdkSlotEntries[slot - 2];
    SCOPED_TRACE(entry);
    camera_->Sim().ClearTrace();
    switch (kSdkSlotWords[slot - 2] - '0') {
      case 0:
        Slot<PropFn>(o, slot)(o, 0x3328, 1, out);
        break;
      case 1:
        Slot<Word1>(o, slot)(o, out);
        break;
      case 2:
        Slot<Word2>(o, slot)(o, out, out);
        break;
      case 3:
        Slot<Word3>(o, slot)(o, out, out, out);
        break;
      case 4:
        Slot<Word4>(o, slot)(o, out, out, out, out);
        break;
    }
    const std::vector<test::TraceCall> trace = camera_->Sim().Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].fn, entry);
    EXPECT_EQ(test::IntArg(trace[0], 0), h);
  }

  // Values reach the camera unchanged, and a getter's output lands where the host said.
  EXPECT_EQ(Slot<Word2>(o, 15)(o, 244, 0), 0);
  int32_t code = 0;
  int32_t bulb = -1;
  EXPECT_EQ(
      Slot<Word2>(o, 14)(o, reinterpret_cast<ZepkArg>(&code), reinterpret_cast<ZepkArg>(&bulb)), 0);
  EXPECT_EQ(code, 244);
  EXPECT_EQ(bulb, 0);
  EXPECT_EQ(Slot<PropFn>(o, 40)(o, 0x5001, 2, ZepkArg{7}, ZepkArg{8}), 0);
  int32_t values[2] = {};
  EXPECT_EQ(Slot<PropFn>(o, 39)(o, 0x5001, 2, reinterpret_cast<ZepkArg>(&values[0]),
                                reinterpret_cast<ZepkArg>(&values[1])),
            0);
  EXPECT_EQ(values[0], 7);
  EXPECT_EQ(values[1], 8);

  EXPECT_EQ(Slot<Count>(o, 0)(o), 2);
  EXPECT_EQ(Slot<Count>(o, 1)(o), 1);
  EXPECT_EQ(Slot<Count>(o, 1)(o), 0);
}

TEST_F(HostStyle, EverySlotOfThePropertyObjectStoresReadsAndTellsTheHost) {
  void* o = Create(ctx_, BRELON_IF_PROPERTY);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(Slot<Count>(o, 0)(o), 2);
  EXPECT_EQ(Slot<Count>(o, 1)(o), 1);
  auto record = std::make_unique<_BRELON_PROPERTY>();
  ASSERT_EQ(Slot<Record>(o, 3)(o, record.get()), BRELON_OK);
  record->hgDispMode = 3;
  EXPECT_EQ(Slot<Record>(o, 2)(o, record.get()), BRELON_OK);
  auto back = std::make_unique<_BRELON_PROPERTY>();
  EXPECT_EQ(Slot<Record>(o, 3)(o, back.get()), BRELON_OK);
  EXPECT_EQ(back->hgDispMode, 3);
  const std::vector<int32_t> events = camera_->Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), BRELON_EV_SETTINGS_READ), 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), BRELON_EV_SETTINGS_WRITTEN), 1);
  EXPECT_EQ(Slot<Count>(o, 1)(o), 0);
}

TEST_F(HostStyle, ThePlainCViewNamesTheSameSlots) {
  void* property = Create(ctx_, BRELON_IF_PROPERTY);
  void* sdk = Create(ctx_, BRELON_IF_ZEPKAPI);
  const IBrelonVtbl* b = static_cast<IBrelonC*>(brelon_)->lpVtbl;
  EXPECT_EQ(reinterpret_cast<void*>(b->TakePreview), Vtable(brelon_)[14]);
  EXPECT_EQ(reinterpret_cast<void*>(b->Destroy), Vtable(brelon_)[35]);
  const IBrelon_ZEPKAPIVtbl* z = static_cast<IBrelon_ZEPKAPIC*>(sdk)->lpVtbl;
  EXPECT_EQ(reinterpret_cast<void*>(z->BRN_GetPriorityMode), Vtable(sdk)[2]);
  EXPECT_EQ(reinterpret_cast<void*>(z->BRN_SetProp), Vtable(sdk)[40]);
  EXPECT_EQ(reinterpret_cast<void*>(z->BRN_GetBackupSettings), Vtable(sdk)[54]);
  const IBrelon_PropertyVtbl* p = static_cast<IBrelon_PropertyC*>(property)->lpVtbl;
  EXPECT_EQ(reinterpret_cast<void*>(p->Read), Vtable(property)[3]);

  int32_t aperture = 0;
  EXPECT_EQ(z->BRN_GetAperture(sdk, reinterpret_cast<ZepkArg>(&aperture)), 0);
  EXPECT_EQ(aperture, 280);
  EXPECT_EQ(b->GetCameraHandle(brelon_), ctx_->hCamera);
  EXPECT_EQ(p->Release(property), 0);
  EXPECT_EQ(z->Release(sdk), 0);
}

}  // namespace
}  // namespace brelon
