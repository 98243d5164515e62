// Obj_Brelon_ZEPKAPI: the host's guarded access to the camera SDK (CreateIF kind 3). Every
// member forwards to the SDK entry of the same name with the open camera's handle, refuses
// while no camera is connected, and turns an exception out of the SDK into a logged -1.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "brelon/interfaces.h"

namespace brelon {

class Obj_Brelon_ZEPKAPI final : public IBrelon_ZEPKAPI {
 public:
  // Count 1; `context` (borrowed, may be null) is read afresh by every call: a camera that
  // reconnects under a new handle is used at once. A null context behaves as not connected.
  explicit Obj_Brelon_ZEPKAPI(PluginContext* context) : context_(context) {}

  int32_t BRELON_THISCALL AddRef() override;
  int32_t BRELON_THISCALL Release() override;

#define BRELON_ZEPKAPI_DECLARE_FIXED(name, n) \
  int32_t BRELON_THISCALL BRN_##name(BRELON_WORD_PARAMS_##n) override;
#define BRELON_ZEPKAPI_DECLARE_PROP(name) \
  int32_t BRN_##name(int32_t code, int32_t count, ...) override;
  BRELON_ZEPKAPI_METHODS(BRELON_ZEPKAPI_DECLARE_FIXED, BRELON_ZEPKAPI_DECLARE_PROP)
#undef BRELON_ZEPKAPI_DECLARE_FIXED
#undef BRELON_ZEPKAPI_DECLARE_PROP

  // Calls the property entry `entry` (null when the library lacks it: logged under `entryName`,
  // -1) as entry(camera, code, words[0], ..., words[wordCount - 1]), words[0] being the value
  // count. 1 to BRELON_PROP_MAX_VALUES + 1 words; any other count gives -1 without a call. An
  // exception out of the SDK is logged and gives -1. `words` is borrowed. Any thread.
  static int32_t callPropFunc(ZEPK_SetPropFn entry, const char* entryName, int32_t camera,
                              int32_t code, int32_t wordCount, const ZepkArg* words);

 private:
  ~Obj_Brelon_ZEPKAPI() = default;

  int32_t refCount_ = 1;
  PluginContext* context_;
};

}  // namespace brelon
