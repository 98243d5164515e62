// brelon-tether: reading the maker note's frame number: JPEG markers up to the Exif APP1,
// the TIFF block's IFD0 and Exif IFD, the MakerNote tag, and the note's own IFD.
#include "maker_note.h"

#include <cstring>

namespace tether {
namespace {

constexpr uint8_t kMarkerPrefix = 0xFF, kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kApp1 = 0xE1;
constexpr uint8_t kTem = 0x01, kRst0 = 0xD0, kRst7 = 0xD7;
constexpr char kExifId[] = "Exif\0";  // six bytes with the implicit terminator
constexpr size_t kExifIdSize = 6;
constexpr uint16_t kTiffMagic = 42;
constexpr uint16_t kTagExifIfd = 0x8769, kTagMakerNote = 0x927C, kTagFrame = 0x1438;
constexpr uint16_t kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4;
constexpr uint16_t kTypeSByte = 6, kTypeUndefined = 7;
constexpr size_t kEntrySize = 12, kInlineBytes = 4;
// The note starts with a 12-byte header whose bytes 8-11 give its IFD's offset.
constexpr size_t kNoteHeaderSize = 12, kNoteIfdOffsetAt = 8;

// A bounds-checked view of a TIFF block in one byte order.
struct Tiff {
  const uint8_t* data;
  size_t size;
  bool bigEndian;

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= size && length <= size - offset;
  }
  uint16_t U16(size_t at) const {
    return bigEndian ? static_cast<uint16_t>(data[at] << 8 | data[at + 1])
                     : static_cast<uint16_t>(data[at + 1] << 8 | data[at]);
  }
  uint32_t U32(size_t at) const {
    return bigEndian ? uint32_t{U16(at)} << 16 | U16(at + 2)
                     : uint32_t{U16(at + 2)} << 16 | U16(at);
  }
  // Finds `tag` in the IFD at `ifd`; returns the entry's offset or 0 (never a valid entry).
  size_t Find(uint64_t ifd, uint16_t tag) const {
    if (!Has(ifd, 2)) return 0;
    const uint16_t count = U16(ifd);
    for (uint64_t i = 0, at = ifd + 2; i < count && Has(at, kEntrySize); ++i, at += kEntrySize)
      if (U16(at) == tag) return at;
    return 0;
  }
  // Offset of an entry's value bytes (inline or pointed to), checked to lie inside the block.
  bool ValueAt(size_t entry, uint64_t bytes, uint64_t* at) const {
    *at = bytes <= kInlineBytes ? entry + 8 : U32(entry + 8);
    return Has(*at, bytes);
  }
};

bool FrameFromNote(const uint8_t* note, size_t size, uint32_t* frame) {
  if (size < kNoteHeaderSize) return false;
  const Tiff t{note, size, false};
  const size_t entry = t.Find(t.U32(kNoteIfdOffsetAt), kTagFrame);
  if (!entry) return false;
  const uint16_t type = t.U16(entry + 2);
  const uint32_t count = t.U32(entry + 4);
  if ((type != kTypeShort && type != kTypeLong) || count == 0) return false;
  const uint64_t unit = type == kTypeShort ? 2 : 4;
  uint64_t at = 0;
  if (!t.ValueAt(entry, unit * count, &at)) return false;
  *frame = type == kTypeShort ? t.U16(at) : t.U32(at);
  return true;
}

bool FrameFromTiff(const Tiff& t, uint32_t* frame) {
  if (!t.Has(0, 8) || t.U16(2) != kTiffMagic) return false;
  const size_t exifEntry = t.Find(t.U32(4), kTagExifIfd);
  if (!exifEntry) return false;
  const size_t noteEntry = t.Find(t.U32(exifEntry + 8), kTagMakerNote);
  if (!noteEntry) return false;
  const uint16_t type = t.U16(noteEntry + 2);
  if (type != kTypeByte && type != kTypeAscii && type != kTypeSByte && type != kTypeUndefined)
    return false;
  const uint32_t count = t.U32(noteEntry + 4);
  uint64_t at = 0;
  return t.ValueAt(noteEntry, count, &at) && FrameFromNote(t.data + at, count, frame);
}

}  // namespace

bool ReadMakerNoteFrame(const uint8_t* jpeg, size_t size, uint32_t* frame) {
  if (!jpeg || size < 2 || jpeg[0] != kMarkerPrefix || jpeg[1] != kSoi) return false;
  size_t at = 2;
  while (at + 4 <= size) {
    if (jpeg[at] != kMarkerPrefix) return false;
    const uint8_t marker = jpeg[at + 1];
    if (marker == kMarkerPrefix) {  // fill byte
      ++at;
      continue;
    }
    if (marker == kSos || marker == kEoi) return false;
    if (marker == kTem || (marker >= kRst0 && marker <= kRst7)) {
      at += 2;
      continue;
    }
    const size_t length = static_cast<size_t>(jpeg[at + 2] << 8 | jpeg[at + 3]);
    if (length < 2 || length > size - at - 2) return false;
    const uint8_t* body = jpeg + at + 4;
    const size_t bodySize = length - 2;
    if (marker == kApp1 && bodySize >= kExifIdSize &&
        std::memcmp(body, kExifId, kExifIdSize) == 0) {
      const uint8_t* tiff = body + kExifIdSize;
      const size_t tiffSize = bodySize - kExifIdSize;
      if (tiffSize < 2 || tiff[0] != tiff[1] || (tiff[0] != 'I' && tiff[0] != 'M')) return false;
      return FrameFromTiff(Tiff{tiff, tiffSize, tiff[0] == 'M'}, frame);
    }
    at += 2 + length;
  }
  return false;
}

}  // namespace tether
