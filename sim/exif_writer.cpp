// TIFF layout for the Exif block and the maker note: each IFD is written with its entries
// sorted by tag and its out-of-line values right behind it, every value on an even offset.
#include "exif_writer.h"

#include <algorithm>
#include <cstring>

namespace zepasim {
namespace {

enum TiffType : uint16_t { kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7 };
constexpr size_t kEntryBytes = 12;
constexpr size_t kInlineBytes = 4;
constexpr size_t kTiffHeaderBytes = 8;
constexpr uint16_t kTiffMagic = 42;
constexpr char kExifIdentifier[] = {'E', 'x', 'i', 'f', 0, 0};

// IFD0 and Exif IFD tags beyond the pointer and the maker note; the set a reader expects.
constexpr uint16_t kTagMake = 0x010F, kTagModel = 0x0110, kTagXResolution = 0x011A,
                   kTagYResolution = 0x011B, kTagResolutionUnit = 0x0128,
                   kTagYCbCrPositioning = 0x0213, kTagExifVersion = 0x9000,
                   kTagComponentsConfiguration = 0x9101, kTagFlashpixVersion = 0xA000,
                   kTagColorSpace = 0xA001, kTagPixelXDimension = 0xA002,
                   kTagPixelYDimension = 0xA003;
constexpr uint32_t kDotsPerInch = 72;
constexpr uint16_t kResolutionUnitInch = 2;
constexpr uint16_t kCentredChroma = 1;
constexpr uint16_t kColorSpaceSrgb = 1;
constexpr uint8_t kExifVersion[] = {'0', '2', '3', '2'};
constexpr uint8_t kFlashpixVersion[] = {'0', '1', '0', '0'};
constexpr uint8_t kComponentsYCbCr[] = {1, 2, 3, 0};

class ByteOrder {
 public:
  explicit ByteOrder(bool big) : big_(big) {}
  // Byte by byte: GCC 12 misreports inserting brace lists into an empty vector.
  void U16(std::vector<uint8_t>& out, uint16_t v) const { Put(out, v, 2); }
  void U32(std::vector<uint8_t>& out, uint32_t v) const { Put(out, v, 4); }
  bool Big() const { return big_; }

 private:
  void Put(std::vector<uint8_t>& out, uint32_t v, int bytes) const {
    for (int i = 0; i < bytes; ++i) {
      const int shift = 8 * (big_ ? bytes - 1 - i : i);
      out.push_back(static_cast<uint8_t>(v >> shift));
    }
  }
  bool big_;
};

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  std::vector<uint8_t> value;  // already in the IFD's byte order
};

Entry Ascii(uint16_t tag, const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return {tag, kAscii, static_cast<uint32_t>(bytes.size()), bytes};
}
Entry Bytes(uint16_t tag, uint16_t type, const uint8_t* data, size_t size) {
  return {tag, type, static_cast<uint32_t>(size), std::vector<uint8_t>(data, data + size)};
}
Entry Short(const ByteOrder& order, uint16_t tag, uint16_t value) {
  Entry e{tag, kShort, 1, {}};
  order.U16(e.value, value);
  return e;
}
Entry Long(const ByteOrder& order, uint16_t tag, uint32_t value) {
  Entry e{tag, kLong, 1, {}};
  order.U32(e.value, value);
  return e;
}
Entry Rational(const ByteOrder& order, uint16_t tag, uint32_t num, uint32_t den) {
  Entry e{tag, kRational, 1, {}};
  order.U32(e.value, num);
  order.U32(e.value, den);
  return e;
}

size_t Even(size_t n) {
  return n + (n & 1u);
}

size_t IfdBytes(const std::vector<Entry>& entries) {
  size_t size = 2 + kEntryBytes * entries.size() + 4;
  for (const Entry& e : entries) {
    if (e.value.size() > kInlineBytes) size += Even(e.value.size());
  }
  return size;
}

// Appends the IFD at out.size(); offsets are taken relative to `origin` (a TIFF header's
// position), so the same code serves the Exif block and the self-contained maker note.
void AppendIfd(std::vector<uint8_t>& out, size_t origin, std::vector<Entry> entries,
               const ByteOrder& order) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  const size_t start = out.size();
  size_t data = start - origin + 2 + kEntryBytes * entries.size() + 4;
  order.U16(out, static_cast<uint16_t>(entries.size()));
  std::vector<uint8_t> outOfLine;
  for (const Entry& e : entries) {
    order.U16(out, e.tag);
    order.U16(out, e.type);
    order.U32(out, e.count);
    if (e.value.size() <= kInlineBytes) {
      std::vector<uint8_t> field = e.value;
      field.resize(kInlineBytes, 0);
      out.insert(out.end(), field.begin(), field.end());
    } else {
      order.U32(out, static_cast<uint32_t>(data));
      outOfLine.insert(outOfLine.end(), e.value.begin(), e.value.end());
      if (e.value.size() & 1u) outOfLine.push_back(0);
      data += Even(e.value.size());
    }
  }
  order.U32(out, 0);  // no next IFD
  out.insert(out.end(), outOfLine.begin(), outOfLine.end());
}

}  // namespace

