// TIFF structures of the parser: the header with the file's byte order, IFDs and their
// entries, the set of IFDs an Exif block links together, the IFD0 tag-description table, and
// the TIFF reader that parses a stand-alone TIFF block (the camera's maker note).
#pragma once

#include <cstdint>
#include <memory>

#include "transfer/exif/byte_stream.h"

namespace brelon::exif {

enum TiffType : uint16_t {
  kTypeByte = 1,
  kTypeAscii = 2,
  kTypeShort = 3,
  kTypeLong = 4,
  kTypeRational = 5,
  kTypeSByte = 6,
  kTypeUndefined = 7,
  kTypeSShort = 8,
  kTypeSLong = 9,
  kTypeSRational = 10,
  kTypeFloat = 11,
  kTypeDouble = 12,
};

// Bytes per value of a TIFF field type; 0 for type 0 and types above 12.
inline uint32_t TiffTypeSize(uint16_t type) {
  static constexpr uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}
// Values of up to this many bytes live in the entry's own value field.
constexpr uint64_t kInlineValueBytes = 4;

constexpr uint16_t kByteOrderIntel = 0x4949;     // "II"
constexpr uint16_t kByteOrderMotorola = 0x4D4D;  // "MM"
constexpr uint32_t kMaxIfdEntries = 2048;
// IFDs of camera files hold a few dozen entries at most; up to this many (plus the read
// marker slot) live inside the IFD object, so reading one costs no separate allocation.
constexpr uint32_t kInlineIfdEntries = 48;

constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;

class TiffHeader {
 public:
  explicit TiffHeader(ByteStream* stream) : stream_(stream) {}

  // Reads byte order, magic and first-IFD offset, and checks that IFD0's entry table fits.
  uint16_t ReadHeader();

  // Read `n` values at the stream position, converting from the file's byte order. The
  // destination may be unaligned.
  uint16_t ReadShorts(void* destination, uint64_t n);
  uint16_t ReadLongs(void* destination, uint64_t n);
  uint16_t ReadRaw(void* destination, uint64_t n);

  ByteStream* stream() const { return stream_; }
  uint16_t hostByteOrder() const { return kByteOrderIntel; }
  uint16_t fileByteOrder() const { return fileByteOrder_; }
  uint32_t firstIfdOffset() const { return firstIfdOffset_; }

 private:
  ByteStream* stream_;
  uint16_t fileByteOrder_ = 0;
  uint32_t firstIfdOffset_ = 0;
};

// 12 bytes, as in the file. `value` holds an inline SHORT/SSHORT pair or LONG/SLONG in host
// order, other inline values in the file's bytes, and otherwise the value's offset from the
// TIFF header.
struct IfdEntry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value;
};
static_assert(sizeof(IfdEntry) == 12);

class Ifd {
 public:
  explicit Ifd(TiffHeader* header) : header_(header) {}
  // The entries may point into the object itself.
  Ifd(const Ifd&) = delete;
  Ifd& operator=(const Ifd&) = delete;

  uint16_t Read(uint32_t offset);

  const IfdEntry* FindTag(uint16_t tag) const;
  uint16_t TagType(uint16_t tag) const;
  uint32_t TagCount(uint16_t tag) const;
  uint64_t TagByteSize(uint16_t tag) const;
  // True when the tag is present and its value bytes lie inside the stream, so a caller can
  // size a buffer from the untrusted count without allocating for bytes that do not exist.
  bool TagValueAvailable(uint16_t tag) const;

  // Copies the value into `destination` (at most `capacity` bytes, else kExifOutOfRange), with
  // 16- and 32-bit numbers in host order and everything else as stored.
  uint16_t ReadTag(uint16_t tag, void* destination, uint64_t capacity) const;
  // SHORT or LONG values widened to 32 bits; `capacity` counts 32-bit values.
  uint16_t ReadTagAsLong(uint16_t tag, uint32_t* destination, uint64_t capacity) const;

  uint32_t offset() const { return offset_; }
  uint16_t entryCount() const { return entryCount_; }
  const IfdEntry* entries() const { return entries_; }
  uint32_t nextIfdOffset() const { return nextIfdOffset_; }

 private:
  void Clear();

  TiffHeader* header_;
  uint32_t offset_ = 0;
  uint16_t entryCount_ = 0;
  // Null until read; then inlineEntries_ or heapEntries_.
  IfdEntry* entries_ = nullptr;
  std::unique_ptr<IfdEntry[]> heapEntries_;
  uint32_t nextIfdOffset_ = 0;
  IfdEntry inlineEntries_[kInlineIfdEntries + 1];
};

struct IfdSet {
  std::unique_ptr<Ifd> ifd0;
  std::unique_ptr<Ifd> ifd1;
  std::unique_ptr<Ifd> exif;
  std::unique_ptr<Ifd> gps;
  std::unique_ptr<Ifd> ifd1Exif;
  std::unique_ptr<Ifd> ifd1Gps;
  std::unique_ptr<Ifd> interop;

  void Clear();
};

enum class IfdParseMode {
  kFull,     // the Exif IFD is required
  kIfdOnly,  // IFD0 and what hangs off it, without the Exif IFD
};

// Reads the header and every IFD it links. On failure all seven IFDs are freed.
uint16_t ParseIfdSet(TiffHeader* header, IfdSet* set, IfdParseMode mode);

// Tag-description rows: the low 14 bits of `type` are a TIFF type (0 = read as 32-bit
// numbers), the top two bits are flags.
constexpr uint16_t kTagTypeMask = 0x3FFF;
constexpr uint16_t kTagFlagAnyCount = 0x8000;  // texts and the like: the count is not checked

struct TagDescription {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  const void* defaultValue;  // type size x count bytes in host order, or null
};

// IFD0 tags, ending with a zero row.
extern const TagDescription kIfd0Tags[];

// Reads `tag` as its row in `table` describes it, or the row's default when the IFD lacks it.
uint16_t LookupTag(const Ifd& ifd, const TagDescription* table, uint16_t tag, void* destination,
                   uint64_t capacity);

class TiffReader {
 public:
  explicit TiffReader(ByteStream* stream) : stream_(stream), header_(stream) {}

  // IFD-only parse of the whole stream as one TIFF block.
  uint16_t ParseIfds();

  const IfdSet& ifds() const { return ifds_; }
  Ifd* ifd0() const { return ifds_.ifd0.get(); }
  const TiffHeader& header() const { return header_; }

 private:
  ByteStream* stream_;
  IfdSet ifds_;
  TiffHeader header_;
};

}  // namespace brelon::exif
