// JPEG marker walk, segment handlers and the Exif/APP2 handlers, and the survey of what a
// parse depends on. The frame check validates the whole marker chain up to the scan before any
// handler runs, so the handlers only ever seek to segment ends that lie inside the data.
#include "transfer/exif/jpeg_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace brelon::exif {
namespace {

constexpr uint16_t kMarkerFill = 0xFFFF;
constexpr uint16_t kMarkerSof0 = 0xFFC0;
constexpr uint16_t kMarkerDht = 0xFFC4;
constexpr uint16_t kMarkerSoi = 0xFFD8;
constexpr uint16_t kMarkerEoi = 0xFFD9;
constexpr uint16_t kMarkerSos = 0xFFDA;
constexpr uint16_t kMarkerDqt = 0xFFDB;
constexpr uint16_t kMarkerDri = 0xFFDD;
constexpr uint16_t kMarkerApp1 = 0xFFE1;
constexpr uint16_t kMarkerApp2 = 0xFFE2;
constexpr uint8_t kCodeFill = 0xFF;
constexpr uint8_t kCodeSof0 = 0xC0;
constexpr uint8_t kCodeSos = 0xDA;
constexpr uint8_t kCodeApp1 = 0xE1;
// A marker and the length field after it.
constexpr uint64_t kMarkerHeadBytes = 4;

// An APP1 segment opens with "Exif", a zero byte and one more byte of any value; a length that
// covers no more than its own field and these six bytes holds no Exif block.
constexpr size_t kExifIdentifierBytes = 6;
constexpr uint16_t kEmptyExifSegmentLength = 2 + kExifIdentifierBytes;

bool IsExifIdentifier(const uint8_t* identifier) {
  return std::memcmp(identifier, "Exif\0", 5) == 0;
}

// The marker chain from the start of the image to the end of the first scan header, stepped
// over by the lengths the segments give; no segment is parsed.
struct MarkerChain {
  bool baseline = false;   // a SOF0 frame header lies on the chain
  bool exifBlock = false;  // so does an APP1 segment that the Exif handler would take
  // End of the first scan header, at least its marker and length field; 0 when fill bytes ran
  // to the end of the data first.
  uint64_t scanEnd = 0;
};

// kExifOk, or kExifNotBaseline for a broken chain. `read(position, count, destination)` copies
// `count` bytes from `position` of data of `size` bytes; the walk asks only for bytes it has
// checked to lie inside `size`. The frame check is this walk plus the SOF0 requirement.
template <typename Read>
uint16_t WalkChain(uint64_t size, Read read, MarkerChain* chain) {
  *chain = {};
  uint8_t soi[2];
  if (size < 2 || !read(0, 2, soi) || soi[0] != 0xFF || soi[1] != 0xD8) return kExifNotBaseline;
  MarkerChain found;
  uint64_t position = 2;
  for (;;) {
    uint8_t b[kMarkerHeadBytes];
    if (size < position + kMarkerHeadBytes || !read(position, kMarkerHeadBytes, b) ||
        b[0] != 0xFF) {
      return kExifNotBaseline;
    }
    if (b[1] == kCodeFill) {
      // A fill byte: the marker proper starts one byte later.
      ++position;
      if (position >= size - (kMarkerHeadBytes - 1)) break;
      continue;
    }
    const uint64_t marker = position;
    const uint16_t length = static_cast<uint16_t>(b[2] << 8 | b[3]);
    position += 2 + uint64_t{length};
    if (size < position) return kExifNotBaseline;
    if (b[1] == kCodeSof0) {
      found.baseline = true;
    } else if (b[1] == kCodeApp1) {
      uint8_t identifier[kExifIdentifierBytes];
      found.exifBlock =
          found.exifBlock || (length > kEmptyExifSegmentLength &&
                              read(marker + kMarkerHeadBytes, sizeof(identifier), identifier) &&
                              IsExifIdentifier(identifier));
    } else if (b[1] == kCodeSos) {
      found.scanEnd = std::max(position, marker + kMarkerHeadBytes);
      break;
    }
  }
  *chain = found;
  return kExifOk;
}

// The walk over `size` bytes at `bytes`.
uint16_t WalkMarkerChain(const uint8_t* bytes, uint64_t size, MarkerChain* chain) {
  auto read = [bytes](uint64_t position, uint64_t count, uint8_t* destination) {
    std::memcpy(destination, bytes + position, static_cast<size_t>(count));
    return true;
  };
  return WalkChain(size, read, chain);
}

// The walk over `stream`; a memory stream's bytes are read in place.
uint16_t WalkMarkerChain(ByteStream* stream, MarkerChain* chain) {
  if (MemoryStream* m = detail::MemoryOf(stream)) return WalkMarkerChain(m->base, m->size, chain);
  auto read = [stream](uint64_t position, uint64_t count, uint8_t* destination) {
    return StreamSeek(stream, position) == kExifOk &&
           StreamRead(stream, count, destination) == kExifOk;
  };
  return WalkChain(StreamSize(stream), read, chain);
}

// The frame check: the walk, a SOF0 on the chain, and the stream back at the first segment.
uint16_t CheckFrame(ByteStream* stream, MarkerChain* chain) {
  if (WalkMarkerChain(stream, chain) != kExifOk || !chain->baseline) return kExifNotBaseline;
  return StreamSeek(stream, 2) == kExifOk ? kExifOk : kExifNotBaseline;
}

}  // namespace

