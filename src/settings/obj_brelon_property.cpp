// Obj_Brelon_Property: Write stores the settings, applies CardJPEG/CardRAW to the camera under
// host lock 1 and raises event 103; Read fills the record and raises event 104.
#include "settings/obj_brelon_property.h"

#include "capture/media_record.h"

namespace brelon {
namespace {

// The host lock (IBrelon::LockHost index) that lets the host hold off card-recording updates.
constexpr int kMediaRecordHostLock = 1;

}  // namespace

int32_t BRELON_THISCALL Obj_Brelon_Property::AddRef() {
  return ++refCount_;
}

int32_t BRELON_THISCALL Obj_Brelon_Property::Release() {
  const int32_t left = --refCount_;
  if (left <= 0) delete this;
  return left;
}

int32_t BRELON_THISCALL Obj_Brelon_Property::Write(_BRELON_PROPERTY* record) {
  if (!record) return BRELON_E_SDK;
  const int32_t stored = WriteProperty(record);  // takes and leaves the settings lock itself
  int32_t applied = 0;  // without a context there is no camera to hand the choice to
  if (context_) {
    plat::LockGuard hostLock(Locks().host[kMediaRecordHostLock]);
    applied = SetMediaRecord(context_, record->CardJPEG, record->CardRAW);
  }
  // Raised whatever the camera said: the settings are stored either way.
  RaiseEvent(context_, BRELON_EV_SETTINGS_WRITTEN);
  return applied == 0 ? BRELON_E_SDK : stored;
}

int32_t BRELON_THISCALL Obj_Brelon_Property::Read(_BRELON_PROPERTY* record) {
  if (!record) return BRELON_E_SDK;
  const int32_t result = ReadProperty(record);
  RaiseEvent(context_, BRELON_EV_SETTINGS_READ);
  return result;
}

}  // namespace brelon
