// Windows backend of the registry calls: the current user's hive through the registry API.
// Handles are HKEYs; status codes are mapped onto the few the platform interface names.
#include <windows.h>

#include "platform/platform.h"

namespace plat {
namespace {

HKEY AsHkey(RegKey* key) {
  return reinterpret_cast<HKEY>(key);
}

const wchar_t* AsWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

RegStatus MapStatus(LSTATUS status) {
  switch (status) {
    case ERROR_SUCCESS:
      return kRegOk;
    case ERROR_FILE_NOT_FOUND:
      return kRegNotFound;
    case ERROR_MORE_DATA:
      return kRegMoreData;
    default:
      return kRegError;
  }
}

}  // namespace

RegKey* RegistryOpenKey(const char16_t* subkey) {
  HKEY key = nullptr;
  wchar_t emptyClass[] = L"";
  const LSTATUS status =
      RegCreateKeyExW(HKEY_CURRENT_USER, AsWide(subkey), 0, emptyClass, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return status == ERROR_SUCCESS ? reinterpret_cast<RegKey*>(key) : nullptr;
}

void RegistryCloseKey(RegKey* key) {
  if (key) RegCloseKey(AsHkey(key));
}

RegStatus RegistryQuery(RegKey* key, const char16_t* name, uint32_t* type, void* data,
                        uint32_t* size) {
  if (!key) return kRegError;
  DWORD valueType = 0;
  DWORD valueSize = size ? *size : 0;
  const LSTATUS status = RegQueryValueExW(AsHkey(key), AsWide(name), nullptr, &valueType,
                                          static_cast<BYTE*>(data), size ? &valueSize : nullptr);
  if (type) *type = valueType;
  if (size) *size = valueSize;
  return MapStatus(status);
}

RegStatus RegistrySet(RegKey* key, const char16_t* name, uint32_t type, const void* data,
                      uint32_t size) {
  if (!key) return kRegError;
  return MapStatus(
      RegSetValueExW(AsHkey(key), AsWide(name), 0, type, static_cast<const BYTE*>(data), size));
}

// The Windows registry already makes each value change atomic and offers nothing wider that
// every supported version has; the settings lock orders the writers of this process.
void RegistryBatchBegin() {}
void RegistryBatchEnd() {}

}  // namespace plat