JpegReader::~JpegReader() {
  Release();
}

const uint16_t* JpegReader::quantTable(int selector) const {
  return (selector >= 0 && selector < 4 && quantDefined_[selector]) ? quant_[selector] : nullptr;
}

void JpegReader::ClearFrame() {
  height_ = 0;
  width_ = 0;
  restartInterval_ = 0;
}

void JpegReader::FreeTables() {
  for (int i = 0; i < 4; ++i) quantDefined_[i] = false;
  for (int i = 0; i < kHuffmanTableSlots; ++i) {
    huffmanHeap_[i].reset();
    huffmanData_[i] = nullptr;
    huffmanSize_[i] = 0;
  }
}

void JpegReader::Release() {
  ifds_.Clear();
  exifHeader_.reset();
  exifWindow_.reset();
  FreeTables();
}

uint16_t JpegReader::ReadByte(uint8_t* value) {
  return StreamRead(source_, 1, value);
}

uint16_t JpegReader::ReadBig16(uint16_t* value) {
  uint8_t b[2];
  uint16_t error = StreamRead(source_, 2, b);
  if (error == kExifOk) *value = static_cast<uint16_t>(b[0] << 8 | b[1]);
  return error;
}

// The length field counts itself, so the segment ends at the field's position plus its value.
uint16_t JpegReader::ReadLength(uint64_t* segmentEnd, uint16_t* length) {
  const uint64_t lengthPosition = StreamTell(source_);
  uint16_t error = ReadBig16(length);
  *segmentEnd = lengthPosition + *length;
  return error;
}

uint16_t JpegReader::ReadMarker(uint16_t* marker) {
  const uint64_t size = StreamSize(source_);
  for (;;) {
    uint16_t error = ReadBig16(marker);
    if (error != kExifOk) return error;
    if (*marker != kMarkerFill) return kExifOk;
    const uint64_t next = StreamTell(source_) - 1;
    if (next >= size - 1) return kExifNotBaseline;
    error = StreamSeek(source_, next);
    if (error != kExifOk) return error;
  }
}

uint16_t JpegReader::HandleFrameHeader() {
  uint64_t end = 0;
  uint16_t length = 0, height = 0, width = 0;
  uint8_t precision = 0, count = 0;
  uint16_t error = ReadLength(&end, &length);
  if (error == kExifOk) error = ReadByte(&precision);
  if (error == kExifOk) error = ReadBig16(&height);
  if (error == kExifOk) error = ReadBig16(&width);
  if (error == kExifOk) error = ReadByte(&count);
  if (error != kExifOk) return error;
  if (precision != 8 || height == 0 || width == 0) return kExifBadSegment;
  if (count != 1 && count != 3) return kExifUnsupportedComponents;

  FrameComponent components[kMaxFrameComponents] = {};
  uint8_t maxHorizontal = 1, maxVertical = 1;
  for (uint8_t i = 0; i < count; ++i) {
    uint8_t c[3];
    error = StreamRead(source_, 3, c);
    if (error != kExifOk) return error;
    const uint8_t h = c[1] >> 4, v = c[1] & 0x0F;
    if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return kExifBadSegment;
    components[i] = {c[0], h, v, c[2]};
    if (h > maxHorizontal) maxHorizontal = h;
    if (v > maxVertical) maxVertical = v;
  }
  height_ = height;
  width_ = width;
  componentCount_ = count;
  std::memcpy(components_, components, sizeof(components_));
  maxHorizontal_ = maxHorizontal;
  maxVertical_ = maxVertical;
  return StreamSeek(source_, end);
}

