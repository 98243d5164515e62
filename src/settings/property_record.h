// Byte-level access to the host's settings record. The record is packed and several fields
// stand at odd offsets, so every access goes through memcpy at a field offset instead of
// through a (possibly misaligned) member reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "brelon/brelon.h"

namespace brelon::record {

inline uint8_t* Bytes(_BRELON_PROPERTY* property) {
  return reinterpret_cast<uint8_t*>(property);
}
inline const uint8_t* Bytes(const _BRELON_PROPERTY* property) {
  return reinterpret_cast<const uint8_t*>(property);
}

inline uint32_t GetInt(const _BRELON_PROPERTY* property, size_t offset) {
  uint32_t value;
  std::memcpy(&value, Bytes(property) + offset, sizeof value);
  return value;
}
inline void PutInt(_BRELON_PROPERTY* property, size_t offset, uint32_t value) {
  std::memcpy(Bytes(property) + offset, &value, sizeof value);
}

// Copies the text at `offset` (an area of `areaUnits` units) into `out`, which holds at least
// areaUnits + 1 units, and terminates it. An area without terminator yields all its units.
inline size_t GetText(const _BRELON_PROPERTY* property, size_t offset, size_t areaUnits,
                      char16_t* out) {
  size_t length = 0;
  while (length < areaUnits) {
    std::memcpy(&out[length], Bytes(property) + offset + length * sizeof(char16_t),
                sizeof(char16_t));
    if (out[length] == 0) break;
    ++length;
  }
  out[length] = 0;
  return length;
}

// Writes `length` units of `text` and a terminator at `offset`; the rest of the area is left
// as the caller had it. The caller guarantees that length + 1 units fit the area.
inline void PutText(_BRELON_PROPERTY* property, size_t offset, const char16_t* text,
                    size_t length) {
  const char16_t terminator = 0;
  std::memcpy(Bytes(property) + offset, text, length * sizeof(char16_t));
  std::memcpy(Bytes(property) + offset + length * sizeof(char16_t), &terminator, sizeof terminator);
}

constexpr size_t kStorageSavePathUnits = sizeof(_BRELON_PROPERTY::StorageSavePath) / 2;
constexpr size_t kCameraIPAddressUnits = sizeof(_BRELON_PROPERTY::CameraIPAddress) / 2;

constexpr size_t ShortcutOffset(size_t slot) {
  return offsetof(_BRELON_PROPERTY, Shortcut) + slot * BRELON_SHORTCUT_UNITS * sizeof(char16_t);
}
constexpr size_t ShortcutDefaultOffset(size_t slot) {
  return offsetof(_BRELON_PROPERTY, ShortcutDefault) +
         slot * BRELON_SHORTCUT_UNITS * sizeof(char16_t);
}

}  // namespace brelon::record
