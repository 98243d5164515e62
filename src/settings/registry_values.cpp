// Typed single-value access for the settings store: type and size checks on the way in,
// Windows-sized REG_SZ and REG_DWORD values on the way out.
#include "settings/registry_values.h"

#include <cstring>

namespace brelon::settings {

bool QueryDword(plat::RegKey* key, const char16_t* name, uint32_t* value) {
  if (!key) return false;
  uint32_t type = 0;
  uint32_t data = 0;
  uint32_t size = kDwordBytes;
  if (plat::RegistryQuery(key, name, &type, &data, &size) != plat::kRegOk) return false;
  if (type != plat::kRegDword || size != kDwordBytes) return false;
  *value = data;
  return true;
}

bool QueryText(plat::RegKey* key, const char16_t* name, char16_t* buffer, size_t units) {
  std::memset(buffer, 0, units * sizeof(char16_t));
  if (!key) return false;
  uint32_t type = 0;
  uint32_t size = static_cast<uint32_t>(units * sizeof(char16_t));
  if (plat::RegistryQuery(key, name, &type, buffer, &size) != plat::kRegOk) return false;
  if (type != plat::kRegSz) {
    std::memset(buffer, 0, units * sizeof(char16_t));
    return false;
  }
  // A text that fills the whole buffer without a terminator did not fit either.
  for (size_t i = 0; i < units; ++i) {
    if (buffer[i] == 0) return true;
  }
  std::memset(buffer, 0, units * sizeof(char16_t));
  return false;
}

void SetDword(plat::RegKey* key, const char16_t* name, uint32_t value) {
  if (!key) return;
  plat::RegistrySet(key, name, plat::kRegDword, &value, kDwordBytes);
}

void SetText(plat::RegKey* key, const char16_t* name, const char16_t* text, size_t length) {
  if (!key) return;
  plat::RegistrySet(key, name, plat::kRegSz, text,
                    static_cast<uint32_t>((length + 1) * sizeof(char16_t)));
}

}  // namespace brelon::settings
