// The maker-note reader behind image naming: parses the JPEG, lifts the maker note out of the
// Exif IFD, turns its 12-byte header into a TIFF header and reads frame number and camera
// path from the resulting little-endian TIFF block.
#include "transfer/exif/exif_meta_info.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {
namespace {

constexpr size_t kMakerNoteHeaderBytes = 12;
constexpr unsigned char kNonAsciiBit = 0x80;

std::atomic<bool> gDebugCopyEnabled{true};

bool IsOneByteType(uint16_t type) {
  return type == kTypeByte || type == kTypeAscii || type == kTypeSByte || type == kTypeUndefined;
}

}  // namespace

CExifMetaInfo::CExifMetaInfo() = default;

CExifMetaInfo::~CExifMetaInfo() {
  ReleaseAll();
}

void CExifMetaInfo::DropMakerNote() {
  makerNoteIfd_ = nullptr;
  makerNoteReader_.reset();
  makerNoteStreamOpen_ = false;
  makerNote_ = nullptr;
  makerNoteHeap_.reset();
  makerNoteLength_ = 0;
}

int32_t CExifMetaInfo::Close() {
  DropMakerNote();
  ifd0_ = nullptr;
  exifIfd_ = nullptr;
  parse_.reset();
  parseTaken_ = false;
  jpegStreamOpen_ = false;
  return 0;
}

int32_t CExifMetaInfo::ReleaseAll() {
  Close();
  data_.reset();
  dataLength_ = 0;
  parseFails_ = false;
  return 0;
}

int32_t CExifMetaInfo::SetSource(const uint8_t* data, size_t length) {
  ReleaseAll();
  if (length && !data) return -2;
  // The image is surveyed (and parsed, when it can hold Exif) where it lies, so that the copy
  // can stop where everything the parse and the later tag reads need ends. The JPEG stream is
  // left closed: Validate and ParseMetadata open it over the copy before they read.
  const JpegSurvey survey = SurveyJpeg(data, length, &jpegStream_, &parse_);
  // An image that cannot parse is never read again, so none of it is kept.
  parseFails_ = survey.parseFails;
  if (!parseFails_) {
    const uint64_t kept = survey.extent;
    data_.reset(new (std::nothrow) uint8_t[kept ? kept : 1]);
    if (!data_) {
      ReleaseAll();
      return -2;
    }
    if (kept) std::memcpy(data_.get(), data, static_cast<size_t>(kept));
    dataLength_ = kept;
  }

  // Best-effort diagnostic copy of the whole image: a stale copy never survives, and the
  // folder is never created, so the file appears only where someone made the folder on purpose.
  if (gDebugCopyEnabled.load(std::memory_order_relaxed)) {
    const char* debugPath = plat::DebugImageCopyPath();
    plat::FileDelete(debugPath);
    plat::FileWriteBinary(debugPath, data, length);
  }
  return 0;
}

void CExifMetaInfo::SetDebugCopyEnabled(bool enabled) {
  gDebugCopyEnabled.store(enabled, std::memory_order_relaxed);
}

bool CExifMetaInfo::DebugCopyEnabled() {
  return gDebugCopyEnabled.load(std::memory_order_relaxed);
}

bool CExifMetaInfo::Validate(uint32_t* width, uint32_t* height) {
  if (parseTaken_) return true;
  if (!data_) return false;
  if (!parse_) {
    MemoryStreamInit(&jpegStream_, data_.get(), &dataLength_, false);
    if (parse_.emplace(&jpegStream_.stream).Parse() != kExifOk) {
      parse_.reset();
      return false;
    }
  }
  // A successful Parse has walked every segment up to the scan exactly as the marker-only pass
  // does (APP segments are skipped by length either way), so its frame state is the one that
  // pass would report and the second walk is not needed.
  if (width) *width = parse_->width();
  if (height) *height = parse_->height();
  return true;
}

