// CExifMetaInfo: reads the frame number and camera path that the camera stores in its maker
// note, from a JPEG held in memory. Image transfer uses one object per image, in the order
// SetSource, Validate, ParseMetadata, GetCameraPath, GetFrameNumber, Close, ReleaseAll.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "transfer/exif/byte_stream.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {

constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagFrameNumber = 0x1438;
constexpr uint16_t kTagCameraPath = 0x1439;
// Longest camera path tag in bytes, terminator included; GetCameraPath's buffer must hold
// one unit more so that a path without terminator still gets one.
constexpr size_t kCameraPathMaxBytes = 260;
constexpr size_t kCameraPathCapacity = kCameraPathMaxBytes + 1;
// Maker notes up to this size need no allocation of their own.
constexpr size_t kInlineMakerNoteBytes = 512;

class CExifMetaInfo {
 public:
  CExifMetaInfo();
  virtual ~CExifMetaInfo();
  CExifMetaInfo(const CExifMetaInfo&) = delete;
  CExifMetaInfo& operator=(const CExifMetaInfo&) = delete;

  // Copies as much of the data as the parse depends on (see SurveyJpeg; nothing when it cannot
  // parse) and refreshes the debug copy of the whole. 0, or -2 when the copy cannot be
  // allocated.
  int32_t SetSource(const uint8_t* data, size_t length);
  // True when the data is a baseline JPEG with Exif. Reports the frame size (0 x 0 when the
  // frame cannot be read) unless a parse is already held, when the outputs stay untouched.
  bool Validate(uint32_t* width, uint32_t* height);
  // 0 (with or without a usable maker note), -2 out of memory, -3 no data, -4 not parsable.
  int32_t ParseMetadata();
  // `buffer` holds at least kCameraPathCapacity units. 0, or -1 when there is no path.
  int32_t GetCameraPath(char16_t* buffer);
  // The first value of the frame-number tag as stored. 0, or -1 (output 0) without one.
  int32_t GetFrameNumber(uint32_t* value);
  // Frees what the parse built and keeps the data copy.
  int32_t Close();
  // As Close, and frees the data copy.
  int32_t ReleaseAll();

  // Process-wide switch for the debug copy SetSource writes (on by default). Tools and
  // benchmarks that read many images turn it off; the plug-in leaves it on.
  static void SetDebugCopyEnabled(bool enabled);
  static bool DebugCopyEnabled();

  // IFDs of the last successful ParseMetadata; null when absent.
  const Ifd* ifd0() const { return ifd0_; }
  const Ifd* exifIfd() const { return exifIfd_; }
  const Ifd* makerNoteIfd() const { return makerNoteIfd_; }

 private:
  void DropMakerNote();

  MemoryStream jpegStream_{};
  bool jpegStreamOpen_ = false;
  MemoryStream makerNoteStream_{};
  bool makerNoteStreamOpen_ = false;
  // The one parse of the data copy, held in place. It is "the JPEG reader" of this object only
  // once ParseMetadata has taken it over (parseTaken_). Until then it is the parse SetSource's
  // survey or Validate made, kept aside for ParseMetadata: the data copy does not change until
  // the next SetSource, so parsing it again would give the same result, and Validate leaves the
  // object's visible state as it was. It reads through jpegStream_, which after SetSource is
  // only ever opened over the data copy.
  std::optional<JpegReader> parse_;
  bool parseTaken_ = false;
  // Held in place: it is small, and one object reads at most one maker note at a time.
  std::optional<TiffReader> makerNoteReader_;
  const Ifd* ifd0_ = nullptr;
  const Ifd* exifIfd_ = nullptr;
  const Ifd* makerNoteIfd_ = nullptr;
  std::unique_ptr<uint8_t[]> data_;
  uint64_t dataLength_ = 0;
  // The source cannot parse: no copy is kept, and nothing is parsed until the next SetSource.
  bool parseFails_ = false;
  // The maker-note buffer: in the object for a note of a camera's usual size, else on the heap.
  uint8_t* makerNote_ = nullptr;
  uint64_t makerNoteLength_ = 0;
  std::unique_ptr<uint8_t[]> makerNoteHeap_;
  uint8_t makerNoteInline_[kInlineMakerNoteBytes];
};

}  // namespace brelon::exif
