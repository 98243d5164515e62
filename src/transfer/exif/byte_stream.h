// Byte streams the parser reads through: a table of six operations at the head of every
// stream, a memory stream over a caller's buffer, and a window stream that rebases offsets of
// a parent stream (so TIFF offsets inside an Exif segment count from the TIFF header).
#pragma once

#include <cstdint>

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

inline uint16_t StreamRead(ByteStream* s, uint64_t count, void* destination) {
  return s->ops.Read(s, count, destination);
}
inline uint16_t StreamWrite(ByteStream* s, uint64_t count, const void* source) {
  return s->ops.Write(s, count, source);
}
inline uint64_t StreamTell(ByteStream* s) {
  return s->ops.Tell(s);
}
inline uint16_t StreamSeek(ByteStream* s, uint64_t position) {
  return s->ops.Seek(s, position);
}
inline uint64_t StreamSize(ByteStream* s) {
  return s->ops.Size(s);
}
inline uint16_t StreamSeekEnd(ByteStream* s) {
  return s->ops.SeekEnd(s);
}

// Works in place on the caller's buffer, which must outlive the stream. Reads stop at `size`,
// writes at `capacity`; a failing read or write copies nothing and keeps the position.
struct MemoryStream {
  ByteStream stream;
  uint8_t* base;
  uint64_t capacity;
  uint64_t position;
  uint64_t size;
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

}  // namespace brelon::exif
