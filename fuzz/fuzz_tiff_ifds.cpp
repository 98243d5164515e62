// libFuzzer target: ParseIfds on arbitrary bytes taken as one TIFF block (the maker-note path),
// then every tag of every IFD read back, and a second parse that must refuse cleanly.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exif/ifd_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brelon::exif;
  // An exact-size heap copy, so that ASan sees any read past the end of the block.
  std::vector<uint8_t> copy(data, data + size);
  uint64_t length = size;
  MemoryStream stream;
  MemoryStreamInit(&stream, copy.data(), &length, false);
  TiffReader reader(&stream.stream);
  if (reader.ParseIfds() == kExifOk) fixture::ReadEverySet(reader.ifds());
  (void)reader.ParseIfds();
  return 0;
}