std::vector<uint8_t> BuildMakerNote(const MakerNoteFields& fields) {
  const ByteOrder little(false);
  std::vector<uint8_t> note(kMakerNoteSignature, kMakerNoteSignature + 8);
  little.U32(note, kMakerNoteIfdOffset);
  constexpr uint32_t kShortLimit = 0xFFFF;
  const bool useLong = fields.longFrameNumber || fields.frameNumber > kShortLimit;
  std::vector<Entry> entries;
  entries.push_back(
      useLong ? Long(little, kTagFrameNumber, fields.frameNumber)
              : Short(little, kTagFrameNumber, static_cast<uint16_t>(fields.frameNumber)));
  entries.push_back(
      Bytes(kTagCameraPath, kAscii, fields.cameraPath.data(), fields.cameraPath.size()));
  AppendIfd(note, 0, entries, little);
  return note;
}

std::vector<uint8_t> BuildExifApp1(const ExifFields& fields) {
  const ByteOrder order(fields.bigEndian);
  std::vector<Entry> ifd0{Ascii(kTagMake, fields.make),
                          Ascii(kTagModel, fields.model),
                          Rational(order, kTagXResolution, kDotsPerInch, 1),
                          Rational(order, kTagYResolution, kDotsPerInch, 1),
                          Short(order, kTagResolutionUnit, kResolutionUnitInch),
                          Short(order, kTagYCbCrPositioning, kCentredChroma),
                          Long(order, kTagExifIfd, 0)};
  std::vector<Entry> exif{
      Bytes(kTagExifVersion, kUndefined, kExifVersion, sizeof kExifVersion),
      Bytes(kTagComponentsConfiguration, kUndefined, kComponentsYCbCr, sizeof kComponentsYCbCr),
      Bytes(kTagMakerNote, kUndefined, fields.makerNote.data(), fields.makerNote.size()),
      Bytes(kTagFlashpixVersion, kUndefined, kFlashpixVersion, sizeof kFlashpixVersion),
      Short(order, kTagColorSpace, kColorSpaceSrgb),
      Long(order, kTagPixelXDimension, fields.width),
      Long(order, kTagPixelYDimension, fields.height)};
  const uint32_t exifOffset = static_cast<uint32_t>(kTiffHeaderBytes + IfdBytes(ifd0));
  ifd0.back() = Long(order, kTagExifIfd, exifOffset);

  std::vector<uint8_t> out(kExifIdentifier, kExifIdentifier + sizeof kExifIdentifier);
  const size_t origin = out.size();
  const uint8_t orderMark = order.Big() ? 'M' : 'I';
  out.push_back(orderMark);
  out.push_back(orderMark);
  order.U16(out, kTiffMagic);
  order.U32(out, kTiffHeaderBytes);
  AppendIfd(out, origin, ifd0, order);
  AppendIfd(out, origin, exif, order);
  return out;
}

}  // namespace zepasim
