// Simulator tests for the camera the other suites drive: configured answers, bad configurations,
// the release-mode list limit, and the bytes of its pictures (raw header, Exif maker note,
// camera paths), checked by djpeg and exiftool where they exist.
#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/sim_test_util.h"
#include "support/test_env.h"

namespace brelon::test {
namespace {

class SimCameraTest : public SimTest {
 protected:
  // One JPEG-only shot of a camera with `capture` in its capture block, after `setup` commands.
  std::vector<uint8_t> ShootJpeg(const std::string& capture, const std::string& setup = "") {
    Start(R"({"cameras":[{"capture":{"delay_ms":0,"format":"jpeg")" + capture + "}}]}");
    const int32_t h = OpenUsb();
    EXPECT_TRUE(setup.empty() || Control(setup) == 0) << setup;
    EXPECT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
    return Read(h).bytes;
  }
};

constexpr char kSetFrame[] = R"({"cmd":"set","camera":0,"key":"frame_number","value":123456789})";

TEST_F(SimCameraTest, SettersHonourCapabilityListsAndConfiguredPropertiesReplaceTheDefaults) {
  Start(R"({"cameras":[{"caps":{"shutter_code":[244,976]},"props":{"0x4220":[1,6]}}]})");
  const int32_t h = OpenUsb();
  EXPECT_EQ(api_->ZEPK_SetShutterSpeed(h, 500, 0), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_UNSUPPORTED);
  EXPECT_EQ(api_->ZEPK_SetShutterSpeed(h, 244, 1), 0);
  int32_t code = 0, bulb = 0, value = -1;
  ASSERT_EQ(api_->ZEPK_GetShutterSpeed(h, &code, &bulb), 0);
  EXPECT_EQ(code, 244);
  EXPECT_EQ(bulb, 1);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x3328, 1, &value), 0);
  EXPECT_EQ(value, 0) << "the default 0x3328 is gone";
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4220, 2, 1, &value), 0);
  EXPECT_EQ(value, 6);
  EXPECT_EQ(api_->ZEPK_SetProp(h, 0x3301, -1), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_ARGUMENT);
}

TEST_F(SimCameraTest, InvalidConfigurationFailsInit) {
  for (const char* config :
       {"{", R"({"cameras":[{"modle":"K-M3"}]})", R"({"cameras":[{"connect":["wifi"]}]})",
        R"({"cameras":[{"capture":{"format":"tiff"}}]})",
        R"({"faults":[{"fn":"ZEPK_Nothing"}]})"}) {
    SimSession session(config);
    SdkApi api(session);
    EXPECT_EQ(api.ZEPK_Init(nullptr), -1) << config;
    int32_t apiCode = 0, error = 0;
    api.ZEPK_GetErrorNumber(0, &apiCode, &error);
    EXPECT_EQ(error, ZEPASIM_ERR_CONFIG) << config;
  }
}

TEST_F(SimCameraTest, ReleaseModeListIsNeverWrittenPast512) {
  std::string modes;
  for (int i = 0; i < 600; ++i) modes += (i ? "," : "") + std::to_string(0x104 + i);
  Start(R"({"cameras":[{"release_modes":[)" + modes + "]}]}");
  std::vector<int32_t> list(513, -7);
  int32_t count = 0;
  ASSERT_EQ(api_->ZEPK_CapRelease(OpenUsb(), &count, list.data()), 0);
  EXPECT_EQ(count, 600);
  EXPECT_EQ(list[511], 0x104 + 511);
  EXPECT_EQ(list[512], -7);
}

