// The ANSI code page of POSIX systems is UTF-8. Malformed input (stray continuation bytes,
// truncated or overlong sequences, encoded surrogates, lone UTF-16 surrogates) becomes U+FFFD,
// one per maximal ill-formed subpart, so that no text is dropped or misread silently.
#include <cstring>

#include "platform/platform.h"

namespace plat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool InRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Decodes one character at src[0..len) (len > 0); returns the bytes consumed.
size_t DecodeUtf8(const unsigned char* src, size_t len, char32_t* out) {
  unsigned char lead = src[0];
  if (lead < 0x80) {
    *out = lead;
    return 1;
  }
  size_t needed = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  char32_t value = 0;
  if (InRange(lead, 0xC2, 0xDF)) {
    needed = 1;
    value = lead & 0x1F;
  } else if (InRange(lead, 0xE0, 0xEF)) {
    needed = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
  } else if (InRange(lead, 0xF0, 0xF4)) {
    needed = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    *out = kReplacement;
    return 1;
  }
  size_t used = 1;
  for (size_t i = 0; i < needed; ++i) {
    if (used >= len || !InRange(src[used], i == 0 ? low : 0x80, i == 0 ? high : 0xBF)) {
      *out = kReplacement;
      return used;
    }
    value = (value << 6) | (src[used] & 0x3F);
    ++used;
  }
  *out = value;
  return used;
}

size_t EncodeUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

bool IsHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

size_t AnsiToWide(const char* src, size_t srcLen, char16_t* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  size_t length = src ? strnlen(src, srcLen) : 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  size_t written = 0;
  size_t pos = 0;
  while (pos < length) {
    char32_t cp = 0;
    size_t used = DecodeUtf8(bytes + pos, length - pos, &cp);
    size_t units = cp >= 0x10000 ? 2 : 1;
    if (written + units > capacity - 1) break;  // keep room for the terminator
    if (units == 2) {
      cp -= 0x10000;
      out[written++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[written++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[written++] = static_cast<char16_t>(cp);
    }
    pos += used;
  }
  out[written] = u'\0';
  return written;
}

size_t WideToAnsi(const char16_t* src, size_t srcLen, char* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  size_t length = 0;
  if (src) {
    while (length < srcLen && src[length] != u'\0') ++length;
  }
  size_t written = 0;
  size_t pos = 0;
  while (pos < length) {
    char32_t cp = src[pos];
    size_t used = 1;
    if (IsHighSurrogate(src[pos]) && pos + 1 < length && IsLowSurrogate(src[pos + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (src[pos + 1] - 0xDC00);
      used = 2;
    } else if (IsHighSurrogate(src[pos]) || IsLowSurrogate(src[pos])) {
      cp = kReplacement;
    }
    char encoded[4];
    size_t bytes = EncodeUtf8(cp, encoded);
    if (written + bytes > capacity - 1) break;
    std::memcpy(out + written, encoded, bytes);
    written += bytes;
    pos += used;
  }
  out[written] = '\0';
  return written;
}

}  // namespace plat