uint16_t JpegReader::HandleHuffmanTables() {
  uint64_t end = 0;
  uint16_t length = 0;
  uint16_t error = ReadLength(&end, &length);
  while (error == kExifOk && StreamTell(source_) < end) {
    uint8_t classAndId = 0;
    uint8_t counts[16];
    error = ReadByte(&classAndId);
    if (error != kExifOk) break;
    const uint8_t tableClass = classAndId >> 4, id = classAndId & 0x0F;
    if (tableClass > 1 || id > 1) return kExifBadSegment;
    error = StreamRead(source_, 16, counts);
    if (error != kExifOk) break;
    size_t symbols = 0;
    for (uint8_t n : counts) symbols += n;
    // The old table goes first: a failed read ends the parse, which frees the tables anyway.
    const int slot = tableClass + 2 * id;
    huffmanHeap_[slot].reset();
    huffmanData_[slot] = nullptr;
    huffmanSize_[slot] = 0;
    uint8_t* table = huffmanInline_[slot];
    if (symbols > kInlineHuffmanSymbols) {
      huffmanHeap_[slot].reset(new (std::nothrow) uint8_t[kHuffmanCountBytes + symbols]);
      if (!huffmanHeap_[slot]) return kExifOutOfMemory;
      table = huffmanHeap_[slot].get();
    }
    std::memcpy(table, counts, kHuffmanCountBytes);
    error = StreamRead(source_, symbols, table + kHuffmanCountBytes);
    if (error == kExifOk) {
      huffmanData_[slot] = table;
      huffmanSize_[slot] = kHuffmanCountBytes + symbols;
    }
  }
  if (error != kExifOk) return error;
  return StreamTell(source_) == end ? kExifOk : kExifBadSegment;
}

uint16_t JpegReader::HandleQuantTables() {
  uint64_t end = 0;
  uint16_t length = 0;
  uint16_t error = ReadLength(&end, &length);
  while (error == kExifOk && StreamTell(source_) < end) {
    uint8_t precisionAndSelector = 0;
    uint8_t values[64];
    error = ReadByte(&precisionAndSelector);
    if (error != kExifOk) break;
    const uint8_t precision = precisionAndSelector >> 4, selector = precisionAndSelector & 0x0F;
    if (precision != 0 || selector > 3) return kExifBadSegment;
    error = StreamRead(source_, 64, values);
    if (error != kExifOk) break;
    for (int i = 0; i < 64; ++i) quant_[selector][i] = values[i];
    quantDefined_[selector] = true;
  }
  if (error != kExifOk) return error;
  return StreamTell(source_) == end ? kExifOk : kExifBadSegment;
}

uint16_t JpegReader::HandleSegment(uint16_t marker) {
  if ((marker & 0xFF00) != 0xFF00) return kExifBadSegment;
  uint64_t end = 0;
  uint16_t length = 0;
  switch (marker) {
    case kMarkerSof0:
      return HandleFrameHeader();
    case kMarkerDht:
      return HandleHuffmanTables();
    case kMarkerSoi:
    case kMarkerEoi:
      return kExifBadSegment;
    case kMarkerSos:
      scanStart_ = StreamTell(source_);
      return kExifOk;
    case kMarkerDqt:
      return HandleQuantTables();
    case kMarkerDri: {
      uint16_t interval = 0;
      uint16_t error = ReadLength(&end, &length);
      if (error == kExifOk) error = ReadBig16(&interval);
      if (error != kExifOk) return error;
      if (length != 4) return kExifBadSegment;
      restartInterval_ = interval;
      return kExifOk;
    }
    default: {
      uint16_t error = ReadLength(&end, &length);
      return error == kExifOk ? StreamSeek(source_, end) : error;
    }
  }
}

uint16_t JpegReader::HandleExif() {
  uint64_t end = 0;
  uint16_t length = 0;
  uint16_t error = ReadLength(&end, &length);
  if (error != kExifOk) return error;
  // Only the first Exif block counts; later ones (and XMP or other APP1 data) are skipped.
  if (exifHeader_ || length <= kEmptyExifSegmentLength) return StreamSeek(source_, end);
  uint8_t identifier[kExifIdentifierBytes];
  error = StreamRead(source_, sizeof(identifier), identifier);
  if (error != kExifOk) return error;
  if (!IsExifIdentifier(identifier)) return StreamSeek(source_, end);

  WindowStreamInit(&exifWindow_.emplace(), source_, StreamTell(source_));
  exifHeader_.emplace(&exifWindow_->stream);
  error = ParseIfdSet(&*exifHeader_, &ifds_, IfdParseMode::kFull);
  if (error != kExifOk) {
    exifHeader_.reset();
    exifWindow_.reset();
    return error;
  }
  return StreamSeek(source_, end);
}

