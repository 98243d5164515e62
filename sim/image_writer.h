// The one writer of camera images: TIFF blocks in either byte order (any IFD layout, forged
// fields included), the camera's maker note, JPEG segments with a small baseline encoder, and the
// raw container around a JPEG. The simulator writes its shots with it, and the tests, fuzz seeds
// and benchmarks write their images with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace zepasim {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kTagFrameNumber = 0x1438;
constexpr uint16_t kTagCameraPath = 0x1439;
constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;
// Byte offset of the note's IFD from the note's start; stored in bytes 8-11 of the note.
constexpr uint32_t kMakerNoteIfdOffset = 12;
constexpr char kMakerNoteSignature[] = "ORVANTIS";  // first 8 bytes of every note

enum TiffType : uint16_t {
  kTiffByte = 1,
  kTiffAscii,
  kTiffShort,
  kTiffLong,
  kTiffRational,
  kTiffSByte,
  kTiffUndefined,
  kTiffSShort,
  kTiffSLong,
  kTiffSRational,
  kTiffFloat,
  kTiffDouble,
};

// Bytes one value of `type` takes in a file; 0 for a type the format does not define.
uint32_t TiffTypeBytes(uint16_t type);

// One IFD entry. `value` holds little-endian units of `unit` bytes, swapped for a big-endian
// block; `field`, when set, is written as the value field instead (forged offsets and types).
struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  Bytes value{};
  uint8_t unit = 1;
  std::optional<uint32_t> field{};
};

// Numbers of any defined type, one per value; a rational takes two (numerator, denominator).
TiffEntry Numbers(uint16_t tag, uint16_t type, const std::vector<uint64_t>& numbers);
TiffEntry Short(uint16_t tag, std::initializer_list<uint64_t> numbers);
TiffEntry Long(uint16_t tag, std::initializer_list<uint64_t> numbers);
// The text's bytes as given (zeros included), then a terminator unless `terminate` is false.
TiffEntry Ascii(uint16_t tag, const std::string& text, bool terminate = true);
TiffEntry Undefined(uint16_t tag, const Bytes& bytes);
TiffEntry Forged(uint16_t tag, uint16_t type, uint32_t count, uint32_t field);

struct TiffIfd {
  std::vector<TiffEntry> entries{};  // written in this order
  uint32_t next = 0;                 // written as given, unless the block places IFD1
};

// A TIFF block as an Exif segment carries it: the header, IFD0, then the Exif, interoperability,
// GPS and IFD1 directories that are present, in that order. Each is linked from its parent by a
// LONG pointer tag put in tag order, unless the parent already holds that tag.
struct TiffBlock {
  bool bigEndian = false;
  TiffIfd ifd0{};
  std::optional<TiffIfd> exif = TiffIfd{};
  std::optional<TiffIfd> interop{};
  std::optional<TiffIfd> gps{};
  std::optional<TiffIfd> ifd1{};

  Bytes Build() const;
};

// Appends `ifd` at out.size(): the table, the next-IFD offset and the out-of-line values, each on
// an even offset. Offsets count from `origin`, the position of the block's TIFF header.
void AppendIfd(Bytes& out, size_t origin, const TiffIfd& ifd, bool bigEndian);
// Bytes AppendIfd writes for `ifd`.
size_t IfdBytes(const TiffIfd& ifd);

// The camera's maker note: the signature, the little-endian offset of the note's IFD, zeros up
// to that offset, then the IFD, little-endian with offsets from the note's start.
Bytes MakerNote(const TiffIfd& ifd, uint32_t ifdOffset = kMakerNoteIfdOffset);
// The note's entries: the frame number (SHORT; LONG when asked or above 65535) and the camera
// path as ASCII text (terminated unless `terminate` is false).
TiffIfd CameraNote(uint32_t frame, const std::string& path, bool longFrame = false,
                   bool terminate = true);

struct CameraExif {
  bool bigEndian = false;  // "MM" main block; the maker note stays little-endian
  std::string make = "ORVANTIS";
  std::string model = "OV-1";
  uint32_t width = 64;
  uint32_t height = 48;
  Bytes makerNote{};
};
// IFD0 (make, model, resolution, chroma siting) and the Exif IFD (versions, colour space, pixel
// size, maker note) as the camera writes them.
TiffBlock CameraTiff(const CameraExif& fields);

// Marker-level JPEG assembly; every call appends and returns the writer.
class JpegWriter {
 public:
  JpegWriter& Marker(uint8_t code);
  // A segment whose length field covers the payload and itself.
  JpegWriter& Segment(uint8_t code, const Bytes& payload);
  JpegWriter& Raw(const Bytes& bytes);
  // APP1: the identifier ("Exif" and two zero bytes unless given), then the TIFF block.
  JpegWriter& Exif(const Bytes& tiff, const Bytes& identifier = {'E', 'x', 'i', 'f', 0, 0});
  // Comment segments of exactly `bytes` bytes in all; nothing below one segment header.
  JpegWriter& Pad(size_t bytes);
  // The standard quantisation tables (0 luma, 1 chroma) and the four standard Huffman tables.
  JpegWriter& Tables();
  // A frame header of 1 or 3 components sampled 1x1; the first uses quantisation table 0, the
  // others table 1.
  JpegWriter& Frame(uint8_t code, int width, int height, int components = 3);
  // The scan header and the coded blocks (width and height multiples of 8): each block one flat
  // colour the seed turns, followed by `acNoise` AC coefficients of +1 or -1.
  JpegWriter& Scan(int width, int height, uint32_t seed, int components = 3, int acNoise = 0);
  const Bytes& bytes() const { return bytes_; }
  Bytes Take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

constexpr uint8_t kJpegSoi = 0xD8, kJpegEoi = 0xD9, kJpegSof0 = 0xC0, kJpegSos = 0xDA;

struct JpegRequest {
  int width = 64;   // multiple of 8
  int height = 48;  // multiple of 8
  uint32_t seed = 0;
  Bytes tiff{};      // the Exif block's TIFF part; empty: no Exif segment
  size_t padTo = 0;  // pad with comment segments up to this many bytes when larger
};

// SOI, Exif, padding, tables, a three-component SOF0 frame, the scan and EOI.
Bytes EncodeJpeg(const JpegRequest& request);

// The raw container: a header whose big-endian fields give the frame, the model and where the
// embedded JPEG lies (offset at byte 84, length at 88), the JPEG, then sensor-data filler.
constexpr char kRawSignature[] = "QRAW";
constexpr size_t kRawHeaderBytes = 256;  // the embedded JPEG starts here
constexpr size_t kRawJpegOffsetField = 84;
constexpr size_t kRawJpegLengthField = 88;

// Writes the container of `total` bytes (at least the header and the JPEG) to `out`.
void WriteRaw(uint8_t* out, size_t total, const Bytes& jpeg, uint32_t frame,
              const std::string& model);
Bytes RawContainer(const Bytes& jpeg, size_t total = 0, uint32_t frame = 0);

}  // namespace zepasim
