// libFuzzer target: the whole reader sequence image transfer runs on arbitrary bytes, taken
// both as a JPEG and, when the bytes carry a raw header, as the raw file's embedded JPEG; and
// a hunt for bytes whose kept part the reader would answer differently from the whole.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exif/ifd_walk.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/raw_header.h"

namespace {

void RunSequence(const uint8_t* data, size_t size) {
  using namespace brelon::exif;
  CExifMetaInfo info;
  if (info.SetSource(data, size) != 0) return;
  uint32_t width = 0, height = 0;
  info.Validate(&width, &height);
  info.ParseMetadata();
  char16_t path[kCameraPathCapacity];
  info.GetCameraPath(path);
  uint32_t frame = 0;
  info.GetFrameNumber(&frame);
  fixture::ReadEveryTag(info.ifd0());
  fixture::ReadEveryTag(info.exifIfd());
  fixture::ReadEveryTag(info.makerNoteIfd());
  info.Validate(&width, &height);
  info.Close();
  info.ReleaseAll();
}

// The reader keeps only part of the image; nothing it answers may change for that.
void CompareKeptPart(const uint8_t* data, size_t size) {
  using namespace brelon::exif::fixture;
  const std::vector<uint8_t> image(data, data + size);
  if (Answers(image) != Answers(KeptPart(image))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunSequence(data, size);
  CompareKeptPart(data, size);
  size_t offset = 0, length = 0;
  if (brelon::exif::LocateEmbeddedJpeg(data, size, &offset, &length)) {
    RunSequence(data + offset, length);
    CompareKeptPart(data + offset, length);
  }
  return 0;
}
