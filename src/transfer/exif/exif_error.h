// The one list of result codes of the JPEG, TIFF and Exif parser. Every parser operation
// returns one of these as a 16-bit number; 0 is success and the values are fixed because
// callers and logs compare them numerically.
#pragma once

#include <cstdint>

namespace brelon::exif {

enum ExifError : uint16_t {
  kExifOk = 0,
  // APP2 list full or an APP2 segment too short; tag absent from the tag-description table or
  // described with an invalid type; a read, seek or copy beyond the end of a stream or buffer.
  kExifOutOfRange = 1000,
  // An IFD read a second time, a TIFF header read twice, or a byte-order read before the
  // byte order is known.
  kExifWrongState = 1001,
  kExifOutOfMemory = 1002,
  // The frame header names a component count other than 1 or 3.
  kExifUnsupportedComponents = 1003,
  // No APP1 Exif block before the scan, the Exif IFD pointer missing or malformed, or a
  // sub-IFD that cannot be read.
  kExifNoExif = 1100,
  // Invalid TIFF header, or an IFD that does not fit the stream or has more than 2048 entries.
  kExifBadTiff = 1200,
  kExifTagMissing = 1203,
  kExifBadTagType = 1205,
  kExifBadTagCount = 1206,
  // No start-of-image, a broken marker chain, no SOF0 before the scan, or fill bytes that run
  // to the end of the data.
  kExifNotBaseline = 1300,
  // Invalid segment content, an unexpected SOI/EOI, a non-marker where a marker is due, or a
  // component whose quantisation table was never defined.
  kExifBadSegment = 1301,
};

}  // namespace brelon::exif
