// The JPEG reader: walks the marker chain of a baseline JPEG, captures its frame header,
// quantisation and Huffman tables, lists its APP2 segments and parses the first APP1 Exif
// block into an IFD set. The image data itself is never decoded. Also tells how much of a JPEG
// in memory the parse depends on, so that a copy can stop there.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "transfer/exif/byte_stream.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {

constexpr uint32_t kMaxApp2Records = 512;
constexpr int kMaxFrameComponents = 3;
constexpr int kHuffmanTableSlots = 4;
constexpr size_t kHuffmanCountBytes = 16;
// A baseline table has at most 256 symbols; only a malformed one needs the heap.
constexpr size_t kInlineHuffmanSymbols = 256;

struct FrameComponent {
  uint8_t id;
  uint8_t horizontalFactor;
  uint8_t verticalFactor;
  uint8_t quantSelector;
};

struct App2Record {
  uint32_t position;  // of the segment data, just after its length field
  uint16_t length;    // segment length minus the 2 bytes of the length field
};

// What a JPEG reader depends on of a JPEG in memory.
struct JpegSurvey {
  // Leading bytes of the data that hold everything the walk and the parse read or checked and
  // every tag value the parsed IFDs point at: through the end of the first scan header, and
  // further where the parse read on or a value lies. A copy of just these bytes parses and
  // reads exactly as the whole data does.
  uint64_t extent = 0;
  // Parse fails on the data, as on a copy of `extent` bytes: the marker chain proved it, or
  // the survey parsed.
  bool parseFails = false;
};

class JpegReader {
 public:
  explicit JpegReader(ByteStream* source) : source_(source) {}
  ~JpegReader();
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  // Full parse up to the scan; an APP1 Exif block is required. A failure releases everything.
  uint16_t Parse();
  // The marker pass alone: frame header and tables, no Exif requirement.
  uint16_t ScanFrame();
  // Frees the IFD set, the Exif window and header, and the tables.
  void Release();

  const IfdSet& ifds() const { return ifds_; }
  Ifd* ifd0() const { return ifds_.ifd0.get(); }
  Ifd* ifd1() const { return ifds_.ifd1.get(); }
  Ifd* exifIfd() const { return ifds_.exif.get(); }
  Ifd* gpsIfd() const { return ifds_.gps.get(); }
  Ifd* ifd1ExifIfd() const { return ifds_.ifd1Exif.get(); }
  Ifd* ifd1GpsIfd() const { return ifds_.ifd1Gps.get(); }
  Ifd* interopIfd() const { return ifds_.interop.get(); }

  uint16_t height() const { return height_; }
  uint16_t width() const { return width_; }
  uint8_t componentCount() const { return componentCount_; }
  const FrameComponent& component(int i) const { return components_[i]; }
  uint8_t maxHorizontalFactor() const { return maxHorizontal_; }
  uint8_t maxVerticalFactor() const { return maxVertical_; }
  uint16_t restartInterval() const { return restartInterval_; }
  uint64_t scanStart() const { return scanStart_; }
  // Null when the table was never defined.
  const uint16_t* quantTable(int selector) const;
  // The 16 code-length counts followed by the symbols; empty when never defined. Index is
  // class + 2 x identifier.
  std::span<const uint8_t> huffmanTable(int index) const {
    return {huffmanData_[index], huffmanSize_[index]};
  }
  uint32_t app2Count() const { return app2Count_; }
  const App2Record& app2Record(uint32_t i) const { return app2_[i]; }

 private:
  void ClearFrame();
  void FreeTables();
  // Parse, once the frame check has given `frameCheck`.
  uint16_t ParseAfterFrameCheck(uint16_t frameCheck);
  // End (from the start of the source) of the furthest tag value held outside its entry that
  // the IFD set points at inside the source; 0 without one.
  uint64_t ValueExtent() const;
  uint16_t ReadMarker(uint16_t* marker);
  uint16_t HandleSegment(uint16_t marker);
  uint16_t HandleFrameHeader();
  uint16_t HandleHuffmanTables();
  uint16_t HandleQuantTables();
  uint16_t HandleExif();
  uint16_t HandleApp2();
  uint16_t CheckQuantSelectors() const;
  uint16_t ReadLength(uint64_t* segmentEnd, uint16_t* length);
  uint16_t ReadByte(uint8_t* value);
  uint16_t ReadBig16(uint16_t* value);

  ByteStream* source_;
  IfdSet ifds_;

  uint16_t height_ = 0;
  uint16_t width_ = 0;
  uint8_t componentCount_ = 0;
  FrameComponent components_[kMaxFrameComponents] = {};
  uint8_t maxHorizontal_ = 1;
  uint8_t maxVertical_ = 1;
  uint16_t quant_[4][64];  // valid where quantDefined_ is set
  bool quantDefined_[4] = {};
  // Each table lives in its inline slot unless it is too long for it.
  uint8_t huffmanInline_[kHuffmanTableSlots][kHuffmanCountBytes + kInlineHuffmanSymbols];
  std::unique_ptr<uint8_t[]> huffmanHeap_[kHuffmanTableSlots];
  const uint8_t* huffmanData_[kHuffmanTableSlots] = {};
  size_t huffmanSize_[kHuffmanTableSlots] = {};
  uint16_t restartInterval_ = 0;
  uint64_t scanStart_ = 0;

  // Held in place rather than on the heap: one reader parses at most one Exif block.
  std::optional<WindowStream> exifWindow_;
  std::optional<TiffHeader> exifHeader_;

  // Only the first app2Count_ records are ever read, so the array is left uninitialised.
  App2Record app2_[kMaxApp2Records];
  uint32_t app2Count_ = 0;

  friend JpegSurvey SurveyJpeg(const uint8_t* data, uint64_t length, MemoryStream* stream,
                               std::optional<JpegReader>* parsed);
};

// Walks the marker chain of the JPEG of `length` bytes at `data` and, when an Exif block lies
// on it, parses the JPEG where it lies through `stream`, which it opens over the data. A
// successful parse is handed over in `parsed` (a reader on `stream`), so that it need not be
// made again.
JpegSurvey SurveyJpeg(const uint8_t* data, uint64_t length, MemoryStream* stream,
                      std::optional<JpegReader>* parsed);

}  // namespace brelon::exif
