// Simulator tests for the bytes of the pictures: the Exif block and the maker note with frame
// number and camera path, their SHORT/LONG and byte-order variants, path overrides, the raw
// header, and (where the tools exist) djpeg and exiftool accepting the JPEG.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/sim_test_util.h"
#include "support/test_env.h"

namespace brelon::test {
namespace {

constexpr uint16_t kShort = 3, kLong = 4, kAscii = 2, kUndefined = 7;

class SimImageTest : public SimTest {
 protected:
  // One JPEG-only shot of a camera whose capture block is `capture`, after `setup` commands.
  std::vector<uint8_t> ShootJpeg(const std::string& capture,
                                 const std::vector<std::string>& setup = {}) {
    Start(R"({"cameras":[{"capture":{"delay_ms":0,"format":"jpeg")" +
          (capture.empty() ? "" : "," + capture) + "}}]}");
    const int32_t h = OpenUsb();
    for (const std::string& command : setup) EXPECT_EQ(Control(command), 0) << command;
    EXPECT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
    return Read(h).bytes;
  }
};

TEST_F(SimImageTest, JpegCarriesExifAndMakerNoteInTheAgreedLayout) {
  const std::vector<uint8_t> jpeg = ShootJpeg("");
  const ExifView exif = ReadExif(jpeg);
  ASSERT_TRUE(exif.found);
  EXPECT_FALSE(exif.bigEndian);
  auto make = TiffBlock::Find(exif.ifd0, 0x010F), model = TiffBlock::Find(exif.ifd0, 0x0110);
  ASSERT_TRUE(make && model);
  EXPECT_EQ(std::string(make->value.begin(), make->value.end()), std::string("ORVANTIS", 9));
  EXPECT_EQ(std::string(model->value.begin(), model->value.end()), std::string("K-M3", 5));
  auto note = TiffBlock::Find(exif.exif, 0x927C);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->type, kUndefined);
  EXPECT_EQ(note->count, exif.makerNote.size());

  const std::vector<uint8_t>& m = exif.makerNote;
  ASSERT_GE(m.size(), 12u);
  EXPECT_EQ(std::string(m.begin(), m.begin() + 8), "ORVANTIS");
  EXPECT_EQ(m[8], 12);
  EXPECT_EQ(m[9] | m[10] | m[11], 0);
  ASSERT_EQ(exif.noteIfd.size(), 2u);
  EXPECT_EQ(exif.noteIfd[0].tag, 0x1438);
  EXPECT_EQ(exif.noteIfd[0].type, kShort);
  EXPECT_EQ(NoteFrame(exif), 1u);
  EXPECT_EQ(exif.noteIfd[1].tag, 0x1439);
  EXPECT_EQ(exif.noteIfd[1].type, kAscii);
  const std::string path("A:\\DCIM\\100ORVTS\\ORV_0001.JPG", 30);
  EXPECT_EQ(exif.noteIfd[1].count, path.size());
  EXPECT_EQ(NotePath(exif), path) << "offsets are relative to the note's start";
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg.back(), 0xD9);
}

TEST_F(SimImageTest, FrameNumberIsLongWhenAskedOrTooLargeForShort) {
  const ExifView asked = ReadExif(ShootJpeg(R"("frame_type":"long","first_frame":42)"));
  EXPECT_EQ(asked.noteIfd.at(0).type, kLong);
  EXPECT_EQ(NoteFrame(asked), 42u);

  const ExifView large = ReadExif(
      ShootJpeg("", {R"({"cmd":"set","camera":0,"key":"frame_number","value":123456789})"}));
  EXPECT_EQ(large.noteIfd.at(0).type, kLong);
  EXPECT_EQ(NoteFrame(large), 123456789u);
  EXPECT_EQ(NotePath(large), std::string("A:\\DCIM\\100ORVTS\\ORV_6789.JPG", 30));
}

TEST_F(SimImageTest, BigEndianExifKeepsLittleEndianMakerNote) {
  const ExifView exif = ReadExif(ShootJpeg(R"("byte_order":"MM","first_frame":300)"));
  ASSERT_TRUE(exif.found);
  EXPECT_TRUE(exif.bigEndian);
  auto width = TiffBlock::Find(exif.exif, 0xA002);
  ASSERT_TRUE(width);
  EXPECT_EQ(width->valueOrOffset, 64u) << "main block values are big-endian";
  EXPECT_EQ(exif.makerNote.at(8), 12) << "the note's own offset stays little-endian";
  EXPECT_EQ(NoteFrame(exif), 300u);
}

