// Obj_Brelon: the 36 members of the interface object. Most read or write one context field;
// the priority mode, the 0x3301 mode and the direct release talk to the camera through the
// loader's entry table, and the preview hand-over shares the SDK lock with image transfer.
#include "core/obj_brelon.h"

#include <cstring>

#include "base/text.h"
#include "sdk/camera_codes.h"
#include "sdk/loader.h"
#include "settings/output_folders.h"
#include "transfer/image_transfer.h"

namespace brelon {
namespace {

// Drive values 6 and 7 keep the camera from releasing for the host, so while the host has
// priority they are replaced by 2.
constexpr int32_t kDriveValueCount = 2;
constexpr ZepkArg kDriveSubIndex = 1;
constexpr int32_t kDriveBlocking6 = 6;
constexpr int32_t kDriveBlocking7 = 7;
constexpr int32_t kDriveForHost = 2;

constexpr int64_t kTicksPerMs = 10000;  // NowTicks counts 100 ns

constexpr int kHostLockCount = 2;

bool IsBlockingDrive(int32_t value) {
  return value == kDriveBlocking6 || value == kDriveBlocking7;
}

plat::Lock* HostLock(int32_t index) {
  return index >= 0 && index < kHostLockCount ? Locks().host[index] : nullptr;
}

}  // namespace

int32_t BRELON_THISCALL Obj_Brelon::AddRef() {
  return ++refCount_;
}

int32_t BRELON_THISCALL Obj_Brelon::Release() {
  const int32_t left = --refCount_;
  if (left <= 0) Destroy(BRELON_DESTROY_FREE);  // through the vtable, as the host's would be
  return left;
}

int32_t BRELON_THISCALL Obj_Brelon::SetPriorityMode(int32_t mode, int32_t timeoutMs) {
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(context_, &camera);
  if (!sdk) return ZEPK_FAILED;
  const int64_t start = plat::NowTicks();
  int32_t result = sdk->m_pfnSetPriorityMode(camera, mode);
  while (result != ZEPK_OK) {
    int32_t apiCode = 0;
    int32_t errorNumber = 0;
    if (sdk->m_pfnGetErrorNumber(camera, &apiCode, &errorNumber) != ZEPK_OK ||
        errorNumber != ZEPK_ERR_BUSY) {
      return result;
    }
    if ((plat::NowTicks() - start) / kTicksPerMs >= timeoutMs) return result;
    plat::YieldThread();
    result = sdk->m_pfnSetPriorityMode(camera, mode);
  }
  context_->lPriorityMode = mode;

  if (mode == kPriorityModeHost) {
    int32_t drive = 0;
    if (sdk->GetProp(camera, kPropDriveGet, kDriveValueCount, kDriveSubIndex,
                     reinterpret_cast<ZepkArg>(&drive)) != ZEPK_OK) {
      return ZEPK_OK;  // the mode is set; the drive value stays as the camera has it
    }
    context_->lSavedDriveValue = drive;
    if (IsBlockingDrive(drive) && sdk->SetProp(camera, kPropDriveSet, kDriveValueCount,
                                               kDriveSubIndex, ZepkArg{kDriveForHost}) != ZEPK_OK) {
      context_->lSavedDriveValue = 0;
    }
  } else if (mode == kPriorityModeCamera && IsBlockingDrive(context_->lSavedDriveValue)) {
    if (sdk->SetProp(camera, kPropDriveSet, kDriveValueCount, kDriveSubIndex,
                     ZepkArg{context_->lSavedDriveValue}) != ZEPK_OK) {
      context_->lSavedDriveValue = 0;
    }
  }
  return ZEPK_OK;
}

void BRELON_THISCALL Obj_Brelon::ResetPriorityMode() {
  if (!context_) return;
  context_->lPriorityMode = kPriorityModeCamera;
  context_->lSavedDriveValue = 0;
}

int32_t BRELON_THISCALL Obj_Brelon::GetPriorityMode(int32_t refresh) {
  if (!context_) return 0;
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(context_, &camera);
  if (refresh != 0 && sdk) {
    int32_t mode = 0;
    if (sdk->m_pfnGetPriorityMode(camera, &mode) == ZEPK_OK) {
      context_->lPriorityMode = mode;
    }
  }
  return context_->lPriorityMode;
}

int32_t BRELON_THISCALL Obj_Brelon::SetMode3301() {
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(context_, &camera);
  if (!sdk) return ZEPK_FAILED;
  const int32_t result = sdk->SetProp(camera, kPropEnterMode3301, 0);
  if (result == ZEPK_OK) {
    context_->lMode3301 = 1;
    context_->lRearm3301 = 0;
  }
  return result;
}

int32_t BRELON_THISCALL Obj_Brelon::ClearMode3301() {
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(context_, &camera);
  if (!sdk) return ZEPK_FAILED;
  const int32_t result = sdk->SetProp(camera, kPropLeaveMode3301, 0);
  if (result == ZEPK_OK) context_->lMode3301 = 0;
  return result;
}

int32_t BRELON_THISCALL Obj_Brelon::GetMode3301() {
  return context_ ? context_->lMode3301 : 0;
}

int32_t BRELON_THISCALL Obj_Brelon::GetRearm3301() {
  return context_ ? context_->lRearm3301 : 0;
}

void BRELON_THISCALL Obj_Brelon::SetMode3301State(int32_t mode, int32_t rearm) {
  if (!context_) return;
  context_->lMode3301 = mode;
  context_->lRearm3301 = rearm;
}

void BRELON_THISCALL Obj_Brelon::SetHostValue(int32_t value) {
  if (context_) context_->lHostValue = value;
}

int32_t BRELON_THISCALL Obj_Brelon::GetHostValue() {
  return context_ ? context_->lHostValue : 0;
}

int32_t BRELON_THISCALL Obj_Brelon::GetCameraHandle() {
  if (!context_) return 0;
  plat::LockGuard connection(Locks().connection);
  return context_->hCamera;
}

void BRELON_THISCALL Obj_Brelon::GetCondition(BrelonCondition* out) {
  // No camera call: the record the last report left. CameraNameLock only keeps the copy from
  // overlapping a report or the session thread writing the record.
  if (!context_ || !out) return;
  plat::LockGuard cameraName(Locks().cameraName);
  std::memcpy(out, &context_->Condition, sizeof(BrelonCondition));
}

int32_t BRELON_THISCALL Obj_Brelon::TakePreview(void* dst, int32_t* size) {
  if (!context_ || !size) return ZEPK_FAILED;
  // Image transfer fills the slots under the SDK lock; a context without SDK has no filler.
  plat::LockGuard sdkLock(context_->pSdk ? context_->pSdk->SdkLock() : nullptr);
  const int32_t slot = context_->lPreviewIndex;
  const int32_t frameSize = context_->lPreviewSize[slot];
  if (frameSize == 0) return ZEPK_FAILED;
  const int32_t capacity = dst ? *size : 0;  // without a buffer the call asks for the size
  *size = frameSize;
  if (frameSize > capacity) return BRELON_E_BUFFER_TOO_SMALL;
  std::memcpy(dst, context_->PreviewBuffer[slot], static_cast<size_t>(frameSize));
  context_->lPreviewSize[slot] = 0;
  context_->lPreviewIndex = 1 - slot;
  return ZEPK_OK;
}

int32_t BRELON_THISCALL Obj_Brelon::ExtractEmbeddedJpeg(const uint8_t* raw, intptr_t ignored,
                                                        uint8_t* dst, int32_t* size) {
  return brelon::ExtractEmbeddedJpeg(raw, ignored, dst, size);
}

int32_t BRELON_THISCALL Obj_Brelon::MakeOutputFolder(char16_t* path, int32_t kind) {
  return path ? MakeDefaultFolder(path, kind) : 0;
}

int32_t BRELON_THISCALL Obj_Brelon::ReleaseShutter(int32_t mode, int32_t option) {
  if (!context_) return ZEPK_FAILED;
  if (context_->lMode3301 == 1) context_->lRearm3301 = 1;
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(context_, &camera);
  if (!sdk) return ZEPK_FAILED;
  ZepkArg scratch = 0;
  const int32_t result =
      sdk->m_pfnRelease(camera, mode, reinterpret_cast<ZepkArg>(&scratch), ZepkArg{option});
  if (result == ZEPK_OK || result == BRELON_RELEASE_TIMEOUT) return result;
  int32_t apiCode = 0;
  int32_t errorNumber = 0;
  if (sdk->m_pfnGetErrorNumber(camera, &apiCode, &errorNumber) == ZEPK_OK) return errorNumber;
  return result;
}

void BRELON_THISCALL Obj_Brelon::SetPropTexts(const char16_t* first, const char16_t* second,
                                              const char16_t* third) {
  if (!context_) return;
  const char16_t* texts[] = {first, second, third};
  for (int i = 0; i < 3; ++i) CopyText(context_->szPropText[i], kPropTextUnits, texts[i]);
}

void BRELON_THISCALL Obj_Brelon::GetPropTexts(char16_t* first, char16_t* second, char16_t* third) {
  if (!context_) return;
  char16_t* outs[] = {first, second, third};
  for (int i = 0; i < 3; ++i) {
    if (outs[i]) CopyText(outs[i], kPropTextUnits, context_->szPropText[i]);
  }
}

void BRELON_THISCALL Obj_Brelon::SetImageWait(int32_t armed) {
  if (!context_) return;
  if (armed == 1 && context_->hImageWaitEvent) plat::EventReset(context_->hImageWaitEvent);
  context_->lImageWait = armed;
}

int32_t BRELON_THISCALL Obj_Brelon::GetImageWait() {
  return context_ ? context_->lImageWait : 0;
}

void* BRELON_THISCALL Obj_Brelon::GetImageWaitEvent() {
  return context_ ? context_->hImageWaitEvent : nullptr;
}

void BRELON_THISCALL Obj_Brelon::SetHostCount(int32_t count) {
  if (context_) context_->lHostCount = count;
}

int32_t BRELON_THISCALL Obj_Brelon::GetAlwaysOne() {
  return context_ ? context_->lAlwaysOne : 0;
}

int32_t BRELON_THISCALL Obj_Brelon::ReadImageInfoFromFile(const char* path, char* fileName,
                                                          char* folderName, int32_t raw) {
  return brelon::ReadImageInfoFromFile(path, fileName, folderName, raw);
}

void BRELON_THISCALL Obj_Brelon::SetHostOptionFlags(uint32_t flags) {
  brelon::SetHostOptionFlags(flags);
}

int32_t BRELON_THISCALL Obj_Brelon::GetConnectKind() {
  if (!context_) return 0;
  plat::LockGuard connection(Locks().connection);
  return context_->lConnectKind;
}

void BRELON_THISCALL Obj_Brelon::SetHostFlag(uint8_t flag) {
  if (context_) context_->bHostFlag = flag;
}

uint8_t BRELON_THISCALL Obj_Brelon::GetHostFlag() {
  return context_ ? context_->bHostFlag : 0;
}

void BRELON_THISCALL Obj_Brelon::GetCapacity(int32_t* a, int32_t* b) {
  if (!context_) return;
  // Image transfer refreshes the pair under the SDK lock, so the two values belong together.
  plat::LockGuard sdkLock(context_->pSdk ? context_->pSdk->SdkLock() : nullptr);
  if (a) *a = context_->lCapacityA;
  if (b) *b = context_->lCapacityB;
}

void BRELON_THISCALL Obj_Brelon::SetCapacity(int32_t a, int32_t b) {
  if (!context_) return;
  plat::LockGuard sdkLock(context_->pSdk ? context_->pSdk->SdkLock() : nullptr);
  context_->lCapacityA = a;
  context_->lCapacityB = b;
}

int32_t BRELON_THISCALL Obj_Brelon::GetOpenMode() {
  if (!context_) return 0;
  plat::LockGuard connection(Locks().connection);
  return context_->lOpenMode;
}

void BRELON_THISCALL Obj_Brelon::LockHost(int32_t index) {
  if (plat::Lock* lock = HostLock(index)) plat::LockEnter(lock);
}

void BRELON_THISCALL Obj_Brelon::UnlockHost(int32_t index) {
  if (plat::Lock* lock = HostLock(index)) plat::LockLeave(lock);
}

void* BRELON_THISCALL Obj_Brelon::Destroy(uint8_t flags) {
  void* self = this;
  this->~Obj_Brelon();
  if (flags & BRELON_DESTROY_FREE) ::operator delete(self);
  return self;
}

}  // namespace brelon