uint16_t JpegReader::HandleApp2() {
  uint64_t end = 0;
  uint16_t length = 0;
  uint16_t error = ReadLength(&end, &length);
  if (error != kExifOk) return error;
  // A length below 2 cannot even cover its own field; treat it like the empty segment.
  if (app2Count_ >= kMaxApp2Records || length < 2) return kExifOutOfRange;
  const uint64_t dataPosition = end - length + 2;
  if (dataPosition > UINT32_MAX) return kExifOutOfRange;
  app2_[app2Count_++] = {static_cast<uint32_t>(dataPosition), static_cast<uint16_t>(length - 2)};
  return StreamSeek(source_, end);
}

uint16_t JpegReader::CheckQuantSelectors() const {
  for (uint8_t i = 0; i < componentCount_ && i < kMaxFrameComponents; ++i) {
    if (!quantDefined_[components_[i].quantSelector]) return kExifBadSegment;
  }
  return kExifOk;
}

uint16_t JpegReader::Parse() {
  MarkerChain chain;
  return ParseAfterFrameCheck(CheckFrame(source_, &chain));
}

uint16_t JpegReader::ParseAfterFrameCheck(uint16_t frameCheck) {
  Release();
  ClearFrame();
  uint16_t error = frameCheck;
  uint16_t marker = 0;
  while (error == kExifOk) {
    error = ReadMarker(&marker);
    if (error != kExifOk) break;
    if (marker == kMarkerApp1) {
      error = HandleExif();
    } else if (marker == kMarkerApp2) {
      error = HandleApp2();
    } else {
      error = HandleSegment(marker);
    }
    if (marker == kMarkerSos) break;
  }
  if (error == kExifOk) error = CheckQuantSelectors();
  if (error == kExifOk && !exifHeader_) error = kExifNoExif;
  if (error != kExifOk) Release();
  return error;
}

uint16_t JpegReader::ScanFrame() {
  ClearFrame();
  MarkerChain chain;
  uint16_t error = CheckFrame(source_, &chain);
  uint16_t marker = 0;
  while (error == kExifOk) {
    error = ReadMarker(&marker);
    if (error == kExifOk) error = HandleSegment(marker);
    if (marker == kMarkerSos) break;
  }
  if (error == kExifOk) error = CheckQuantSelectors();
  if (error != kExifOk) FreeTables();
  return error;
}

uint64_t JpegReader::ValueExtent() const {
  if (!exifWindow_) return 0;
  const uint64_t size = StreamSize(source_);
  uint64_t extent = 0;
  for (const Ifd* ifd :
       {ifd0(), ifd1(), exifIfd(), gpsIfd(), ifd1ExifIfd(), ifd1GpsIfd(), interopIfd()}) {
    for (uint16_t i = 0; ifd && i < ifd->entryCount(); ++i) {
      const IfdEntry& e = ifd->entries()[i];
      const uint64_t bytes = uint64_t{TiffTypeSize(e.type)} * e.count;
      // A value outside the source cannot be read from any copy of it either.
      const uint64_t end = exifWindow_->base + e.value + bytes;
      if (bytes > kInlineValueBytes && end <= size) extent = std::max(extent, end);
    }
  }
  return extent;
}

JpegSurvey SurveyJpeg(const uint8_t* data, uint64_t length, MemoryStream* stream,
                      std::optional<JpegReader>* parsed) {
  parsed->reset();
  MarkerChain chain;
  const bool walked = WalkMarkerChain(data, length, &chain) == kExifOk;
  JpegSurvey survey{chain.scanEnd, false};
  // Parse starts with the frame check, which is this walk, and the Exif block it requires can
  // only be one on the chain.
  if (!walked || !chain.baseline || !chain.exifBlock) {
    survey.parseFails = true;
    return survey;
  }
  // The frame check has passed, and the parse goes on from the first segment. The parser never
  // writes, so the stream may stand on the caller's constant bytes.
  MemoryStreamInit(stream, const_cast<uint8_t*>(data), &length, false);
  const uint16_t error = StreamSeek(&stream->stream, 2) == kExifOk
                             ? parsed->emplace(&stream->stream).ParseAfterFrameCheck(kExifOk)
                             : uint16_t{kExifNotBaseline};
  if (error == kExifOutOfMemory) {
    // A later attempt may get further and read anything.
    parsed->reset();
    survey.extent = length;
    return survey;
  }
  survey.extent = std::max(survey.extent, stream->reach);
  if (error != kExifOk) {
    parsed->reset();
    survey.parseFails = true;
    return survey;
  }
  survey.extent = std::max(survey.extent, (*parsed)->ValueExtent());
  return survey;
}

}  // namespace brelon::exif
