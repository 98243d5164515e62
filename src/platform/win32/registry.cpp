// Windows backend of the registry calls: the current user's hive through the registry API.
// Handles are HKEYs; status codes are mapped onto the few the platform interface names, and
// the system's text for a failure is kept for the caller.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace {

HKEY AsHkey(RegKey* key) {
  return reinterpret_cast<HKEY>(key);
}

const wchar_t* AsWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

thread_local std::string t_lastError;

// Keeps the system's message for a failure of `call` (without its line end).
void NoteFailure(const char* call, LSTATUS status) {
  char text[512] = "";
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
  if (length == 0) std::snprintf(text, sizeof text, "error %ld", static_cast<long>(status));
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  t_lastError = std::string(call) + ": " + message;
}

// `call` names the API function for the failure text.
RegStatus MapStatus(const char* call, LSTATUS status) {
  switch (status) {
    case ERROR_SUCCESS:
      return kRegOk;
    case ERROR_FILE_NOT_FOUND:
      return kRegNotFound;
    case ERROR_MORE_DATA:
      return kRegMoreData;
    default:
      NoteFailure(call, status);
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
  if (status == ERROR_SUCCESS) return reinterpret_cast<RegKey*>(key);
  NoteFailure("RegCreateKeyExW", status);
  return nullptr;
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
  return MapStatus("RegQueryValueExW", status);
}

RegStatus RegistrySet(RegKey* key, const char16_t* name, uint32_t type, const void* data,
                      uint32_t size) {
  if (!key) return kRegError;
  return MapStatus("RegSetValueExW", RegSetValueExW(AsHkey(key), AsWide(name), 0, type,
                                                    static_cast<const BYTE*>(data), size));
}

// The Windows registry already makes each value change atomic and offers nothing wider that
// every supported version has; the settings lock orders the writers of this process.
void RegistryBatchBegin() {}
void RegistryBatchEnd() {}

const char* RegistryLastError() {
  return t_lastError.c_str();
}

}  // namespace plat
