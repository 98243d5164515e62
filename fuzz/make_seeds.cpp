// Usage: make_seeds OUT_DIR [JPEG...]. Writes the fuzz seeds the shared corpus lacks: camera JPEGs
// with our maker note (both byte orders, SHORT and LONG frames), a raw file around one, the note
// as a TIFF block, and the TIFF blocks of the Exif segments of the given JPEGs.
#include <algorithm>
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

// The TIFF block after the first "Exif\0\0" identifier, up to the end of its segment; or empty.
Bytes ExifBlock(const Bytes& d) {
  const char id[] = "Exif\0";
  const auto pos = std::search(d.begin(), d.end(), id, id + sizeof id) - d.begin();
  if (pos < 2 || pos == std::ssize(d)) return {};
  const auto end = pos - 2 + (d[pos - 2] << 8 | d[pos - 1]);
  return end > pos + 8 && end <= std::ssize(d) ? Bytes(d.begin() + pos + 6, d.begin() + end)
                                               : Bytes{};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: make_seeds OUT_DIR [JPEG...]\n"), 2;
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