TEST_F(SimCameraTest, RawComesFirstAndItsHeaderLocatesTheEmbeddedJpegOfTheSameFrame) {
  Start(R"({"cameras":[{"capture":{"delay_ms":0,"first_frame":7,
             "raw_bytes":100,"jpeg_bytes":300000}}]})");
  const int32_t h = OpenUsb();
  for (int shot = 0; shot < 2; ++shot) ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  for (uint32_t frame : {7u, 8u}) {
    SCOPED_TRACE(frame);
    const Image raw = Read(h), jpeg = Read(h);
    ASSERT_EQ(raw.format, uint32_t{ZEPASIM_FORMAT_RAW});
    ASSERT_EQ(jpeg.format, uint32_t{ZEPASIM_FORMAT_JPEG});
    EXPECT_EQ(BigEndian32(raw.bytes, 84), 256u);
    EXPECT_EQ(raw.bytes.size(), 256u + 300000u) << "raw_bytes below the content grows to fit";
    ASSERT_EQ(jpeg.bytes.size(), 300000u) << "jpeg_bytes pads both JPEGs";
    EXPECT_EQ(jpeg.bytes.back(), 0xD9);
    const ExifView inRaw = ReadExif(EmbeddedJpeg(raw.bytes)), own = ReadExif(jpeg.bytes);
    const std::string name = "A:\\DCIM\\100ORVTS\\ORV_000" + std::to_string(frame);
    EXPECT_EQ(FindTag(own.exif, 0x927C).value_or(TiffEntry{}).type, 7) << "UNDEFINED note";
    ASSERT_GE(own.makerNote.size(), 12u);
    EXPECT_EQ(std::string(own.makerNote.begin(), own.makerNote.begin() + 8), "ORVANTIS");
    EXPECT_EQ(BigEndian32(own.makerNote, 8), 0x0C000000u) << "little-endian offset of its IFD";
    EXPECT_EQ(NoteFrame(inRaw), frame);
    EXPECT_EQ(NoteFrame(own), frame);
    EXPECT_EQ(NotePath(inRaw), name + std::string(".QRW", 5));
    EXPECT_EQ(NotePath(own), name + std::string(".JPG", 5));
  }
  EXPECT_EQ(Info(h).format, uint32_t{ZEPASIM_FORMAT_NONE});
}

TEST_F(SimCameraTest, FrameNumberAndPathOverridesGiveExactTagBytes) {
  const struct {
    std::string capture, setup;
    uint32_t frame;
    std::string path;
  } cases[] = {
      {"", kSetFrame, 123456789, std::string("A:\\DCIM\\100ORVTS\\ORV_6789.JPG", 30)},
      {R"(,"camera_path":"","path_bytes":4)", "", 1, std::string(4, '\0')},
      {R"(,"camera_path":"B:\\X\\Y.JPG","path_bytes":5)", "", 1, "B:\\X\\"},
      {"", R"({"cmd":"set","camera":0,"key":"camera_path","value":"C:\\P.JPG"})", 1,
       std::string("C:\\P.JPG", 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capture + c.setup);
    const ExifView exif = ReadExif(ShootJpeg(c.capture, c.setup));
    EXPECT_EQ(NoteFrame(exif), c.frame);
    EXPECT_EQ(exif.noteIfd.at(1).count, c.path.size());
    EXPECT_EQ(NotePath(exif), c.path);
  }
}

TEST_F(SimCameraTest, DecodersAndExifValidatorAcceptTheJpegs) {
#ifdef _WIN32
  GTEST_SKIP() << "the checkers are Linux programs";
#else
  if (std::system("command -v djpeg >/dev/null && command -v exiftool >/dev/null") != 0)
    GTEST_SKIP() << "djpeg or exiftool missing";
  const std::string path = TempDir("sim-jpeg") + "/shot.jpg";
  for (const char* capture : {"", R"(,"byte_order":"MM","frame_type":"long")"}) {
    SCOPED_TRACE(capture);
    const std::vector<uint8_t> jpeg = ShootJpeg(capture, kSetFrame);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
    EXPECT_EQ(std::system(("djpeg -outfile /dev/null '" + path + "'").c_str()), 0);
    // A clean file validates "OK" with neither a warning nor an error.
    const std::string validate = "exiftool -validate -warning -a '" + path + "' 2>&1";
    EXPECT_EQ(std::system(
                  (validate + " | grep -q ': OK' && ! " + validate + " | grep -Eq 'Warning|Error'")
                      .c_str()),
              0);
  }
#endif
}

}  // namespace
}  // namespace brelon::test
