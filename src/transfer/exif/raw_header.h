// Where a raw image keeps its embedded JPEG: the raw header stores, big-endian, the JPEG's
// offset from the start of the raw data at bytes 84-87 and its length at bytes 88-91.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brelon::exif {

constexpr size_t kRawJpegOffsetField = 84;
constexpr size_t kRawJpegLengthField = 88;
constexpr size_t kRawHeaderMinBytes = 92;

// True, with the JPEG's offset and length, only when the header is present and the region it
// names lies inside the data. Outputs are untouched on false.
bool LocateEmbeddedJpeg(const uint8_t* data, size_t size, size_t* offset, size_t* length);

}  // namespace brelon::exif
