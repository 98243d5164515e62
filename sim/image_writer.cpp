// TIFF layout, the maker note, JPEG segments and the baseline encoder (standard quantisation
// and Huffman tables, the DC coefficient of each 8x8 block and optional AC noise), and the raw
// container. Every value of an IFD lands on an even offset right behind its table.
#include "image_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace zepasim {
namespace {

constexpr size_t kEntryBytes = 12;
constexpr size_t kInlineBytes = 4;
constexpr size_t kTiffHeaderBytes = 8;
constexpr uint16_t kTiffMagic = 42;
constexpr uint32_t kShortLimit = 0xFFFF;

// IFD0 and Exif IFD tags beyond the pointers and the maker note; the set a reader expects.
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

constexpr int kBlock = 8;
constexpr int kCoefficients = 64;
constexpr int kMaxComponents = 3;
constexpr int kHuffmanCounts = 16;
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kApp1 = 0xE1, kCom = 0xFE, kDqt = 0xDB, kDht = 0xC4;
constexpr size_t kSegmentHeader = 4;          // marker and length
constexpr size_t kMaxSegmentPayload = 65533;  // the 16-bit length counts itself
constexpr int kLevelShift = 128;
constexpr int kDcScale = 8;  // the DC term of a flat block is 8 times its level-shifted value
constexpr uint8_t kEndOfBlock = 0x00;
constexpr uint8_t kRunZeroSizeOne = 0x01;  // an AC coefficient of magnitude 1 after no zeros

constexpr uint16_t kRawVersion = 1;
constexpr size_t kRawTotalSizeField = 92;
constexpr size_t kRawFrameField = 8;
constexpr size_t kRawModelField = 12;
constexpr size_t kRawModelBytes = 64;
constexpr size_t kFillerBlock = 4096;

size_t Even(size_t n) {
  return n + (n & 1u);
}

// Byte by byte: GCC 12 misreports inserting brace lists into an empty vector.
void Put(Bytes& out, uint64_t v, size_t bytes, bool big) {
  for (size_t i = 0; i < bytes; ++i) {
    out.push_back(static_cast<uint8_t>(v >> (8 * (big ? bytes - 1 - i : i))));
  }
}

void PutBig32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// The value as the block stores it: every unit in the block's byte order.
Bytes Stored(const TiffEntry& e, bool big) {
  Bytes out = e.value;
  if (big) {
    for (size_t i = 0; i + e.unit <= out.size(); i += e.unit) {
      std::reverse(out.begin() + static_cast<long>(i), out.begin() + static_cast<long>(i + e.unit));
    }
  }
  return out;
}

void AddPointer(TiffIfd& ifd, uint16_t tag) {
  for (const TiffEntry& e : ifd.entries) {
    if (e.tag == tag) return;  // the caller wrote its own
  }
  auto at = std::find_if(ifd.entries.begin(), ifd.entries.end(),
                         [tag](const TiffEntry& e) { return e.tag > tag; });
  ifd.entries.insert(at, Long(tag, {0}));
}

void SetPointer(TiffIfd& ifd, uint16_t tag, size_t offset) {
  for (TiffEntry& e : ifd.entries) {
    if (e.tag == tag && e.type == kTiffLong && e.count == 1 && !e.field) {
      e = Long(tag, {offset});
    }
  }
}

// Annex K tables, natural order.
constexpr std::array<uint8_t, kCoefficients> kLumaQuant = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<uint8_t, kCoefficients> kChromaQuant = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr std::array<uint8_t, kCoefficients> kZigzagToNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct HuffmanTable {
  uint8_t classAndId;
  std::array<uint8_t, kHuffmanCounts> counts;
  std::vector<uint8_t> symbols;
};

const HuffmanTable kLumaDc{
    0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
const HuffmanTable kChromaDc{
    0x01, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
const HuffmanTable kLumaAc{
    0x10,
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
    {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
     0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
     0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
     0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
     0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
     0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
     0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
     0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
     0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
     0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
     0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa}};
const HuffmanTable kChromaAc{
    0x11,
    {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
    {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
     0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
     0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
     0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
     0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
     0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
     0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
     0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
     0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
     0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
     0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa}};

struct Code {
  uint16_t bits = 0;
  uint8_t length = 0;
};

// Canonical code assignment (JPEG Annex C).
std::array<Code, 256> BuildCodes(const HuffmanTable& table) {
  std::array<Code, 256> codes{};
  uint16_t code = 0;
  size_t next = 0;
  for (int length = 1; length <= kHuffmanCounts; ++length) {
    for (int i = 0; i < table.counts[length - 1]; ++i) {
      codes[table.symbols[next++]] = {code, static_cast<uint8_t>(length)};
      ++code;
    }
    code <<= 1;
  }
  return codes;
}

class BitWriter {
 public:
  explicit BitWriter(Bytes& out) : out_(out) {}
  void Put(uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      byte_ = static_cast<uint8_t>((byte_ << 1) | ((bits >> i) & 1u));
      if (++filled_ == 8) Emit();
    }
  }
  // Pads the last byte with one-bits, as the standard asks.
  void Flush() {
    while (filled_ != 0) Put(1, 1);
  }

 private:
  void Emit() {
    out_.push_back(byte_);
    if (byte_ == kMarker) out_.push_back(0x00);  // byte stuffing inside entropy-coded data
    byte_ = 0;
    filled_ = 0;
  }
  Bytes& out_;
  uint8_t byte_ = 0;
  int filled_ = 0;
};

int Category(int value) {
  int magnitude = value < 0 ? -value : value;
  int bits = 0;
  while (magnitude) {
    ++bits;
    magnitude >>= 1;
  }
  return bits;
}

// One flat colour per block: a gradient whose hue the seed turns.
std::array<int, kMaxComponents> BlockYCbCr(int bx, int by, int blocksX, int blocksY,
                                           uint32_t seed) {
  const double u = blocksX > 1 ? static_cast<double>(bx) / (blocksX - 1) : 0.0;
  const double v = blocksY > 1 ? static_cast<double>(by) / (blocksY - 1) : 0.0;
  const double turn = (seed % 360u) / 360.0;
  const double r = 255.0 * std::fmod(u + turn, 1.0);
  const double g = 255.0 * v;
  const double b = 255.0 * (1.0 - 0.5 * (u + v));
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  const double cb = 128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b;
  const double cr = 128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b;
  auto clamp = [](double x) { return static_cast<int>(std::lround(std::clamp(x, 0.0, 255.0))); };
  return {clamp(y), clamp(cb), clamp(cr)};
}

}  // namespace

uint32_t TiffTypeBytes(uint16_t type) {
  switch (type) {
    case kTiffByte:
    case kTiffAscii:
    case kTiffSByte:
    case kTiffUndefined:
      return 1;
    case kTiffShort:
    case kTiffSShort:
      return 2;
    case kTiffLong:
    case kTiffSLong:
    case kTiffFloat:
      return 4;
    case kTiffRational:
    case kTiffSRational:
    case kTiffDouble:
      return 8;
    default:
      return 0;
  }
}

TiffEntry Numbers(uint16_t tag, uint16_t type, const std::vector<uint64_t>& numbers) {
  const bool rational = type == kTiffRational || type == kTiffSRational;
  TiffEntry e{tag, type, 0, {}, static_cast<uint8_t>(rational ? 4 : TiffTypeBytes(type)), {}};
  for (uint64_t n : numbers) Put(e.value, n, e.unit, false);
  e.count = static_cast<uint32_t>(e.value.size() / std::max<uint32_t>(TiffTypeBytes(type), 1));
  return e;
}

TiffEntry Short(uint16_t tag, std::initializer_list<uint64_t> numbers) {
  return Numbers(tag, kTiffShort, numbers);
}

TiffEntry Long(uint16_t tag, std::initializer_list<uint64_t> numbers) {
  return Numbers(tag, kTiffLong, numbers);
}

TiffEntry Ascii(uint16_t tag, const std::string& text, bool terminate) {
  TiffEntry e{tag, kTiffAscii, 0, Bytes(text.begin(), text.end()), 1, {}};
  if (terminate) e.value.push_back(0);
  e.count = static_cast<uint32_t>(e.value.size());
  return e;
}

TiffEntry Undefined(uint16_t tag, const Bytes& bytes) {
  return {tag, kTiffUndefined, static_cast<uint32_t>(bytes.size()), bytes, 1, {}};
}

TiffEntry Forged(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
  return {tag, type, count, {}, 1, field};
}

size_t IfdBytes(const TiffIfd& ifd) {
  size_t size = 2 + kEntryBytes * ifd.entries.size() + 4;
  for (const TiffEntry& e : ifd.entries) {
    if (!e.field && e.value.size() > kInlineBytes) size += Even(e.value.size());
  }
  return size;
}

void AppendIfd(Bytes& out, size_t origin, const TiffIfd& ifd, bool bigEndian) {
  size_t data = out.size() - origin + 2 + kEntryBytes * ifd.entries.size() + 4;
  Put(out, ifd.entries.size(), 2, bigEndian);
  Bytes outOfLine;
  for (const TiffEntry& e : ifd.entries) {
    Put(out, e.tag, 2, bigEndian);
    Put(out, e.type, 2, bigEndian);
    Put(out, e.count, 4, bigEndian);
    Bytes value = Stored(e, bigEndian);
    if (e.field) {
      Put(out, *e.field, 4, bigEndian);
    } else if (value.size() <= kInlineBytes) {
      value.resize(kInlineBytes, 0);
      out.insert(out.end(), value.begin(), value.end());
    } else {
      Put(out, data, 4, bigEndian);
      value.resize(Even(value.size()), 0);
      outOfLine.insert(outOfLine.end(), value.begin(), value.end());
      data += value.size();
    }
  }
  Put(out, ifd.next, 4, bigEndian);
  out.insert(out.end(), outOfLine.begin(), outOfLine.end());
}

Bytes TiffBlock::Build() const {
  TiffIfd i0 = ifd0, ex = exif.value_or(TiffIfd{}), io = interop.value_or(TiffIfd{});
  const bool hasInterop = exif && interop;
  if (exif) AddPointer(i0, kTagExifIfd);
  if (gps) AddPointer(i0, kTagGpsIfd);
  if (hasInterop) AddPointer(ex, kTagInteropIfd);
  const size_t offEx = kTiffHeaderBytes + IfdBytes(i0);
  const size_t offIo = offEx + (exif ? IfdBytes(ex) : 0);
  const size_t offGps = offIo + (hasInterop ? IfdBytes(io) : 0);
  const size_t off1 = offGps + (gps ? IfdBytes(*gps) : 0);
  if (exif) SetPointer(i0, kTagExifIfd, offEx);
  if (gps) SetPointer(i0, kTagGpsIfd, offGps);
  if (hasInterop) SetPointer(ex, kTagInteropIfd, offIo);
  if (ifd1) i0.next = static_cast<uint32_t>(off1);

  const uint8_t order = bigEndian ? 'M' : 'I';
  Bytes out{order, order};
  Put(out, kTiffMagic, 2, bigEndian);
  Put(out, kTiffHeaderBytes, 4, bigEndian);
  AppendIfd(out, 0, i0, bigEndian);
  if (exif) AppendIfd(out, 0, ex, bigEndian);
  if (hasInterop) AppendIfd(out, 0, io, bigEndian);
  if (gps) AppendIfd(out, 0, *gps, bigEndian);
  if (ifd1) AppendIfd(out, 0, *ifd1, bigEndian);
  return out;
}

Bytes MakerNote(const TiffIfd& ifd, uint32_t ifdOffset) {
  Bytes note(kMakerNoteSignature, kMakerNoteSignature + 8);
  Put(note, ifdOffset, 4, false);
  note.resize(std::max<size_t>(ifdOffset, note.size()), 0);
  AppendIfd(note, 0, ifd, false);
  return note;
}

TiffIfd CameraNote(uint32_t frame, const std::string& path, bool longFrame, bool terminate) {
  const bool useLong = longFrame || frame > kShortLimit;
  return {{useLong ? Long(kTagFrameNumber, {frame}) : Short(kTagFrameNumber, {frame}),
           Ascii(kTagCameraPath, path, terminate)}};
}

TiffBlock CameraTiff(const CameraExif& fields) {
  TiffBlock block;
  block.bigEndian = fields.bigEndian;
  block.ifd0.entries = {Ascii(kTagMake, fields.make),
                        Ascii(kTagModel, fields.model),
                        Numbers(kTagXResolution, kTiffRational, {kDotsPerInch, 1}),
                        Numbers(kTagYResolution, kTiffRational, {kDotsPerInch, 1}),
                        Short(kTagResolutionUnit, {kResolutionUnitInch}),
                        Short(kTagYCbCrPositioning, {kCentredChroma})};
  block.exif->entries = {Undefined(kTagExifVersion, {'0', '2', '3', '2'}),
                         Undefined(kTagComponentsConfiguration, {1, 2, 3, 0}),
                         Undefined(kTagMakerNote, fields.makerNote),
                         Undefined(kTagFlashpixVersion, {'0', '1', '0', '0'}),
                         Short(kTagColorSpace, {kColorSpaceSrgb}),
                         Long(kTagPixelXDimension, {fields.width}),
                         Long(kTagPixelYDimension, {fields.height})};
  return block;
}

JpegWriter& JpegWriter::Marker(uint8_t code) {
  bytes_.push_back(kMarker);
  bytes_.push_back(code);
  return *this;
}

JpegWriter& JpegWriter::Segment(uint8_t code, const Bytes& payload) {
  Marker(code);
  Put(bytes_, payload.size() + 2, 2, true);
  return Raw(payload);
}

JpegWriter& JpegWriter::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

JpegWriter& JpegWriter::Exif(const Bytes& tiff, const Bytes& identifier) {
  Bytes payload = identifier;
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  return Segment(kApp1, payload);
}

// Writes in place: a frame of megabytes is then written once, without temporaries that would
// push the camera's other frames out of the cache.
JpegWriter& JpegWriter::Pad(size_t bytes) {
  constexpr uint8_t kFill = ' ';
  bytes_.reserve(bytes_.size() + bytes);
  while (bytes >= kSegmentHeader) {
    size_t take = std::min(bytes, kMaxSegmentPayload + kSegmentHeader);
    const size_t rest = bytes - take;
    if (rest > 0 && rest < kSegmentHeader) take -= kSegmentHeader;  // keep room for a last one
    Marker(kCom);
    Put(bytes_, take - kSegmentHeader + 2, 2, true);
    bytes_.insert(bytes_.end(), take - kSegmentHeader, kFill);
    bytes -= take;
  }
  return *this;
}

JpegWriter& JpegWriter::Tables() {
  Bytes quant;
  const std::array<uint8_t, kCoefficients>* tables[] = {&kLumaQuant, &kChromaQuant};
  for (uint8_t id = 0; id < 2; ++id) {
    quant.push_back(id);  // 8-bit precision, table id
    for (int k = 0; k < kCoefficients; ++k) quant.push_back((*tables[id])[kZigzagToNatural[k]]);
  }
  Segment(kDqt, quant);
  Bytes huffman;
  for (const HuffmanTable* table : {&kLumaDc, &kLumaAc, &kChromaDc, &kChromaAc}) {
    huffman.push_back(table->classAndId);
    huffman.insert(huffman.end(), table->counts.begin(), table->counts.end());
    huffman.insert(huffman.end(), table->symbols.begin(), table->symbols.end());
  }
  return Segment(kDht, huffman);
}

JpegWriter& JpegWriter::Frame(uint8_t code, int width, int height, int components) {
  Bytes frame{8};  // sample precision
  Put(frame, static_cast<uint64_t>(height), 2, true);
  Put(frame, static_cast<uint64_t>(width), 2, true);
  frame.push_back(static_cast<uint8_t>(components));
  for (int c = 1; c <= components; ++c) {
    for (int v : {c, 0x11, c == 1 ? 0 : 1}) frame.push_back(static_cast<uint8_t>(v));
  }
  return Segment(code, frame);
}

JpegWriter& JpegWriter::Scan(int width, int height, uint32_t seed, int components, int acNoise) {
  static const std::array<Code, 256> kDcCodes[2] = {BuildCodes(kLumaDc), BuildCodes(kChromaDc)};
  static const std::array<Code, 256> kAcCodes[2] = {BuildCodes(kLumaAc), BuildCodes(kChromaAc)};
  Bytes header{static_cast<uint8_t>(components)};
  for (int c = 1; c <= components; ++c) {
    for (int v : {c, c == 1 ? 0x00 : 0x11}) header.push_back(static_cast<uint8_t>(v));
  }
  for (int v : {0, kCoefficients - 1, 0}) header.push_back(static_cast<uint8_t>(v));
  Segment(kJpegSos, header);

  BitWriter writer(bytes_);
  const int blocksX = width / kBlock, blocksY = height / kBlock;
  int previous[kMaxComponents] = {0, 0, 0};
  uint32_t noise = seed;
  for (int by = 0; by < blocksY; ++by) {
    for (int bx = 0; bx < blocksX; ++bx) {
      const auto levels = BlockYCbCr(bx, by, blocksX, blocksY, seed);
      for (int c = 0; c < components; ++c) {
        const int table = c == 0 ? 0 : 1;
        const int quant = table == 0 ? kLumaQuant[0] : kChromaQuant[0];
        const int dc = static_cast<int>(
            std::lround(static_cast<double>(kDcScale * (levels[c] - kLevelShift)) / quant));
        const int diff = dc - previous[c];
        previous[c] = dc;
        const int category = Category(diff);
        writer.Put(kDcCodes[table][category].bits, kDcCodes[table][category].length);
        if (category) {
          const int extra = diff >= 0 ? diff : diff + (1 << category) - 1;
          writer.Put(static_cast<uint32_t>(extra), category);
        }
        const Code& one = kAcCodes[table][kRunZeroSizeOne];
        for (int k = 0; k < acNoise; ++k) {
          noise = noise * 1103515245u + 12345u;
          writer.Put(one.bits, one.length);
          writer.Put((noise >> 16) & 1u, 1);  // the sign
        }
        if (acNoise < kCoefficients - 1) {
          writer.Put(kAcCodes[table][kEndOfBlock].bits, kAcCodes[table][kEndOfBlock].length);
        }
      }
    }
  }
  writer.Flush();
  return *this;
}

Bytes EncodeJpeg(const JpegRequest& request) {
  JpegWriter head;
  head.Marker(kJpegSoi);
  if (!request.tiff.empty()) head.Exif(request.tiff);
  JpegWriter tail;
  tail.Tables().Frame(kJpegSof0, request.width, request.height);
  tail.Scan(request.width, request.height, request.seed).Marker(kJpegEoi);
  const size_t natural = head.bytes().size() + tail.bytes().size();
  if (request.padTo > natural) head.Pad(request.padTo - natural);
  return head.Raw(tail.bytes()).Take();
}

void WriteRaw(uint8_t* out, size_t total, const Bytes& jpeg, uint32_t frame,
              const std::string& model) {
  std::memset(out, 0, kRawHeaderBytes);
  std::memcpy(out, kRawSignature, 4);
  out[4] = static_cast<uint8_t>(kRawVersion >> 8);
  out[5] = static_cast<uint8_t>(kRawVersion);
  PutBig32(out + kRawFrameField, frame);
  std::memcpy(out + kRawModelField, model.data(), std::min(model.size(), kRawModelBytes - 1));
  PutBig32(out + kRawJpegOffsetField, static_cast<uint32_t>(kRawHeaderBytes));
  PutBig32(out + kRawJpegLengthField, static_cast<uint32_t>(jpeg.size()));
  PutBig32(out + kRawTotalSizeField, static_cast<uint32_t>(total));
  std::memcpy(out + kRawHeaderBytes, jpeg.data(), jpeg.size());

  // Sensor-data stand-in: a block that depends on the frame, then copies of what is written, so
  // even a raw of tens of megabytes costs little more than touching its memory.
  const size_t start = kRawHeaderBytes + jpeg.size();
  if (start >= total) return;
  uint8_t* payload = out + start;
  const size_t length = total - start;
  const size_t first = std::min(kFillerBlock, length);
  for (size_t i = 0; i < first; ++i)
    payload[i] = static_cast<uint8_t>((i * 131u + frame * 7u) >> 2);
  for (size_t filled = first; filled < length;) {
    const size_t chunk = std::min(filled, length - filled);
    std::memcpy(payload + filled, payload, chunk);
    filled += chunk;
  }
}

Bytes RawContainer(const Bytes& jpeg, size_t total, uint32_t frame) {
  Bytes raw(std::max(total, kRawHeaderBytes + jpeg.size()));
  WriteRaw(raw.data(), raw.size(), jpeg, frame, "OV-1");
  return raw;
}

}  // namespace zepasim
