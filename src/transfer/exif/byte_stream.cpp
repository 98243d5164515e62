// The memory and window byte streams: every read, write and seek is checked against the
// stream's bounds before it touches memory.
#include "transfer/exif/byte_stream.h"

#include <cstring>

namespace brelon::exif {
namespace {

MemoryStream* AsMemory(ByteStream* s) {
  return reinterpret_cast<MemoryStream*>(s);
}
WindowStream* AsWindow(ByteStream* s) {
  return reinterpret_cast<WindowStream*>(s);
}

uint16_t MemoryWrite(ByteStream* s, uint64_t count, const void* source) {
  MemoryStream* m = AsMemory(s);
  if (m->position > m->capacity || count > m->capacity - m->position) return kExifOutOfRange;
  if (count != 0) std::memcpy(m->base + m->position, source, static_cast<size_t>(count));
  m->position += count;
  if (m->position > m->size) m->size = m->position;
  return kExifOk;
}

uint16_t MemorySeekEnd(ByteStream* s) {
  MemoryStream* m = AsMemory(s);
  m->position = m->size;
  return kExifOk;
}

uint16_t WindowWrite(ByteStream* s, uint64_t count, const void* source) {
  return StreamWrite(AsWindow(s)->parent, count, source);
}

uint16_t WindowSeekEnd(ByteStream* s) {
  return StreamSeekEnd(AsWindow(s)->parent);
}

constexpr ByteStreamOps kMemoryOps = {MemoryStreamRead, MemoryWrite,      MemoryStreamTell,
                                      MemoryStreamSeek, MemoryStreamSize, MemorySeekEnd};
constexpr ByteStreamOps kWindowOps = {WindowStreamRead, WindowWrite,      WindowStreamTell,
                                      WindowStreamSeek, WindowStreamSize, WindowSeekEnd};

}  // namespace

uint16_t MemoryStreamRead(ByteStream* s, uint64_t count, void* destination) {
  return detail::MemoryReadInline(AsMemory(s), count, destination);
}

uint64_t MemoryStreamTell(ByteStream* s) {
  return AsMemory(s)->position;
}

uint16_t MemoryStreamSeek(ByteStream* s, uint64_t position) {
  return detail::MemorySeekInline(AsMemory(s), position);
}

uint64_t MemoryStreamSize(ByteStream* s) {
  return AsMemory(s)->size;
}

uint16_t WindowStreamRead(ByteStream* s, uint64_t count, void* destination) {
  return StreamRead(AsWindow(s)->parent, count, destination);
}

// The parent may sit before the window (it is shared); report 0 rather than wrap around.
uint64_t WindowStreamTell(ByteStream* s) {
  WindowStream* w = AsWindow(s);
  uint64_t position = StreamTell(w->parent);
  return position >= w->base ? position - w->base : 0;
}

uint16_t WindowStreamSeek(ByteStream* s, uint64_t position) {
  WindowStream* w = AsWindow(s);
  if (position > UINT64_MAX - w->base) return kExifOutOfRange;
  return StreamSeek(w->parent, position + w->base);
}

uint64_t WindowStreamSize(ByteStream* s) {
  WindowStream* w = AsWindow(s);
  uint64_t size = StreamSize(w->parent);
  return size >= w->base ? size - w->base : 0;
}

void MemoryStreamInit(MemoryStream* memory, uint8_t* buffer, const uint64_t* length,
                      bool truncate) {
  memory->stream.ops = kMemoryOps;
  memory->base = buffer;
  memory->capacity = (buffer && length) ? *length : 0;
  memory->position = 0;
  memory->size = truncate ? 0 : memory->capacity;
  memory->reach = 0;
}

void WindowStreamInit(WindowStream* window, ByteStream* parent, uint64_t base) {
  window->stream.ops = kWindowOps;
  window->parent = parent;
  window->base = base;
}

}  // namespace brelon::exif
