// libFuzzer target: everything a reader can learn from arbitrary bytes, taken as a JPEG and,
// when the bytes carry a raw header, as the raw file's embedded JPEG, must come out the same
// from the part of the image the reader keeps.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exif/ifd_walk.h"
#include "transfer/exif/raw_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brelon::exif;
  size_t offset = 0, length = size;
  for (bool embedded : {false, true}) {
    if (embedded && !LocateEmbeddedJpeg(data, size, &offset, &length)) break;
    const std::vector<uint8_t> image(data + offset, data + offset + length);
    if (fixture::Answers(image) != fixture::Answers(fixture::KeptPart(image))) __builtin_trap();
  }
  return 0;
}
