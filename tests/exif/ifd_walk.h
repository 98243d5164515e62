// Reads every tag of every IFD a parse produced the way a careless caller might (buffer sizes
// straight from the entries, zero-size buffers included), so that the fuzz targets and the
// regression tests reach each read path with forged types, counts and offsets; and sums up all
// a reader can learn from an image, to show that the bytes the reader keeps answer alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif::fixture {

// With `seen`, every result and every byte read is appended to it.
inline void ReadEveryTag(const Ifd* ifd, std::string* seen = nullptr) {
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
    const uint16_t read = ifd->ReadTag(tag, buffer.data(), buffer.size());
    std::vector<uint32_t> longs(available && ifd->TagCount(tag) <= 1024 ? ifd->TagCount(tag) : 4);
    const uint16_t readLongs = ifd->ReadTagAsLong(tag, longs.data(), longs.size());
    if (seen) {
      *seen += std::to_string(tag) + ":" + std::to_string(available) + std::to_string(read) + "," +
               std::to_string(readLongs) + "=";
      seen->append(buffer.begin(), buffer.end());
      for (uint32_t v : longs) *seen += std::to_string(v) + ",";
    }
  }
}

inline void ReadEverySet(const IfdSet& set, std::string* seen = nullptr) {
  for (const auto* ifd :
       {&set.ifd0, &set.ifd1, &set.exif, &set.gps, &set.ifd1Exif, &set.ifd1Gps, &set.interop}) {
    if (seen) *seen += *ifd ? "|" : "-";
    ReadEveryTag(ifd->get(), seen);
  }
  if (set.ifd0) {
    uint8_t out[8 * 768];
    for (const TagDescription* row = kIfd0Tags; row->tag != 0; ++row) {
      (void)LookupTag(*set.ifd0, kIfd0Tags, row->tag, out, sizeof(out));
    }
  }
}

// The reader sequence of image transfer on `image`, then a bare parse of it with every tag read.
// Two images give the same text exactly when no reader can tell them apart.
inline std::string Answers(std::vector<uint8_t> image) {
  CExifMetaInfo info;
  std::string seen = std::to_string(info.SetSource(image.data(), image.size()));
  uint32_t width = 0, height = 0, frame = 0;
  const bool valid = info.Validate(&width, &height);
  seen += " valid " + std::to_string(valid) + " " + std::to_string(width) + "x" +
          std::to_string(height) + " parse " + std::to_string(info.ParseMetadata());
  char16_t path[kCameraPathCapacity] = {};
  seen += " path " + std::to_string(info.GetCameraPath(path)) + " ";
  for (size_t i = 0; i < kCameraPathCapacity && path[i]; ++i) seen += static_cast<char>(path[i]);
  const int32_t frameResult = info.GetFrameNumber(&frame);
  seen += " frame " + std::to_string(frameResult) + " " + std::to_string(frame);

  uint64_t length = image.size();
  MemoryStream stream;
  MemoryStreamInit(&stream, image.data(), &length, false);
  JpegReader jpeg(&stream.stream);
  seen += " bare " + std::to_string(jpeg.Parse() == kExifOk) + " ";
  ReadEverySet(jpeg.ifds(), &seen);
  return seen;
}

// The leading bytes of `image` that the reader keeps (when it can parse) and reads from.
// An exact-size copy, so that ASan sees any read past it.
inline std::vector<uint8_t> KeptPart(const std::vector<uint8_t>& image) {
  MemoryStream stream;
  std::optional<JpegReader> parsed;
  const auto kept = SurveyJpeg(image.data(), image.size(), &stream, &parsed).extent;
  return std::vector<uint8_t>(image.begin(), image.begin() + static_cast<ptrdiff_t>(kept));
}

}  // namespace brelon::exif::fixture