int32_t CExifMetaInfo::ParseMetadata() {
  if (parseFails_) return -4;
  if (!data_) return -3;
  // A parse not taken over yet was made over this same data copy and through the same stream,
  // and a fresh one would only repeat it; everything else an earlier parse built goes.
  const bool parsed = parse_ && !parseTaken_;
  if (!parsed) Close();
  MemoryStreamInit(&jpegStream_, data_.get(), &dataLength_, false);
  jpegStreamOpen_ = true;
  if (!parsed && parse_.emplace(&jpegStream_.stream).Parse() != kExifOk) {
    parse_.reset();
    jpegStreamOpen_ = false;
    return -4;
  }
  parseTaken_ = true;
  ifd0_ = parse_->ifd0();
  exifIfd_ = parse_->exifIfd();

  if (!exifIfd_ || !exifIfd_->FindTag(kTagMakerNote)) return 0;
  // Type and extent are checked before allocating, so a forged count cannot make the reader
  // allocate more than the data it was given.
  if (!IsOneByteType(exifIfd_->TagType(kTagMakerNote)) ||
      !exifIfd_->TagValueAvailable(kTagMakerNote)) {
    return 0;
  }
  const uint64_t noteLength = exifIfd_->TagByteSize(kTagMakerNote);
  if (noteLength < kMakerNoteHeaderBytes) return 0;
  makerNote_ = makerNoteInline_;
  if (noteLength > sizeof(makerNoteInline_)) {
    makerNoteHeap_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(noteLength)]);
    if (!makerNoteHeap_) return -2;
    makerNote_ = makerNoteHeap_.get();
  }
  makerNoteLength_ = noteLength;
  if (exifIfd_->ReadTag(kTagMakerNote, makerNote_, noteLength) != kExifOk) {
    DropMakerNote();
    return 0;
  }

  // The note's own header keeps the first-IFD offset (little-endian) in bytes 8-11; the
  // offsets inside it count from the note's start, just as in a TIFF file.
  uint8_t* note = makerNote_;
  static constexpr uint8_t kTiffLittleEndian[4] = {0x49, 0x49, 0x2A, 0x00};
  std::memcpy(note, kTiffLittleEndian, 4);
  std::memcpy(note + 4, note + 8, 4);

  MemoryStreamInit(&makerNoteStream_, note, &makerNoteLength_, false);
  makerNoteStreamOpen_ = true;
  makerNoteReader_.emplace(&makerNoteStream_.stream);
  if (makerNoteReader_->ParseIfds() != kExifOk) {
    DropMakerNote();
    return 0;
  }
  makerNoteIfd_ = makerNoteReader_->ifd0();
  return 0;
}

int32_t CExifMetaInfo::GetCameraPath(char16_t* buffer) {
  if (!buffer || !makerNoteIfd_ || !makerNoteIfd_->FindTag(kTagCameraPath)) return -1;
  const uint64_t n = makerNoteIfd_->TagByteSize(kTagCameraPath);
  if (n > kCameraPathMaxBytes) return -1;
  char text[kCameraPathMaxBytes];
  if (makerNoteIfd_->ReadTag(kTagCameraPath, text, sizeof(text)) != kExifOk) return -1;
  // The text ends at its first zero byte, if any. Every ANSI code page maps bytes below 0x80 to
  // the same characters as ASCII, and camera paths are nearly always plain ASCII: widen the
  // text directly, and convert it through the code page only when a byte is not ASCII.
  size_t length = 0;
  unsigned char seenBits = 0;
  for (; length < n && text[length] != 0; ++length) {
    const unsigned char c = static_cast<unsigned char>(text[length]);
    seenBits |= c;
    buffer[length] = c;
  }
  if ((seenBits & kNonAsciiBit) == 0) {
    buffer[length] = 0;
    return 0;
  }
  buffer[0] = 0;
  plat::AnsiToWide(text, length, buffer, kCameraPathCapacity);
  return 0;
}

int32_t CExifMetaInfo::GetFrameNumber(uint32_t* value) {
  if (!value) return -1;
  *value = 0;
  if (!makerNoteIfd_ || !makerNoteIfd_->FindTag(kTagFrameNumber)) return -1;
  const uint32_t count = makerNoteIfd_->TagCount(kTagFrameNumber);
  if (count == 0 || !makerNoteIfd_->TagValueAvailable(kTagFrameNumber)) return -1;
  // The whole tag is read, as the note may list more values than the one used; the common
  // single value needs no allocation.
  uint32_t local[4];
  std::vector<uint32_t> heap;
  uint32_t* values = local;
  if (count > 4) {
    try {
      heap.resize(count);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    values = heap.data();
  }
  if (makerNoteIfd_->ReadTagAsLong(kTagFrameNumber, values, count) != kExifOk) return -1;
  *value = values[0];
  return 0;
}

}  // namespace brelon::exif
