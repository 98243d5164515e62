// CreateIF, the exported factory of the three interface objects: kind 1 the property object,
// 2 the interface object, 3 the guarded SDK interface. It keeps no record of what it made.
#include <new>

#include "brelon/interfaces.h"
#include "core/obj_brelon.h"
#include "sdk/obj_brelon_zepkapi.h"
#include "settings/obj_brelon_property.h"

using brelon::PluginContext;

extern "C" {

// Any host thread. `context` is the context itself (not the host's variable), stored unchecked
// in the new object; null is accepted. `object` (out, may be null) receives the new object with
// one reference, which the caller owns and ends with Release, or null. Returns 0, also for a
// kind that is not offered (object null), or BRELON_E_NO_MEMORY when the object could not be
// allocated (object null). Nothing is thrown.
BRELON_EXPORT int32_t BRELON_CDECL CreateIF(void* context, int32_t kind, void** object) {
  if (!object) return BRELON_OK;  // nowhere to put an object, so none is made
  *object = nullptr;
  auto* ctx = static_cast<PluginContext*>(context);
  void* made = nullptr;
  switch (kind) {
    case BRELON_IF_PROPERTY:
      made = static_cast<IBrelon_Property*>(new (std::nothrow) brelon::Obj_Brelon_Property(ctx));
      break;
    case BRELON_IF_BRELON:
      made = static_cast<IBrelon*>(new (std::nothrow) brelon::Obj_Brelon(ctx));
      break;
    case BRELON_IF_ZEPKAPI:
      made = static_cast<IBrelon_ZEPKAPI*>(new (std::nothrow) brelon::Obj_Brelon_ZEPKAPI(ctx));
      break;
    default:
      return BRELON_OK;
  }
  if (!made) return BRELON_E_NO_MEMORY;
  *object = made;
  return BRELON_OK;
}

}  // extern "C"
