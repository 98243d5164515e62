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
constexpr unsigned char kFirstNonAsciiByte = 0x80;

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
  makerNote_.reset();
  makerNoteLength_ = 0;
}

void CExifMetaInfo::DropValidated() {
  validated_.reset();
}

int32_t CExifMetaInfo::Close() {
  DropMakerNote();
  DropValidated();
  ifd0_ = nullptr;
  exifIfd_ = nullptr;
  jpegReader_.reset();
  jpegStreamOpen_ = false;
  return 0;
}

int32_t CExifMetaInfo::ReleaseAll() {
  Close();
  data_.reset();
  dataLength_ = 0;
  return 0;
}

int32_t CExifMetaInfo::SetSource(const uint8_t* data, size_t length) {
  ReleaseAll();
  data_.reset(new (std::nothrow) uint8_t[length ? length : 1]);
  if (!data_ || (length && !data)) {
    data_.reset();
    return -2;
  }
  if (length) std::memcpy(data_.get(), data, length);
  dataLength_ = length;

  // Best-effort diagnostic copy: a stale copy never survives, and the folder is never created,
  // so the file appears only where someone made the folder on purpose.
  if (gDebugCopyEnabled.load(std::memory_order_relaxed)) {
    const char* debugPath = plat::DebugImageCopyPath();
    plat::FileDelete(debugPath);
    plat::FileWriteBinary(debugPath, data_.get(), length);
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
  if (jpegReader_) return true;
  if (!data_) return false;
  if (!validated_) {
    MemoryStreamInit(&jpegStream_, data_.get(), &dataLength_, false);
    validated_.reset(new (std::nothrow) JpegReader(&jpegStream_.stream));
    if (!validated_) return false;
    if (validated_->Parse() != kExifOk) {
      validated_.reset();
      return false;
    }
  }
  // A successful Parse has walked every segment up to the scan exactly as the marker-only pass
  // does (APP segments are skipped by length either way), so its frame state is the one that
  // pass would report and the second walk is not needed.
  if (width) *width = validated_->width();
  if (height) *height = validated_->height();
  return true;
}

int32_t CExifMetaInfo::ParseMetadata() {
  if (!data_) return -3;
  // Close drops a held Validate parse too, so take it over first: it was made over this same
  // data copy and the same stream, and a fresh parse would only repeat it.
  std::unique_ptr<JpegReader> validated = std::move(validated_);
  Close();
  MemoryStreamInit(&jpegStream_, data_.get(), &dataLength_, false);
  jpegStreamOpen_ = true;
  const bool parsed = validated != nullptr;
  if (parsed) {
    jpegReader_ = std::move(validated);
  } else {
    jpegReader_.reset(new (std::nothrow) JpegReader(&jpegStream_.stream));
    if (!jpegReader_) {
      jpegStreamOpen_ = false;
      return -2;
    }
  }
  if (!parsed && jpegReader_->Parse() != kExifOk) {
    jpegReader_.reset();
    jpegStreamOpen_ = false;
    return -4;
  }
  ifd0_ = jpegReader_->ifd0();
  exifIfd_ = jpegReader_->exifIfd();

  if (!exifIfd_ || !exifIfd_->FindTag(kTagMakerNote)) return 0;
  // Type and extent are checked before allocating, so a forged count cannot make the reader
  // allocate more than the data it was given.
  if (!IsOneByteType(exifIfd_->TagType(kTagMakerNote)) ||
      !exifIfd_->TagValueAvailable(kTagMakerNote)) {
    return 0;
  }
  const uint64_t noteLength = exifIfd_->TagByteSize(kTagMakerNote);
  if (noteLength < kMakerNoteHeaderBytes) return 0;
  makerNote_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(noteLength)]);
  if (!makerNote_) return -2;
  makerNoteLength_ = noteLength;
  if (exifIfd_->ReadTag(kTagMakerNote, makerNote_.get(), noteLength) != kExifOk) {
    DropMakerNote();
    return 0;
  }

  // The note's own header keeps the first-IFD offset (little-endian) in bytes 8-11; the
  // offsets inside it count from the note's start, just as in a TIFF file.
  uint8_t* note = makerNote_.get();
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
  const void* zero = std::memchr(text, 0, static_cast<size_t>(n));
  const size_t length =
      zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : static_cast<size_t>(n);
  // Every ANSI code page maps bytes below 0x80 to the same characters as ASCII, and camera
  // paths are nearly always plain ASCII: widen those directly.
  size_t ascii = 0;
  while (ascii < length && static_cast<unsigned char>(text[ascii]) < kFirstNonAsciiByte) ++ascii;
  if (ascii == length) {
    for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
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
