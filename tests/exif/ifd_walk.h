// Reads every tag of every IFD a parse produced the way a careless caller might (buffer sizes
// straight from the entries, zero-size buffers included), so that the fuzz targets and the
// regression tests reach each read path with forged types, counts and offsets.
#pragma once

#include <cstdint>
#include <vector>

#include "transfer/exif/tiff.h"

namespace brelon::exif::fixture {

inline void ReadEveryTag(const Ifd* ifd) {
  if (!ifd) return;
  for (uint16_t i = 0; i < ifd->entryCount(); ++i) {
    const uint16_t tag = ifd->entries()[i].tag;
    (void)ifd->TagType(tag);
    (void)ifd->TagCount(tag);
    const uint64_t bytes = ifd->TagByteSize(tag);
    // Buffers are sized from the entry only when the stream can hold the value; a forged
    // count must fail in the reader, which gets a small buffer to prove it.
    const bool available = ifd->TagValueAvailable(tag);
    std::vector<uint8_t> buffer(available && bytes <= 4096 ? bytes : 16);
    (void)ifd->ReadTag(tag, buffer.data(), buffer.size());
    std::vector<uint32_t> longs(available && ifd->TagCount(tag) <= 1024 ? ifd->TagCount(tag) : 4);
    (void)ifd->ReadTagAsLong(tag, longs.data(), longs.size());
  }
}

inline void ReadEverySet(const IfdSet& set) {
  ReadEveryTag(set.ifd0.get());
  ReadEveryTag(set.ifd1.get());
  ReadEveryTag(set.exif.get());
  ReadEveryTag(set.gps.get());
  ReadEveryTag(set.ifd1Exif.get());
  ReadEveryTag(set.ifd1Gps.get());
  ReadEveryTag(set.interop.get());
  if (set.ifd0) {
    uint8_t out[8 * 768];
    for (const TagDescription* row = kIfd0Tags; row->tag != 0; ++row) {
      (void)LookupTag(*set.ifd0, kIfd0Tags, row->tag, out, sizeof(out));
    }
  }
}

}  // namespace brelon::exif::fixture
