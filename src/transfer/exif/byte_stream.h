// Byte streams the parser reads through: a table of six operations at the head of every
// stream, a memory stream over a caller's buffer, and a window stream that rebases offsets of
// a parent stream (so TIFF offsets inside an Exif segment count from the TIFF header).
#pragma once

#include <cstdint>
#include <cstring>

#include "transfer/exif/exif_error.h"

namespace brelon::exif {

struct ByteStream;

// Positions and sizes are 64-bit so that offset + count arithmetic from untrusted files cannot
// wrap, whatever the width of size_t.
struct ByteStreamOps {
  uint16_t (*Read)(ByteStream* stream, uint64_t count, void* destination);
  uint16_t (*Write)(ByteStream* stream, uint64_t count, const void* source);
  uint64_t (*Tell)(ByteStream* stream);
  uint16_t (*Seek)(ByteStream* stream, uint64_t position);
  uint64_t (*Size)(ByteStream* stream);
  uint16_t (*SeekEnd)(ByteStream* stream);
};

struct ByteStream {
  ByteStreamOps ops;
};

// Works in place on the caller's buffer, which must outlive the stream. Reads stop at `size`,
// writes at `capacity`; a failing read or write copies nothing and keeps the position.
// `reach` is the furthest position a read ended at since initialisation: a stream cut there
// would have served every read alike.
struct MemoryStream {
  ByteStream stream;
  uint8_t* base;
  uint64_t capacity;
  uint64_t position;
  uint64_t size;
  uint64_t reach;
};

// `truncate` starts the stream empty (for writing); otherwise its whole length is readable.
void MemoryStreamInit(MemoryStream* memory, uint8_t* buffer, const uint64_t* length, bool truncate);

// Shares the parent's position: reading through the window moves the parent too.
struct WindowStream {
  ByteStream stream;
  ByteStream* parent;
  uint64_t base;
};

void WindowStreamInit(WindowStream* window, ByteStream* parent, uint64_t base);

// The memory and window operations, for the operation tables and for the stream calls below.
uint16_t MemoryStreamRead(ByteStream* s, uint64_t count, void* destination);
uint64_t MemoryStreamTell(ByteStream* s);
uint16_t MemoryStreamSeek(ByteStream* s, uint64_t position);
uint64_t MemoryStreamSize(ByteStream* s);
uint16_t WindowStreamRead(ByteStream* s, uint64_t count, void* destination);
uint64_t WindowStreamTell(ByteStream* s);
uint16_t WindowStreamSeek(ByteStream* s, uint64_t position);
uint64_t WindowStreamSize(ByteStream* s);

// The parser reads a few bytes at a time, a few hundred times per image. These calls go
// through the operation table like any other, except that memory streams and windows over
// them (the only streams the plug-in makes) are served here, inline and with the same checks,
// instead of through an indirect call per field.
namespace detail {

inline MemoryStream* MemoryOf(ByteStream* s) {
  return s->ops.Read == MemoryStreamRead ? reinterpret_cast<MemoryStream*>(s) : nullptr;
}

// The memory stream under a window, with the window's base; null for any other stream.
inline MemoryStream* WindowedMemoryOf(ByteStream* s, uint64_t* base) {
  if (s->ops.Read != WindowStreamRead) return nullptr;
  auto* w = reinterpret_cast<WindowStream*>(s);
  *base = w->base;
  return MemoryOf(w->parent);
}

inline uint16_t MemoryReadInline(MemoryStream* m, uint64_t count, void* destination) {
  if (m->position > m->size || count > m->size - m->position) return kExifOutOfRange;
  const uint8_t* from = m->base + m->position;
  // Fixed sizes become single moves; the library copy is for tables and values.
  switch (count) {
    case 1:
      std::memcpy(destination, from, 1);
      break;
    case 2:
      std::memcpy(destination, from, 2);
      break;
    case 4:
      std::memcpy(destination, from, 4);
      break;
    default:
      if (count != 0) std::memcpy(destination, from, static_cast<size_t>(count));
      break;
  }
  m->position += count;
  if (m->position > m->reach) m->reach = m->position;
  return kExifOk;
}

inline uint16_t MemorySeekInline(MemoryStream* m, uint64_t position) {
  if (position > m->size) return kExifOutOfRange;
  m->position = position;
  return kExifOk;
}

}  // namespace detail

inline uint16_t StreamRead(ByteStream* s, uint64_t count, void* destination) {
  uint64_t base = 0;
  MemoryStream* m = detail::MemoryOf(s);
  if (!m) m = detail::WindowedMemoryOf(s, &base);
  return m ? detail::MemoryReadInline(m, count, destination) : s->ops.Read(s, count, destination);
}
inline uint16_t StreamWrite(ByteStream* s, uint64_t count, const void* source) {
  return s->ops.Write(s, count, source);
}
inline uint64_t StreamTell(ByteStream* s) {
  if (MemoryStream* m = detail::MemoryOf(s)) return m->position;
  uint64_t base = 0;
  if (MemoryStream* m = detail::WindowedMemoryOf(s, &base)) {
    // The parent may sit before the window (it is shared); report 0 rather than wrap around.
    return m->position >= base ? m->position - base : 0;
  }
  return s->ops.Tell(s);
}
inline uint16_t StreamSeek(ByteStream* s, uint64_t position) {
  if (MemoryStream* m = detail::MemoryOf(s)) return detail::MemorySeekInline(m, position);
  uint64_t base = 0;
  if (MemoryStream* m = detail::WindowedMemoryOf(s, &base)) {
    if (position > UINT64_MAX - base) return kExifOutOfRange;
    return detail::MemorySeekInline(m, position + base);
  }
  return s->ops.Seek(s, position);
}
inline uint64_t StreamSize(ByteStream* s) {
  if (MemoryStream* m = detail::MemoryOf(s)) return m->size;
  uint64_t base = 0;
  if (MemoryStream* m = detail::WindowedMemoryOf(s, &base)) {
    return m->size >= base ? m->size - base : 0;
  }
  return s->ops.Size(s);
}
inline uint16_t StreamSeekEnd(ByteStream* s) {
  return s->ops.SeekEnd(s);
}

}  // namespace brelon::exif
