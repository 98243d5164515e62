// Reads the embedded-JPEG location from a raw header and checks it against the data size in
// 64-bit arithmetic, so a forged offset plus length cannot wrap past the end.
#include "transfer/exif/raw_header.h"

namespace brelon::exif {
namespace {

uint32_t LoadBig32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

bool LocateEmbeddedJpeg(const uint8_t* data, size_t size, size_t* offset, size_t* length) {
  if (!data || size < kRawHeaderMinBytes) return false;
  const uint64_t jpegOffset = LoadBig32(data + kRawJpegOffsetField);
  const uint64_t jpegLength = LoadBig32(data + kRawJpegLengthField);
  if (jpegOffset + jpegLength > uint64_t{size}) return false;
  if (offset) *offset = static_cast<size_t>(jpegOffset);
  if (length) *length = static_cast<size_t>(jpegLength);
  return true;
}

}  // namespace brelon::exif
