// Obj_Brelon_ZEPKAPI: the guarded SDK members, generated from the one method table of
// brelon/interfaces.h, the three variadic property members and callPropFunc, which spreads a
// word array over the SDK's variadic property entries.
#include "sdk/obj_brelon_zepkapi.h"

#include <array>
#include <cstdarg>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "base/log.h"
#include "platform/platform.h"
#include "sdk/camera_codes.h"
#include "sdk/loader.h"

namespace brelon {
namespace {

// ---- Fixed members ---------------------------------------------------------------------------

// A host word as the SDK parameter it stands for: an address or a number.
template <typename T>
T FromWord(ZepkArg word) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(word);
  } else {
    return static_cast<T>(word);
  }
}

template <typename Fn, size_t N>
struct FixedCall {
  Fn entry;
  int32_t camera;
  std::array<ZepkArg, N> words;
};

template <typename... Params, size_t... I>
int32_t Invoke(int32_t (*entry)(int32_t, Params...), int32_t camera, const ZepkArg* words,
               std::index_sequence<I...>) {
  // The method table's word count must match the SDK's parameter list after the handle.
  static_assert(sizeof...(Params) == sizeof...(I), "word count differs from the SDK entry");
  return entry(camera, FromWord<Params>(words[I])...);
}

template <typename Fn, size_t N>
int32_t RunFixed(void* raw) {
  auto* call = static_cast<FixedCall<Fn, N>*>(raw);
  return Invoke(call->entry, call->camera, call->words.data(), std::make_index_sequence<N>{});
}

template <size_t N, typename Fn>
int32_t Forward(const PluginContext* ctx, Fn CTavelSDK::*entry, const char* method,
                const char* failure, const std::array<ZepkArg, N>& words) {
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(ctx, &camera);
  if (!sdk) return ZEPK_FAILED;
  FixedCall<Fn, N> call{sdk->*entry, camera, words};
  if (!call.entry) return ZEPK_FAILED;  // a loaded library has every fixed entry
  int32_t result = ZEPK_FAILED;
  if (!plat::CallGuarded(&RunFixed<Fn, N>, &call, &result)) {
    WriteLog(kWrapperSource, method, __LINE__, "%s", failure);
    return ZEPK_FAILED;
  }
  return result;
}

// ---- Property members ------------------------------------------------------------------------

struct PropCall {
  ZEPK_SetPropFn entry;
  int32_t camera;
  int32_t code;
  int32_t wordCount;
  const ZepkArg* words;
};

template <size_t... I>
int32_t CallWithValues(const PropCall& call, std::index_sequence<I...>) {
  return call.entry(call.camera, call.code, static_cast<int32_t>(call.words[0]),
                    call.words[I + 1]...);
}

template <size_t Values>
int32_t CallWith(const PropCall& call) {
  return CallWithValues(call, std::make_index_sequence<Values>{});
}

// One caller per value count 0..BRELON_PROP_MAX_VALUES: a variadic call needs its argument
// count fixed at compile time.
using PropCaller = int32_t (*)(const PropCall&);
template <size_t... Values>
constexpr std::array<PropCaller, sizeof...(Values)> MakePropCallers(
    std::index_sequence<Values...>) {
  return {&CallWith<Values>...};
}
constexpr auto kPropCallers =
    MakePropCallers(std::make_index_sequence<BRELON_PROP_MAX_VALUES + 1>{});

int32_t RunPropCall(void* raw) {
  const auto* call = static_cast<const PropCall*>(raw);
  return kPropCallers[call->wordCount - 1](*call);
}

// The shared body of the three property members. The words live on the stack, sized for the
// largest call the SDK is ever given, so nothing here can fail but the SDK call itself.
int32_t PropMethod(PluginContext* ctx, ZEPK_SetPropFn CTavelSDK::*entry, const char* entryName,
                   int32_t code, int32_t count, va_list values) {
  // Past the limit the call is refused anyway; reading the values could run off the caller's
  // arguments, so none is read.
  if (count < 0 || count > BRELON_PROP_MAX_VALUES) return ZEPK_FAILED;
  ZepkArg words[BRELON_PROP_MAX_VALUES + 1];
  words[0] = count;
  for (int32_t i = 1; i <= count; ++i) words[i] = va_arg(values, ZepkArg);
  int32_t camera = 0;
  CTavelSDK* sdk = ConnectedSdk(ctx, &camera);
  if (!sdk) return ZEPK_FAILED;
  const int32_t result =
      Obj_Brelon_ZEPKAPI::callPropFunc(sdk->*entry, entryName, camera, code, count + 1, words);
  // The host has re-sent the mode after a release itself: image transfer need not.
  if (entry == &CTavelSDK::m_pfnSetProp && result == ZEPK_OK && code == kPropEnterMode3301) {
    ctx->lRearm3301 = 0;
  }
  return result;
}

}  // namespace

int32_t BRELON_THISCALL Obj_Brelon_ZEPKAPI::AddRef() {
  return ++refCount_;
}

int32_t BRELON_THISCALL Obj_Brelon_ZEPKAPI::Release() {
  const int32_t left = --refCount_;
  if (left <= 0) delete this;
  return left;
}

#define BRELON_ZEPKAPI_DEFINE_FIXED(name, n)                                                  \
  int32_t BRELON_THISCALL Obj_Brelon_ZEPKAPI::BRN_##name(BRELON_WORD_PARAMS_##n) {            \
    return Forward<n>(context_, &CTavelSDK::m_pfn##name, "Obj_Brelon_ZEPKAPI::BRN_" #name,    \
                      "Obj_Brelon_ZEPKAPI::BRN_" #name " exception", {BRELON_WORD_ARGS_##n}); \
  }
// A variadic member cannot hand its `...` on, so each opens its own list for PropMethod.
#define BRELON_ZEPKAPI_DEFINE_PROP(name)                                                   \
  int32_t Obj_Brelon_ZEPKAPI::BRN_##name(int32_t code, int32_t count, ...) {               \
    va_list values;                                                                        \
    va_start(values, count);                                                               \
    const int32_t result =                                                                 \
        PropMethod(context_, &CTavelSDK::m_pfn##name, "ZEPK_" #name, code, count, values); \
    va_end(values);                                                                        \
    return result;                                                                         \
  }
BRELON_ZEPKAPI_METHODS(BRELON_ZEPKAPI_DEFINE_FIXED, BRELON_ZEPKAPI_DEFINE_PROP)
#undef BRELON_ZEPKAPI_DEFINE_FIXED
#undef BRELON_ZEPKAPI_DEFINE_PROP

int32_t Obj_Brelon_ZEPKAPI::callPropFunc(ZEPK_SetPropFn entry, const char* entryName,
                                         int32_t camera, int32_t code, int32_t wordCount,
                                         const ZepkArg* words) {
  if (wordCount < 1 || wordCount > BRELON_PROP_MAX_VALUES + 1) return ZEPK_FAILED;
  if (!entry) return CTavelSDK::MissingProp(entryName);
  PropCall call{entry, camera, code, wordCount, words};
  int32_t result = ZEPK_FAILED;
  if (!plat::CallGuarded(&RunPropCall, &call, &result)) {
    WriteLog(kWrapperSource, "callPropFunc", __LINE__,
             "Obj_Brelon_ZEPKAPI->callPropFunc exception");
    return ZEPK_FAILED;
  }
  return result;
}

}  // namespace brelon
