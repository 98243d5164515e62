// Obj_Brelon: the interface object (CreateIF kind 2), a thin view of one plug-in context whose
// members read and write context fields, make a few direct SDK calls and hand out preview frames.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "brelon/interfaces.h"

namespace brelon {

class Obj_Brelon final : public IBrelon {
 public:
  // Count 1. `context` is borrowed and may be null: the object then has no camera and no
  // fields; SDK members answer -1, getters 0 and setters do nothing.
  explicit Obj_Brelon(PluginContext* context) : context_(context) {}

  int32_t BRELON_THISCALL AddRef() override;
  int32_t BRELON_THISCALL Release() override;
  int32_t BRELON_THISCALL SetPriorityMode(int32_t mode, int32_t timeoutMs) override;
  void BRELON_THISCALL ResetPriorityMode() override;
  int32_t BRELON_THISCALL GetPriorityMode(int32_t refresh) override;
  int32_t BRELON_THISCALL SetMode3301() override;
  int32_t BRELON_THISCALL ClearMode3301() override;
  int32_t BRELON_THISCALL GetMode3301() override;
  int32_t BRELON_THISCALL GetRearm3301() override;
  void BRELON_THISCALL SetMode3301State(int32_t mode, int32_t rearm) override;
  void BRELON_THISCALL SetHostValue(int32_t value) override;
  int32_t BRELON_THISCALL GetHostValue() override;
  int32_t BRELON_THISCALL GetCameraHandle() override;
  void BRELON_THISCALL GetCondition(BrelonCondition* out) override;
  int32_t BRELON_THISCALL TakePreview(void* dst, int32_t* size) override;
  int32_t BRELON_THISCALL ExtractEmbeddedJpeg(const uint8_t* raw, intptr_t ignored, uint8_t* dst,
                                              int32_t* size) override;
  int32_t BRELON_THISCALL MakeOutputFolder(char16_t* path, int32_t kind) override;
  int32_t BRELON_THISCALL ReleaseShutter(int32_t mode, int32_t option) override;
  void BRELON_THISCALL SetPropTexts(const char16_t* first, const char16_t* second,
                                    const char16_t* third) override;
  void BRELON_THISCALL GetPropTexts(char16_t* first, char16_t* second, char16_t* third) override;
  void BRELON_THISCALL SetImageWait(int32_t armed) override;
  int32_t BRELON_THISCALL GetImageWait() override;
  void* BRELON_THISCALL GetImageWaitEvent() override;
  void BRELON_THISCALL SetHostCount(int32_t count) override;
  int32_t BRELON_THISCALL GetAlwaysOne() override;
  int32_t BRELON_THISCALL ReadImageInfoFromFile(const char* path, char* fileName, char* folderName,
                                                int32_t raw) override;
  void BRELON_THISCALL SetHostOptionFlags(uint32_t flags) override;
  int32_t BRELON_THISCALL GetConnectKind() override;
  void BRELON_THISCALL SetHostFlag(uint8_t flag) override;
  uint8_t BRELON_THISCALL GetHostFlag() override;
  void BRELON_THISCALL GetCapacity(int32_t* a, int32_t* b) override;
  void BRELON_THISCALL SetCapacity(int32_t a, int32_t b) override;
  int32_t BRELON_THISCALL GetOpenMode() override;
  void BRELON_THISCALL LockHost(int32_t index) override;
  void BRELON_THISCALL UnlockHost(int32_t index) override;
  void* BRELON_THISCALL Destroy(uint8_t flags) override;

 private:
  ~Obj_Brelon() = default;

  int32_t refCount_ = 1;
  PluginContext* context_;
};

}  // namespace brelon
