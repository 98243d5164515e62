// Writes fuzz seeds the shared corpus lacks: camera JPEGs that carry our maker note (both Exif
// byte orders, SHORT and LONG frame numbers), a raw file around one, the maker note as a TIFF
// block, and the TIFF blocks of the Exif segments of the given JPEGs.
// Usage: make_seeds OUT_DIR [JPEG...]
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "sim/image_writer.h"

using namespace zepasim;

namespace {

void Write(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// The TIFF block of the first APP1 Exif segment, or empty.
Bytes ExifBlock(const Bytes& d) {
  size_t pos = 2;
  while (pos + 4 <= d.size() && d[pos] == 0xFF) {
    if (d[pos + 1] == 0xFF) {
      ++pos;
      continue;
    }
    const size_t length = size_t{d[pos + 2]} << 8 | d[pos + 3];
    if (d[pos + 1] == 0xE1 && length > 8 && pos + 2 + length <= d.size() &&
        std::memcmp(&d[pos + 4], "Exif\0", 5) == 0) {
      return Bytes(d.begin() + static_cast<long>(pos + 10),
                   d.begin() + static_cast<long>(pos + 2 + length));
    }
    if (d[pos + 1] == 0xDA) break;
    pos += 2 + length;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_seeds OUT_DIR [JPEG...]\n");
    return 2;
  }
  const std::string out = argv[1];
  const Bytes note = MakerNote(CameraNote(1234, "\\DCIM\\100ORVNT\\QV001234.JPG"));
  const Bytes le = EncodeJpeg({.tiff = CameraTiff({.makerNote = note}).Build()});
  Write(out + "/seed-camera-le.jpg", le);
  const Bytes longNote = MakerNote(CameraNote(77, "\\DCIM\\X.QRW", true), 40);
  Write(out + "/seed-camera-be.jpg",
        EncodeJpeg({.tiff = CameraTiff({.bigEndian = true, .makerNote = longNote}).Build()}));
  Write(out + "/seed-camera.qrw", RawContainer(le, 4096));
  Bytes tiffNote = note;
  std::memcpy(tiffNote.data(), "II*\0", 4);
  std::memcpy(tiffNote.data() + 4, tiffNote.data() + 8, 4);
  Write(out + "/seed-makernote.tif", tiffNote);
  Write(out + "/seed-exif-block.tif", CameraTiff({.makerNote = note}).Build());
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes block = ExifBlock(data);
    if (!block.empty()) Write(out + "/seed-block-" + std::to_string(i) + ".tif", block);
  }
  return 0;
}
