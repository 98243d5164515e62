// All a reader learns from an image, as one text: the reader sequence of image transfer, then a
// bare parse with every tag of every IFD read as a careless caller might (buffers sized from the
// entries). Two images answer alike exactly when no reader tells them apart.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "transfer/exif/exif_meta_info.h"

namespace brelon::exif::fixture {

// With `seen`, every result and every byte read is appended to it.
inline void ReadEveryTag(const Ifd* ifd, std::string* seen = nullptr) {
  for (uint16_t i = 0; ifd && i < ifd->entryCount(); ++i) {
    const uint16_t tag = ifd->entries()[i].tag;
    // Sized from the entry only when the stream holds the value: a forged count must fail.
    const bool available = ifd->TagValueAvailable(tag);
    const uint64_t bytes = ifd->TagByteSize(tag), count = ifd->TagCount(tag);
    std::vector<uint8_t> buffer(available && bytes <= 4096 ? bytes : 16);
    std::vector<uint32_t> longs(available && count <= 1024 ? count : 4);
    const uint16_t read = ifd->ReadTag(tag, buffer.data(), buffer.size());
    const uint16_t readLongs = ifd->ReadTagAsLong(tag, longs.data(), longs.size());
    if (!seen) continue;
    *seen += std::to_string(tag) + ":" + std::to_string(ifd->TagType(tag)) + "/" +
             std::to_string(count) + std::to_string(available) + std::to_string(read) + "," +
             std::to_string(readLongs) + "=";
    seen->append(buffer.begin(), buffer.end());
    for (uint32_t v : longs) *seen += std::to_string(v) + ",";
  }
}

inline void ReadEverySet(const IfdSet& set, std::string* seen = nullptr) {
  for (const auto* ifd :
       {&set.ifd0, &set.ifd1, &set.exif, &set.gps, &set.ifd1Exif, &set.ifd1Gps, &set.interop}) {
    if (seen) *seen += *ifd ? "|" : "-";
    ReadEveryTag(ifd->get(), seen);
  }
  uint8_t out[8 * 768];
  for (const TagDescription* row = kIfd0Tags; set.ifd0 && row->tag != 0; ++row) {
    (void)LookupTag(*set.ifd0, kIfd0Tags, row->tag, out, sizeof(out));
  }
}

inline std::string Answers(std::vector<uint8_t> image) {
  CExifMetaInfo info;
  std::string seen = std::to_string(info.SetSource(image.data(), image.size()));
  uint32_t width = 0, height = 0, frame = 7;  // no frame number reads as 0
  seen += " valid " + std::to_string(info.Validate(&width, &height));
  seen += " " + std::to_string(width) + "x" + std::to_string(height);
  seen += " parse " + std::to_string(info.ParseMetadata());
  char16_t path[kCameraPathCapacity] = {};
  seen += " path " + std::to_string(info.GetCameraPath(path)) + " ";
  for (size_t i = 0; i < kCameraPathCapacity && path[i]; ++i) seen += static_cast<char>(path[i]);
  seen += " frame " + std::to_string(info.GetFrameNumber(&frame));
  seen += " " + std::to_string(frame) + " note ";
  ReadEveryTag(info.makerNoteIfd(), &seen);

  uint64_t length = image.size();
  MemoryStream stream;
  MemoryStreamInit(&stream, image.data(), &length, false);
  JpegReader jpeg(&stream.stream);
  seen += " bare " + std::to_string(jpeg.Parse() == kExifOk) + " ";
  ReadEverySet(jpeg.ifds(), &seen);
  return seen;
}

// The leading bytes of `image` that the reader keeps, as an exact-size copy so that ASan sees
// any read past it.
inline std::vector<uint8_t> KeptPart(const std::vector<uint8_t>& image) {
  MemoryStream stream;
  std::optional<JpegReader> parsed;
  const auto kept = SurveyJpeg(image.data(), image.size(), &stream, &parsed).extent;
  return std::vector<uint8_t>(image.begin(), image.begin() + static_cast<ptrdiff_t>(kept));
}

}  // namespace brelon::exif::fixture
