// The Exif reader on the simulated camera's own files: every shot gives a raw file and a JPEG,
// and the reader must return the frame number and camera path the simulator wrote into both,
// whatever frame-number type, Exif byte order and path length the camera is set to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "sim/sim_test_util.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/raw_header.h"

namespace brelon::exif {
namespace {

constexpr uint16_t kShort = 3, kLong = 4;
constexpr uint32_t kLargestShort = 65535;
constexpr uint32_t kFileNumberModulo = 10000;  // the camera names files by four digits

struct Case {
  const char* name;
  uint32_t frame;
  bool longFrame;  // asked for; frames above 65535 are LONG anyway
  bool bigEndian;
  std::optional<std::string> path;  // replaces the camera's generated path
  uint32_t pathBytes = 0;           // exact tag size; 0: the text and its terminator
};

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string Letters(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i)
    text.push_back(i % 9 == 8 ? '\\' : static_cast<char>('a' + i % 26));
  return text;
}

// The camera's own name for a file: its folder, then the frame's last four digits.
std::string GeneratedPath(uint32_t frame, bool raw) {
  char name[64];
  std::snprintf(name, sizeof name, "A:\\DCIM\\100ORVTS\\ORV_%04u.%s", frame % kFileNumberModulo,
                raw ? "QRW" : "JPG");
  return name;
}

struct ReadBack {
  int32_t parse = -99;
  int32_t frameResult = -99;
  uint32_t frame = 0;
  int32_t pathResult = -99;
  std::u16string path;
};

ReadBack ReadWithReader(const uint8_t* data, size_t size) {
  CExifMetaInfo info;
  ReadBack r;
  EXPECT_EQ(info.SetSource(data, size), 0);
  uint32_t width = 0, height = 0;
  EXPECT_TRUE(info.Validate(&width, &height));
  r.parse = info.ParseMetadata();
  char16_t path[kCameraPathCapacity];
  r.pathResult = info.GetCameraPath(path);
  if (r.pathResult == 0) r.path = path;
  r.frameResult = info.GetFrameNumber(&r.frame);
  return r;
}

class ExifOnSimulatedShots : public test::SimTest {};

TEST_F(ExifOnSimulatedShots, FrameNumberAndCameraPathComeBackAsTheCameraWroteThem) {
  const Case cases[] = {
      {"short II", 7, false, false, std::nullopt},
      {"short MM", kLargestShort, false, true, std::nullopt},
      {"long II", 42, true, false, std::nullopt},
      {"long MM", 4000000000u, false, true, std::nullopt},
      {"path of 0 bytes of text", 300, false, true, ""},
      {"path of 1 byte", 301, true, false, "X", 1},
      {"path of 259 bytes", 302, false, false, Letters(258)},
      {"path of 260 bytes", 303, true, true, Letters(259)},
      {"path of 260 bytes without terminator", 304, false, true, Letters(260), 260},
      {"path of 261 bytes is refused", 305, true, false, Letters(260)},
      {"path of NUL bytes only", 306, false, true, "", 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string capture = R"("delay_ms":0,"format":"raw+jpeg","raw_bytes":100,"first_frame":)" +
                          std::to_string(c.frame) + R"(,"frame_type":")" +
                          (c.longFrame ? "long" : "short") + R"(","byte_order":")" +
                          (c.bigEndian ? "MM" : "II") + "\"";
    if (c.path) capture += R"(,"camera_path":)" + JsonText(*c.path);
    if (c.pathBytes) capture += R"(,"path_bytes":)" + std::to_string(c.pathBytes);
    Start(R"({"cameras":[{"capture":{)" + capture + "}}]}");
    const int32_t h = OpenUsb();
    ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
    const test::Image raw = Read(h), jpeg = Read(h);
    ASSERT_EQ(raw.format, uint32_t{ZEPASIM_FORMAT_RAW});

    size_t offset = 0, length = 0;
    ASSERT_TRUE(LocateEmbeddedJpeg(raw.bytes.data(), raw.bytes.size(), &offset, &length));
    for (bool isRaw : {true, false}) {
      SCOPED_TRACE(isRaw ? "raw" : "jpeg");
      const uint8_t* data = isRaw ? raw.bytes.data() + offset : jpeg.bytes.data();
      const size_t size = isRaw ? length : jpeg.bytes.size();

      // The simulator really wrote the variant asked for.
      const test::ExifView view = test::ReadExif(std::vector<uint8_t>(data, data + size));
      ASSERT_TRUE(view.found);
      EXPECT_EQ(view.bigEndian, c.bigEndian);
      ASSERT_FALSE(view.noteIfd.empty());
      EXPECT_EQ(view.noteIfd[0].type, c.longFrame || c.frame > kLargestShort ? kLong : kShort);

      const ReadBack r = ReadWithReader(data, size);
      EXPECT_EQ(r.parse, 0);
      EXPECT_EQ(r.frameResult, 0);
      EXPECT_EQ(r.frame, c.frame);
      std::string written = c.path ? *c.path : GeneratedPath(c.frame, isRaw);
      const size_t tagBytes = c.pathBytes ? c.pathBytes : written.size() + 1;
      if (tagBytes > kCameraPathMaxBytes) {
        EXPECT_EQ(r.pathResult, -1);
        continue;
      }
      written.resize(std::min(written.size(), tagBytes));
      ASSERT_EQ(r.pathResult, 0);
      EXPECT_EQ(r.path, std::u16string(written.begin(), written.end()));
    }
  }
}

}  // namespace
}  // namespace brelon::exif
