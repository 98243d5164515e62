// libFuzzer target: all a reader learns from arbitrary bytes, as a JPEG and as the embedded JPEG
// a raw header points to, must come out the same from the part of the image the reader keeps.
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
