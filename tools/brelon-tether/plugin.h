// brelon-tether: the plug-in as a third-party host sees it. Loads the library by file name and
// resolves every export by its exported (plain or decorated) name; nothing of the plug-in's
// internals is linked. Also reaches the simulator's control entry when the simulator is loaded.
#pragma once

#include <string>

#include "brelon/brelon.h"
#include "brelon/interfaces.h"

namespace tether {

using InitFn = int32_t(BRELON_CDECL*)(void**, HostEventCallback, void*);
using CtxFn = int32_t(BRELON_CDECL*)(void**);
using IsConnectFn = int32_t(BRELON_CDECL*)(void**, uint8_t*);
using DeviceInfoFn = int32_t(BRELON_CDECL*)(void**, DeviceInformation*);
using CreateIFFn = int32_t(BRELON_CDECL*)(void*, int32_t, void**);
using ConditionFn = int32_t(BRELON_CDECL*)(void**, BrelonCondition*);
using ReadImageFn = int32_t(BRELON_CDECL*)(void**, uint8_t*, uint32_t*, uint8_t*, int32_t*,
                                           char16_t*, char16_t*, char16_t*);
using PropertyFn = int (*)(_BRELON_PROPERTY*);
using SimControlFn = int32_t(BRELON_CDECL*)(const char*);

// Kind numbers CreateIF accepts.
constexpr int32_t kInterfaceObject = 2;

struct Plugin {
  void* library = nullptr;
  InitFn Init = nullptr;
  CtxFn Exit = nullptr;
  IsConnectFn IsCameraConnect = nullptr;
  DeviceInfoFn GetDeviceInfo = nullptr;
  CtxFn Shoot = nullptr;
  ConditionFn GetCameraCondition = nullptr;
  ReadImageFn ReadImage = nullptr;
  CreateIFFn CreateIF = nullptr;
  PropertyFn ReadProperty = nullptr;
  PropertyFn WriteProperty = nullptr;

  // Loads the plug-in from `directory`; on failure fills `error`.
  bool Load(const std::string& directory, std::string* error);
};

// Directory of the running executable, with a trailing separator.
std::string ExecutableDirectory();

// ZEPASIM_Control of the simulator the plug-in loaded (or would load), or null.
SimControlFn SimControl(const std::string& simPath);

}  // namespace tether
