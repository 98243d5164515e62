// Bounded text helpers every layer shares: the length, view and copy of a single-byte SDK text
// that need not be terminated within its field, and the length and copy of a UTF-16 text. Each
// copy takes its destination and the destination's capacity first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brelon {

// Length of a single-byte SDK text that need not be terminated within its `maxBytes` field.
inline size_t BoundedLength(const char* text, size_t maxBytes) {
  const void* end = std::memchr(text, '\0', maxBytes);
  return end ? static_cast<size_t>(static_cast<const char*>(end) - text) : maxBytes;
}

// The same text as a view, for exact comparisons.
inline std::string_view BoundedText(const char* text, size_t maxBytes) {
  return std::string_view(text, BoundedLength(text, maxBytes));
}

// Copies a single-byte SDK text of at most `maxBytes` bytes into `out` (`capacity` > 0 bytes),
// cut to fit and always terminated.
inline void CopySdkText(char* out, size_t capacity, const char* text, size_t maxBytes) {
  size_t length = BoundedLength(text, maxBytes);
  if (length >= capacity) length = capacity - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// Units of `text` before its terminator, looking at no more than `limit` units.
inline size_t TextLength(const char16_t* text, size_t limit = SIZE_MAX) {
  size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

// Copies at most `capacity` - 1 units of `src` (null: the empty text) into `out` and terminates
// it; writes nothing when `capacity` is 0.
inline void CopyText(char16_t* out, size_t capacity, const char16_t* src) {
  if (capacity == 0) return;
  size_t n = 0;
  for (; src && src[n] != 0 && n + 1 < capacity; ++n) out[n] = src[n];
  out[n] = 0;
}

}  // namespace brelon
