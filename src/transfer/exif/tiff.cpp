// TIFF header, IFD and IFD-set parsing. Every count and offset comes from the file, so each
// one is checked against the stream size (in 64-bit arithmetic) before it is used to seek,
// read or allocate.
#include "transfer/exif/tiff.h"

#include <cstring>
#include <new>

namespace brelon::exif {
namespace {

uint16_t Load16(const uint8_t* p, bool bigEndian) {
  return bigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                   : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t Load32(const uint8_t* p, bool bigEndian) {
  return bigEndian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                   : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

template <typename T>
std::unique_ptr<T> MakeNoThrow(TiffHeader* header) {
  return std::unique_ptr<T>(new (std::nothrow) T(header));
}

// A sub-IFD read failure means the Exif data is unusable, except when memory ran out.
uint16_t AsSubIfdError(uint16_t error) {
  return error == kExifOutOfMemory ? kExifOutOfMemory : kExifNoExif;
}

bool IsLongPointer(const Ifd& ifd, uint16_t tag, uint32_t* value) {
  const IfdEntry* e = ifd.FindTag(tag);
  if (!e || e->type != kTypeLong || e->count != 1) return false;
  return ifd.ReadTag(tag, value, sizeof(*value)) == kExifOk;
}

uint16_t ReadSubIfd(TiffHeader* header, std::unique_ptr<Ifd>* slot, uint32_t offset) {
  *slot = MakeNoThrow<Ifd>(header);
  if (!*slot) return kExifNoExif;
  uint16_t error = (*slot)->Read(offset);
  if (error != kExifOk) slot->reset();
  return error == kExifOk ? uint16_t{kExifOk} : AsSubIfdError(error);
}

const uint16_t kDefaultOrientation = 1;
const uint16_t kDefaultResolutionUnit = 2;  // inches
const uint16_t kDefaultYCbCrPositioning = 1;
const uint32_t kDefaultResolution[2] = {72, 1};

}  // namespace

uint16_t TiffHeader::ReadHeader() {
  if (fileByteOrder_ != 0) return kExifWrongState;
  ByteStream* s = stream_;
  const uint64_t size = StreamSize(s);
  if (size < 8) return kExifBadTiff;
  uint8_t order[2];
  uint16_t error = StreamSeek(s, 0);
  if (error == kExifOk) error = StreamRead(s, 2, order);
  if (error != kExifOk) return error;
  const uint16_t byteOrder = static_cast<uint16_t>(order[0] << 8 | order[1]);
  if (byteOrder != kByteOrderIntel && byteOrder != kByteOrderMotorola) return kExifBadTiff;
  fileByteOrder_ = byteOrder;

  uint16_t magic = 0;
  uint32_t offset = 0;
  uint16_t count = 0;
  error = ReadShorts(&magic, 1);
  if (error == kExifOk) error = ReadLongs(&offset, 1);
  if (error == kExifOk && (magic != 42 || offset < 8 || size < uint64_t{offset} + 2)) {
    error = kExifBadTiff;
  }
  if (error == kExifOk) error = StreamSeek(s, offset);
  if (error == kExifOk) error = ReadShorts(&count, 1);
  if (error == kExifOk && size < uint64_t{offset} + 12 * uint64_t{count} + 6) error = kExifBadTiff;
  if (error != kExifOk) {
    // Leave the header readable again rather than stuck half-initialised.
    fileByteOrder_ = 0;
    return error;
  }
  firstIfdOffset_ = offset;
  return kExifOk;
}

uint16_t TiffHeader::ReadShorts(void* destination, uint64_t n) {
  if (fileByteOrder_ == 0) return kExifWrongState;
  if (n > UINT64_MAX / 2) return kExifOutOfRange;
  uint16_t error = StreamRead(stream_, 2 * n, destination);
  if (error != kExifOk || fileByteOrder_ == hostByteOrder()) return error;
  auto* p = static_cast<uint8_t*>(destination);
  for (uint64_t i = 0; i < n; ++i, p += 2) {
    const uint16_t v = Load16(p, true);
    std::memcpy(p, &v, 2);
  }
  return kExifOk;
}

uint16_t TiffHeader::ReadLongs(void* destination, uint64_t n) {
  if (fileByteOrder_ == 0) return kExifWrongState;
  if (n > UINT64_MAX / 4) return kExifOutOfRange;
  uint16_t error = StreamRead(stream_, 4 * n, destination);
  if (error != kExifOk || fileByteOrder_ == hostByteOrder()) return error;
  auto* p = static_cast<uint8_t*>(destination);
  for (uint64_t i = 0; i < n; ++i, p += 4) {
    const uint32_t v = Load32(p, true);
    std::memcpy(p, &v, 4);
  }
  return kExifOk;
}

uint16_t TiffHeader::ReadRaw(void* destination, uint64_t n) {
  if (fileByteOrder_ == 0) return kExifWrongState;
  return StreamRead(stream_, n, destination);
}

void Ifd::Clear() {
  entries_ = nullptr;
  heapEntries_.reset();
  entryCount_ = 0;
  offset_ = 0;
  nextIfdOffset_ = 0;
}

uint16_t Ifd::Read(uint32_t offset) {
  if (entries_) return kExifWrongState;
  ByteStream* s = header_->stream();
  offset_ = offset;
  uint16_t fileCount = 0;
  // An IFD that starts outside the stream does not fit, like one whose table runs past it.
  uint16_t error =
      uint64_t{offset} + 2 > StreamSize(s) ? uint16_t{kExifBadTiff} : uint16_t{kExifOk};
  if (error == kExifOk) error = StreamSeek(s, offset);
  if (error == kExifOk) error = header_->ReadShorts(&fileCount, 1);
  // Check the whole table against the stream before allocating for it.
  if (error == kExifOk && (fileCount > kMaxIfdEntries ||
                           StreamSize(s) < uint64_t{offset} + 2 + 12 * uint64_t{fileCount} + 4)) {
    error = kExifBadTiff;
  }
  if (error == kExifOk) {
    // One spare slot keeps the pointer non-null for an empty IFD, which marks it as read.
    if (fileCount <= kInlineIfdEntries) {
      entries_ = inlineEntries_;
    } else {
      heapEntries_.reset(new (std::nothrow) IfdEntry[fileCount + 1u]);
      entries_ = heapEntries_.get();
      if (!entries_) error = kExifOutOfMemory;
    }
  }
  // The table and the next-IFD offset arrive in one read into the entry array (an entry is
  // 12 bytes in memory as in the file) and are decoded in place; entry i is decoded before
  // anything is stored at or beyond its slot.
  if (error == kExifOk) error = header_->ReadRaw(entries_, 12 * uint64_t{fileCount} + 4);
  if (error != kExifOk) {
    Clear();
    return error;
  }
  const bool big = header_->fileByteOrder() != header_->hostByteOrder();
  const auto* raw = reinterpret_cast<const uint8_t*>(entries_);
  nextIfdOffset_ = Load32(raw + 12 * size_t{fileCount}, big);
  uint16_t kept = 0;
  for (uint16_t i = 0; i < fileCount; ++i) {
    const uint8_t* r = raw + 12 * size_t{i};
    IfdEntry e{Load16(r, big), Load16(r + 2, big), Load32(r + 4, big), 0};
    const uint32_t typeSize = TiffTypeSize(e.type);
    if (typeSize == 0) continue;  // invalid type: left out, the count shrinks by one
    if (uint64_t{typeSize} * e.count <= kInlineValueBytes &&
        (e.type == kTypeShort || e.type == kTypeSShort)) {
      const uint16_t pair[2] = {Load16(r + 8, big), Load16(r + 10, big)};
      std::memcpy(&e.value, pair, 4);
    } else if (uint64_t{typeSize} * e.count <= kInlineValueBytes && e.type != kTypeLong &&
               e.type != kTypeSLong) {
      std::memcpy(&e.value, r + 8, 4);  // other inline values keep the file's bytes
    } else {
      e.value = Load32(r + 8, big);  // a LONG/SLONG value, or the value's offset
    }
    entries_[kept++] = e;
  }
  entryCount_ = kept;
  // Stable insertion sort: equal tags keep file order, and sorted files cost one pass.
  for (uint16_t i = 1; i < entryCount_; ++i) {
    const IfdEntry e = entries_[i];
    uint16_t j = i;
    for (; j > 0 && entries_[j - 1].tag > e.tag; --j) entries_[j] = entries_[j - 1];
    entries_[j] = e;
  }
  return kExifOk;
}

const IfdEntry* Ifd::FindTag(uint16_t tag) const {
  for (uint16_t i = 0; i < entryCount_; ++i) {
    if (entries_[i].tag == tag) return &entries_[i];
    if (entries_[i].tag > tag) break;
  }
  return nullptr;
}

uint16_t Ifd::TagType(uint16_t tag) const {
  const IfdEntry* e = FindTag(tag);
  return e ? e->type : 0;
}

uint32_t Ifd::TagCount(uint16_t tag) const {
  const IfdEntry* e = FindTag(tag);
  return e ? e->count : 0;
}

uint64_t Ifd::TagByteSize(uint16_t tag) const {
  const IfdEntry* e = FindTag(tag);
  return e ? uint64_t{TiffTypeSize(e->type)} * e->count : 0;
}

bool Ifd::TagValueAvailable(uint16_t tag) const {
  const IfdEntry* e = FindTag(tag);
  if (!e || TiffTypeSize(e->type) == 0) return false;
  const uint64_t bytes = uint64_t{TiffTypeSize(e->type)} * e->count;
  return bytes <= kInlineValueBytes || uint64_t{e->value} + bytes <= StreamSize(header_->stream());
}

uint16_t Ifd::ReadTag(uint16_t tag, void* destination, uint64_t capacity) const {
  const IfdEntry* e = FindTag(tag);
  if (!e) return kExifTagMissing;
  const uint32_t typeSize = TiffTypeSize(e->type);
  if (typeSize == 0) return kExifBadTagType;
  const uint64_t bytes = uint64_t{typeSize} * e->count;
  if (bytes > capacity) return kExifOutOfRange;
  if (bytes <= kInlineValueBytes) {
    // A zero-count tag copies nothing, and may come with a null destination.
    if (bytes != 0) std::memcpy(destination, &e->value, static_cast<size_t>(bytes));
    return kExifOk;
  }
  uint16_t error = StreamSeek(header_->stream(), e->value);
  if (error != kExifOk) return error;
  switch (e->type) {
    case kTypeShort:
    case kTypeSShort:
      return header_->ReadShorts(destination, e->count);
    case kTypeLong:
    case kTypeSLong:
      return header_->ReadLongs(destination, e->count);
    case kTypeRational:
    case kTypeSRational:
      return header_->ReadLongs(destination, 2 * uint64_t{e->count});
    default:
      return header_->ReadRaw(destination, bytes);
  }
}

uint16_t Ifd::ReadTagAsLong(uint16_t tag, uint32_t* destination, uint64_t capacity) const {
  const IfdEntry* e = FindTag(tag);
  if (!e) return kExifTagMissing;
  if (e->type != kTypeShort && e->type != kTypeLong) return kExifBadTagType;
  if (e->count > capacity) return kExifOutOfRange;
  uint16_t error = ReadTag(tag, destination, 4 * uint64_t{e->count});
  if (error != kExifOk || e->type == kTypeLong) return error;
  // Widen from the back so that no 16-bit value is overwritten before it is read.
  auto* bytes = reinterpret_cast<uint8_t*>(destination);
  for (uint32_t i = e->count; i-- > 0;) {
    uint16_t v;
    std::memcpy(&v, bytes + 2 * uint64_t{i}, 2);
    const uint32_t wide = v;
    std::memcpy(bytes + 4 * uint64_t{i}, &wide, 4);
  }
  return kExifOk;
}

void IfdSet::Clear() {
  ifd0.reset();
  ifd1.reset();
  exif.reset();
  gps.reset();
  ifd1Exif.reset();
  ifd1Gps.reset();
  interop.reset();
}

uint16_t ParseIfdSet(TiffHeader* header, IfdSet* set, IfdParseMode mode) {
  set->Clear();
  uint16_t error = header->ReadHeader();
  if (error != kExifOk) return error;

  auto fail = [set](uint16_t code) {
    set->Clear();
    return code;
  };

  set->ifd0 = MakeNoThrow<Ifd>(header);
  if (!set->ifd0) return fail(kExifOutOfMemory);
  error = set->ifd0->Read(header->firstIfdOffset());
  if (error != kExifOk) return fail(error);
  const Ifd& ifd0 = *set->ifd0;

  if (mode == IfdParseMode::kFull) {
    uint32_t exifOffset = 0;
    if (LookupTag(ifd0, kIfd0Tags, kTagExifIfd, &exifOffset, sizeof(exifOffset)) != kExifOk) {
      return fail(kExifNoExif);
    }
    set->exif = MakeNoThrow<Ifd>(header);
    if (!set->exif) return fail(kExifOutOfMemory);
    error = set->exif->Read(exifOffset);
    if (error != kExifOk) return fail(AsSubIfdError(error));
  }

  uint32_t offset = 0;
  if (set->exif && IsLongPointer(*set->exif, kTagInteropIfd, &offset)) {
    error = ReadSubIfd(header, &set->interop, offset);
    if (error != kExifOk) return fail(error);
  }

  if (ifd0.nextIfdOffset() != 0) {
    set->ifd1 = MakeNoThrow<Ifd>(header);
    if (!set->ifd1) return fail(kExifOutOfMemory);
    error = set->ifd1->Read(ifd0.nextIfdOffset());
    if (error != kExifOk) return fail(error);
  }

  if (IsLongPointer(ifd0, kTagGpsIfd, &offset)) {
    error = ReadSubIfd(header, &set->gps, offset);
    if (error != kExifOk) return fail(error);
  }
  if (set->ifd1) {
    if (IsLongPointer(*set->ifd1, kTagExifIfd, &offset)) {
      error = ReadSubIfd(header, &set->ifd1Exif, offset);
      if (error != kExifOk) return fail(error);
    }
    if (IsLongPointer(*set->ifd1, kTagGpsIfd, &offset)) {
      error = ReadSubIfd(header, &set->ifd1Gps, offset);
      if (error != kExifOk) return fail(error);
    }
  }
  return kExifOk;
}

const TagDescription kIfd0Tags[] = {
    {0x010E, kTypeAscii | kTagFlagAnyCount, 0, nullptr},  // ImageDescription
    {0x010F, kTypeAscii | kTagFlagAnyCount, 0, nullptr},  // Make
    {0x0110, kTypeAscii | kTagFlagAnyCount, 0, nullptr},  // Model
    {0x0112, kTypeShort, 1, &kDefaultOrientation},
    {0x011A, kTypeRational, 1, kDefaultResolution},  // XResolution
    {0x011B, kTypeRational, 1, kDefaultResolution},  // YResolution
    {0x0128, kTypeShort, 1, &kDefaultResolutionUnit},
    {0x012D, kTypeShort, 768, nullptr},                   // TransferFunction
    {0x0131, kTypeAscii | kTagFlagAnyCount, 0, nullptr},  // Software
    {0x0132, kTypeAscii, 20, nullptr},                    // DateTime
    {0x013B, kTypeAscii | kTagFlagAnyCount, 0, nullptr},  // Artist
    {0x013E, kTypeRational, 2, nullptr},                  // WhitePoint
    {0x013F, kTypeRational, 6, nullptr},                  // PrimaryChromaticities
    {0x0211, kTypeRational, 3, nullptr},                  // YCbCrCoefficients
    {0x0213, kTypeShort, 1, &kDefaultYCbCrPositioning},
    {0x0214, kTypeRational, 6, nullptr},                  // ReferenceBlackWhite
    {0x8298, kTypeAscii | kTagFlagAnyCount, 0, nullptr},  // Copyright
    {kTagExifIfd, kTypeLong, 1, nullptr},
    {kTagGpsIfd, kTypeLong, 1, nullptr},
    {0, 0, 0, nullptr},
};

uint16_t LookupTag(const Ifd& ifd, const TagDescription* table, uint16_t tag, void* destination,
                   uint64_t capacity) {
  const TagDescription* row = table;
  for (; row->tag != 0 || row->type != 0; ++row) {
    if (row->tag == tag) break;
  }
  if (row->tag != tag || (row->tag == 0 && row->type == 0)) return kExifOutOfRange;
  const uint16_t rowType = row->type & kTagTypeMask;
  if (rowType > kTypeDouble) return kExifOutOfRange;

  if (const IfdEntry* e = ifd.FindTag(tag)) {
    if (!(row->type & kTagFlagAnyCount) && e->count != row->count) return kExifBadTagCount;
    if (rowType != 0 && e->type != rowType) return kExifBadTagType;
    return rowType == 0 ? ifd.ReadTagAsLong(tag, static_cast<uint32_t*>(destination), capacity / 4)
                        : ifd.ReadTag(tag, destination, capacity);
  }
  if (!row->defaultValue) return kExifTagMissing;
  const uint64_t bytes = uint64_t{rowType == 0 ? 4u : TiffTypeSize(rowType)} * row->count;
  if (bytes > capacity) return kExifOutOfRange;
  std::memcpy(destination, row->defaultValue, static_cast<size_t>(bytes));
  return kExifOk;
}

uint16_t TiffReader::ParseIfds() {
  return ParseIfdSet(&header_, &ifds_, IfdParseMode::kIfdOnly);
}

}  // namespace brelon::exif
