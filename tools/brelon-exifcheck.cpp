// brelon-exifcheck: prints the frame number and camera path that the plug-in would read from
// each JPEG or raw file named on the command line, using the same metadata reader.
// Usage: brelon-exifcheck [--raw] FILE...   (exit 0 only when every file gave a frame number)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/raw_header.h"

namespace {

using brelon::exif::CExifMetaInfo;

bool ReadFile(const char* path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool IsJpeg(const std::vector<uint8_t>& data) {
  return data.size() >= 2 && data[0] == 0xFF && data[1] == 0xD8;
}

// Returns true when a frame number was read.
bool Check(const char* path, bool forceRaw) {
  std::vector<uint8_t> data;
  if (!ReadFile(path, &data)) {
    std::printf("%s: cannot read the file\n", path);
    return false;
  }
  const uint8_t* jpeg = data.data();
  size_t length = data.size();
  std::string source = "JPEG";
  if (forceRaw || !IsJpeg(data)) {
    size_t offset = 0;
    if (!brelon::exif::LocateEmbeddedJpeg(data.data(), data.size(), &offset, &length)) {
      std::printf("%s: %s\n", path,
                  forceRaw ? "no embedded JPEG inside the file" : "neither a JPEG nor a raw file");
      return false;
    }
    jpeg = data.data() + offset;
    source = "raw, embedded JPEG at " + std::to_string(offset) + " (" + std::to_string(length) +
             " bytes)";
  }

  CExifMetaInfo info;
  if (info.SetSource(jpeg, length) != 0) {
    std::printf("%s: out of memory\n", path);
    return false;
  }
  uint32_t width = 0, height = 0;
  const bool valid = info.Validate(&width, &height);
  const int32_t parsed = info.ParseMetadata();
  char16_t wide[brelon::exif::kCameraPathCapacity];
  const bool hasPath = info.GetCameraPath(wide) == 0;
  uint32_t frame = 0;
  const bool hasFrame = info.GetFrameNumber(&frame) == 0;
  info.Close();
  info.ReleaseAll();

  char narrow[4 * brelon::exif::kCameraPathCapacity] = {};
  if (hasPath) {
    size_t units = 0;
    while (wide[units]) ++units;
    plat::WideToAnsi(wide, units, narrow, sizeof(narrow));
  }
  std::printf("%s: %s", path, source.c_str());
  if (valid) std::printf(", %ux%u", width, height);
  if (parsed != 0) {
    std::printf(", metadata unreadable (%d)\n", parsed);
    return false;
  }
  if (hasFrame) {
    std::printf(", frame %u", frame);
  } else {
    std::printf(", no frame number");
  }
  std::printf(hasPath ? ", camera path \"%s\"\n" : ", no camera path\n", narrow);
  return hasFrame;
}

}  // namespace

int main(int argc, char** argv) {
  bool raw = false;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--raw") == 0) {
      raw = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      files.clear();
      break;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr,
                 "usage: brelon-exifcheck [--raw] FILE...\n"
                 "Prints the frame number and camera path of each JPEG, or of the JPEG embedded\n"
                 "in each raw file (--raw, or any file that is not a JPEG). Exit status 0 when\n"
                 "every file gave a frame number, 1 otherwise.\n");
    return 2;
  }
  bool all = true;
  for (const char* f : files) all = Check(f, raw) && all;
  return all ? 0 : 1;
}
