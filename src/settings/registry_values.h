// Typed reads and writes of single registry values for the settings store, with the one rule
// every setting shares: a value of the wrong type, or one that does not fit its buffer, counts
// as missing so that the caller restores its default.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace brelon::settings {

// Bytes of the query buffer for a number value.
constexpr uint32_t kDwordBytes = 4;

// True when `name` holds a REG_DWORD of exactly four bytes.
bool QueryDword(plat::RegKey* key, const char16_t* name, uint32_t* value);

// Zeroes `buffer` (`units` UTF-16 units) and queries `name` into it. True when the value is a
// REG_SZ whose text and terminator fit the buffer; the buffer then holds the terminated text.
bool QueryText(plat::RegKey* key, const char16_t* name, char16_t* buffer, size_t units);

// Write failures are ignored by every caller, so these report nothing. A null key is allowed.
void SetDword(plat::RegKey* key, const char16_t* name, uint32_t value);
void SetText(plat::RegKey* key, const char16_t* name, const char16_t* text, size_t length);

// Keeps the registry calls of one settings operation together as a single update (see
// plat::RegistryBatchBegin) for as long as the object lives.
class RegistryBatch {
 public:
  RegistryBatch() { plat::RegistryBatchBegin(); }
  ~RegistryBatch() { plat::RegistryBatchEnd(); }
  RegistryBatch(const RegistryBatch&) = delete;
  RegistryBatch& operator=(const RegistryBatch&) = delete;
};

// Create-or-open that closes the key when the holder goes out of scope.
class ScopedKey {
 public:
  explicit ScopedKey(const char16_t* subkey) : key_(plat::RegistryOpenKey(subkey)) {}
  ~ScopedKey() { Close(); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  plat::RegKey* get() const { return key_; }
  void Close() {
    if (key_) plat::RegistryCloseKey(key_);
    key_ = nullptr;
  }

 private:
  plat::RegKey* key_;
};

}  // namespace brelon::settings