TEST_F(SimImageTest, CameraPathOverridesGiveExactTagBytes) {
  const std::string long259(259, 'p');
  struct Case {
    std::string capture;
    std::string expected;
  } cases[] = {
      {R"("camera_path":"")", std::string(1, '\0')},
      {R"("camera_path":"","path_bytes":4)", std::string(4, '\0')},
      {R"("camera_path":")" + long259 + R"(","path_bytes":260)", long259 + '\0'},
      {R"("camera_path":")" + long259 + R"(","path_bytes":261)", long259 + std::string(2, '\0')},
      {R"("camera_path":"B:\\X\\Y.JPG","path_bytes":5)", "B:\\X\\"},
      {R"("folder":"")", std::string("ORV_0001.JPG", 13)},
  };
  for (const Case& c : cases) {
    const ExifView exif = ReadExif(ShootJpeg(c.capture));
    EXPECT_EQ(exif.noteIfd.at(1).count, c.expected.size()) << c.capture;
    EXPECT_EQ(NotePath(exif), c.expected) << c.capture;
  }
  const ExifView set = ReadExif(
      ShootJpeg("", {R"({"cmd":"set","camera":0,"key":"camera_path","value":"C:\\P.JPG"})"}));
  EXPECT_EQ(NotePath(set), std::string("C:\\P.JPG", 9));
}

TEST_F(SimImageTest, RawHeaderLocatesEmbeddedJpegOfTheShot) {
  Start(R"({"cameras":[{"model":"K-Rel2","capture":{"delay_ms":0,"format":"raw",
             "raw_bytes":100,"first_frame":5}}]})");
  const int32_t h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  const Image raw = Read(h);
  ASSERT_EQ(raw.format, uint32_t{ZEPASIM_FORMAT_RAW});
  ASSERT_GT(raw.bytes.size(), 256u) << "raw_bytes below the content grows to fit";
  EXPECT_EQ(std::string(raw.bytes.begin(), raw.bytes.begin() + 4), "QRAW");
  const uint32_t offset = BigEndian32(raw.bytes, 84), length = BigEndian32(raw.bytes, 88);
  EXPECT_EQ(offset, 256u);
  EXPECT_EQ(offset + length, raw.bytes.size());
  const ExifView exif = ReadExif(EmbeddedJpeg(raw.bytes));
  ASSERT_TRUE(exif.found);
  EXPECT_EQ(NoteFrame(exif), 5u);
  auto model = TiffBlock::Find(exif.ifd0, 0x0110);
  ASSERT_TRUE(model);
  EXPECT_EQ(std::string(model->value.begin(), model->value.end()), std::string("K-Rel2", 7));
}

TEST_F(SimImageTest, JpegBytesPadsBothJpegsOfTheShotAndKeepsTheirExif) {
  constexpr uint32_t kPadded = 300000;
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"jpeg_bytes":300000}}]})");
  const int32_t h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  const Image raw = Read(h), jpeg = Read(h);
  EXPECT_EQ(BigEndian32(raw.bytes, 88), kPadded);
  ASSERT_EQ(jpeg.bytes.size(), kPadded);
  EXPECT_EQ(jpeg.bytes.back(), 0xD9);
  EXPECT_EQ(NoteFrame(ReadExif(jpeg.bytes)), 1u);
  EXPECT_EQ(NoteFrame(ReadExif(EmbeddedJpeg(raw.bytes))), 1u);
}

bool ToolExists(const char* tool) {
#ifdef _WIN32
  (void)tool;
  return false;  // the checkers are Linux programs
#else
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
#endif
}

std::string RunCapture(const std::string& command) {
  std::string output;
#ifndef _WIN32
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    pclose(pipe);
  }
#endif
  return output;
}

TEST_F(SimImageTest, DecodersAndExifValidatorAcceptTheJpegs) {
  if (!ToolExists("djpeg") || !ToolExists("exiftool")) GTEST_SKIP() << "djpeg or exiftool missing";
  const std::string dir = TempDir("sim-jpeg");
  struct Sample {
    const char* name;
    std::string capture;
    std::vector<std::string> setup;
  } samples[] = {
      {"little.jpg", "", {}},
      {"big.jpg", R"("byte_order":"MM","frame_type":"long")", {}},
      {"framed.jpg", "", {R"({"cmd":"set","camera":0,"key":"frame_number","value":123456789})"}},
  };
  for (const Sample& sample : samples) {
    const std::vector<uint8_t> jpeg = ShootJpeg(sample.capture, sample.setup);
    const std::string path = dir + "/" + sample.name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
    EXPECT_EQ(RunCapture("djpeg -outfile /dev/null '" + path + "' && echo decoded"), "decoded\n")
        << sample.name;
    const std::string report = RunCapture("exiftool -validate -warning -a '" + path + "'");
    EXPECT_NE(report.find("Validate"), std::string::npos) << report;
    EXPECT_NE(report.find(": OK"), std::string::npos) << sample.name << ":\n" << report;
    EXPECT_EQ(report.find("Warning"), std::string::npos) << sample.name << ":\n" << report;
    EXPECT_EQ(report.find("Error"), std::string::npos) << sample.name << ":\n" << report;
  }
}

}  // namespace
}  // namespace brelon::test
