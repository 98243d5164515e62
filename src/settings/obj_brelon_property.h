// Obj_Brelon_Property: the property object (CreateIF kind 1). Reads and writes the settings like
// ReadProperty and WriteProperty, hands the card-recording choice to the connected camera at
// once, and tells the host with events 103 and 104.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "brelon/interfaces.h"

namespace brelon {

class Obj_Brelon_Property final : public IBrelon_Property {
 public:
  // Count 1; `context` is borrowed and may be null (no camera, no events).
  explicit Obj_Brelon_Property(PluginContext* context) : context_(context) {}

  int32_t BRELON_THISCALL AddRef() override;
  int32_t BRELON_THISCALL Release() override;
  int32_t BRELON_THISCALL Write(_BRELON_PROPERTY* record) override;
  int32_t BRELON_THISCALL Read(_BRELON_PROPERTY* record) override;

 private:
  ~Obj_Brelon_Property() = default;

  int32_t refCount_ = 1;
  PluginContext* context_;
};

}  // namespace brelon
