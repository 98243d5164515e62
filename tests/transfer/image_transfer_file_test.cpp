// Image transfer without a connected camera: the format table and host file names, the camera
// path split, reading the camera's names from image files on disk (the simulator's own files,
// damaged copies and the shared corpus), and copying the JPEG out of a raw image in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "brelon/brelon.h"
#include "brelon/interfaces.h"
#include "exif/jpeg_builder.h"
#include "sdk/loader.h"
#include "sim/sim_test_util.h"
#include "support/test_env.h"
#include "transfer/exif/camera_path.h"
#include "transfer/image_transfer.h"

namespace brelon {
namespace {

namespace fs = std::filesystem;

constexpr size_t kLongestCharacterBytes = 4;  // of any narrow encoding here (UTF-8)

TEST(ImageFormatTable, FamiliesAndVariantsFollowTheFormatCode) {
  struct {
    uint32_t code;
    ImageFamily family;
    int32_t variant;
  } const cases[] = {
      {0x001, ImageFamily::kRaw, 0},     {0x601, ImageFamily::kRaw, 1},
      {0x301, ImageFamily::kRaw, 2},     {0x801, ImageFamily::kRaw, 3},
      {0x007, ImageFamily::kJpeg, 0},    {0x807, ImageFamily::kJpeg, 3},
      {0x304, ImageFamily::kPreview, 2}, {0x005, ImageFamily::kNone, 0},
      {0x305, ImageFamily::kUnknown, 0}, {0x101, ImageFamily::kUnknown, 0},
      {0x002, ImageFamily::kUnknown, 0}, {0x10001, ImageFamily::kUnknown, 0},
  };
  for (const auto& c : cases) {
    const ImageFormat format = ClassifyFormat(c.code);
    EXPECT_EQ(format.family, c.family) << std::hex << c.code;
    if (c.family != ImageFamily::kUnknown) {
      EXPECT_EQ(format.variant, c.variant) << c.code;
    }
  }
}

TEST(ImageFileName, EightDigitsFromTheSignedRemainder) {
  const auto name = [](uint32_t frame, bool raw) {
    char16_t out[16];
    FormatImageFileName(frame, raw, out);
    return std::u16string(out);
  };
  EXPECT_EQ(name(123456789, false), u"23456789.JPG");
  EXPECT_EQ(name(42, true), u"00000042.QRW");
  EXPECT_EQ(name(100000000, false), u"00000000.JPG");
  EXPECT_EQ(name(0xFFFFFFFFu, true), u"-0000001.QRW");  // frame -1 as signed 32-bit
  EXPECT_EQ(name(0x80000000u, false), u"-47483648.JPG");
}

TEST(CameraPathSplit, GivesFileAndFolderAfterTrimmingAndRefusesBlanks) {
  char16_t path[kCameraNameUnits] = u"  A:\\DCIM\\100ORVTS\\ORV_0001.JPG ";
  char16_t file[kCameraNameUnits] = u"unset", folder[kCameraNameUnits] = u"unset";
  ASSERT_TRUE(SplitCameraPath(path, file, folder));
  EXPECT_EQ(std::u16string(file), u"ORV_0001.JPG");
  EXPECT_EQ(std::u16string(folder), u"100ORVTS");

  char16_t blanks[kCameraNameUnits] = u"    ";
  std::memcpy(file, u"unset", sizeof(u"unset"));
  EXPECT_FALSE(SplitCameraPath(blanks, file, nullptr));
  EXPECT_EQ(std::u16string(file), u"unset");
}

// ---- Files on disk and raw images in memory ----------------------------------------------------

class ImageFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test::SimSession session(
        R"({"cameras":[{"capture":{"format":"raw+jpeg","delay_ms":0,"raw_bytes":8192,)"
        R"("first_frame":5}}]})");
    test::SdkApi api(session);
    int32_t count = 0, camera = 0, mode = 0;
    ASSERT_EQ(api.ZEPK_Init(nullptr), 0);
    ASSERT_EQ(api.ZEPK_Detect(ZEPASIM_IF_USB, nullptr, nullptr, &count), 0);
    ASSERT_EQ(api.ZEPK_OpenEx("ENUM:0", &camera, &mode, nullptr), 0);
    ASSERT_EQ(api.ZEPK_Release(camera, kReleaseHalfPressTimed, 0, 0), 0);
    for (std::vector<uint8_t>* file : {&raw_, &jpeg_}) {
      for (int wait = 0; wait < 1000 && !file->size(); ++wait) {
        ZepkImageInfo info{};
        api.ZEPK_ReadImageInfo(camera, &info);
        if (info.size == 0) {
          test::SleepMs(5);
          continue;
        }
        file->resize(info.size);
        ASSERT_EQ(api.ZEPK_ReadImage(camera, file->data(), info.size), 0);
      }
    }
    api.ZEPK_Exit();
    ASSERT_EQ(std::string(raw_.begin(), raw_.begin() + 4), "QRAW");
  }
  static void TearDownTestSuite() {
    raw_.clear();
    jpeg_.clear();
  }

  void SetUp() override { dir_ = test::TempDir("image-files"); }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = (fs::path(dir_) / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  }

  struct Names {
    int32_t result = -99;
    std::string file = "unset", folder = "unset";
  };
  // Reads into host buffers with a guard band behind their BRELON_HOST_TEXT_BYTES bytes.
  static Names Read(const std::string& path, int32_t raw) {
    const std::string guard(BRELON_HOST_TEXT_BYTES, '#');
    std::string file = std::string("unset", sizeof "unset") + guard;
    file.resize(2 * BRELON_HOST_TEXT_BYTES, '#');
    std::string folder = file;
    Names names;
    names.result = ReadImageInfoFromFile(path.c_str(), file.data(), folder.data(), raw);
    for (std::string* out : {&file, &folder}) {
      EXPECT_EQ(out->substr(BRELON_HOST_TEXT_BYTES), guard) << "written past the host's buffer";
    }
    names.file = file.c_str();
    names.folder = folder.c_str();
    return names;
  }

  static std::vector<uint8_t> raw_, jpeg_;
  std::string dir_;
};

std::vector<uint8_t> ImageFiles::raw_, ImageFiles::jpeg_;

TEST_F(ImageFiles, CameraNamesComeFromTheSimulatorsJpegAndRawFiles) {
  Names jpeg = Read(Write("a.jpg", jpeg_), 0);
  EXPECT_EQ(jpeg.result, 1);
  EXPECT_EQ(jpeg.file, "ORV_0005.JPG");
  EXPECT_EQ(jpeg.folder, "100ORVTS");

  Names raw = Read(Write("a.qrw", raw_), 1);
  EXPECT_EQ(raw.result, 1);
  EXPECT_EQ(raw.file, "ORV_0005.QRW");
  EXPECT_EQ(raw.folder, "100ORVTS");

  char folder[BRELON_HOST_TEXT_BYTES] = "unset";
  EXPECT_EQ(ReadImageInfoFromFile(Write("b.jpg", jpeg_).c_str(), nullptr, folder, 0), 0)
      << "1 only when the file name was written";
  EXPECT_STREQ(folder, "100ORVTS");

  // A path of 259 bytes that are no UTF-8 text: each becomes U+FFFD, three bytes, on POSIX.
  using namespace exif::fixture;
  constexpr size_t kFolderBytes = 128, kFileBytes = 129;
  const std::string invalid =
      "\\" + std::string(kFolderBytes, '\xFF') + "\\" + std::string(kFileBytes, '\xFE');
  const Bytes longPath = CameraJpeg(CameraTiff(MakerNote(CameraNote(7, invalid))).Build());
  for (int32_t isRaw : {0, 1}) {
    const Names names = Read(Write("long", isRaw ? RawWithJpeg(longPath) : longPath), isRaw);
    EXPECT_EQ(names.result, 1);
    const std::pair<std::string, size_t> outputs[] = {{names.file, kFileBytes},
                                                      {names.folder, kFolderBytes}};
    for (const auto& [text, sourceBytes] : outputs) {
      // Whole, or cut after the last whole character that fits: a cut inside a character
      // would not convert back to itself.
      char16_t wide[BRELON_HOST_TEXT_BYTES];
      char back[BRELON_HOST_TEXT_BYTES + kLongestCharacterBytes];
      const size_t units = plat::AnsiToWide(text.data(), text.size(), wide, std::size(wide));
      EXPECT_EQ(std::string(back, plat::WideToAnsi(wide, units, back, sizeof back)), text);
      EXPECT_LT(text.size(), size_t{BRELON_HOST_TEXT_BYTES});
      EXPECT_TRUE(units == sourceBytes ||
                  text.size() + kLongestCharacterBytes >= BRELON_HOST_TEXT_BYTES)
          << text.size();
    }
  }
}

TEST_F(ImageFiles, UnusableFilesGiveZeroAndLeaveTheOutputsAlone) {
  std::vector<uint8_t> pastEnd = raw_;
  pastEnd[88] = 0x7F;  // embedded JPEG length far beyond the file
  std::vector<uint8_t> truncated(raw_.begin(), raw_.begin() + 200);
  const struct {
    const char* what;
    std::string path;
    int32_t raw;
  } cases[] = {
      {"raw header past the end", Write("past.qrw", pastEnd), 1},
      {"raw cut inside its JPEG", Write("cut.qrw", truncated), 1},
      {"raw read as a JPEG", Write("raw.jpg", raw_), 0},
      {"empty file", Write("empty.jpg", {}), 0},
      {"missing file", (fs::path(dir_) / "missing.jpg").string(), 0},
  };
  for (const auto& c : cases) {
    const Names names = Read(c.path, c.raw);
    EXPECT_EQ(names.result, 0) << c.what;
    EXPECT_EQ(names.file, "unset") << c.what;
    EXPECT_EQ(names.folder, "unset") << c.what;
  }
  EXPECT_EQ(ReadImageInfoFromFile(nullptr, nullptr, nullptr, 0), 0);
}

TEST_F(ImageFiles, CorpusFilesWithoutOurMakerNoteGiveZero) {
  size_t files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(test::CorpusDir())) {
    if (entry.path().extension() == ".tsv") continue;
    ++files;
    for (int32_t raw : {0, 1}) {
      const Names names = Read(entry.path().string(), raw);
      EXPECT_EQ(names.result, 0) << entry.path() << " raw " << raw;
      EXPECT_EQ(names.file, "unset") << entry.path();
    }
  }
  EXPECT_GT(files, 20u);
}

TEST_F(ImageFiles, EmbeddedJpegIsMeasuredAndCopiedWithinTheGivenSize) {
  const std::vector<uint8_t> embedded = test::EmbeddedJpeg(raw_);
  ASSERT_FALSE(embedded.empty());
  const int32_t length = static_cast<int32_t>(embedded.size());

  int32_t size = -5;
  EXPECT_EQ(ExtractEmbeddedJpeg(raw_.data(), 0, nullptr, &size), BRELON_OK);
  EXPECT_EQ(size, length);
  EXPECT_EQ(ExtractEmbeddedJpeg(raw_.data(), 0, nullptr, nullptr), BRELON_OK);

  std::vector<uint8_t> out(embedded.size() + 16, 0xAA);
  size = length + 16;
  EXPECT_EQ(ExtractEmbeddedJpeg(raw_.data(), 0, out.data(), &size), BRELON_OK);
  EXPECT_EQ(size, length);
  EXPECT_TRUE(std::equal(embedded.begin(), embedded.end(), out.begin()));
  EXPECT_EQ(out[embedded.size()], 0xAA);

  std::fill(out.begin(), out.end(), 0xAA);
  size = 100;
  EXPECT_EQ(ExtractEmbeddedJpeg(raw_.data(), 0, out.data(), &size), BRELON_OK);
  EXPECT_EQ(size, 100);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, embedded.begin()));
  EXPECT_EQ(out[100], 0xAA);

  size = -1;
  EXPECT_EQ(ExtractEmbeddedJpeg(raw_.data(), 0, out.data(), &size), BRELON_OK);
  EXPECT_EQ(size, 0);

  std::fill(out.begin(), out.end(), 0xAA);
  EXPECT_EQ(ExtractEmbeddedJpeg(raw_.data(), 0, out.data(), nullptr), BRELON_OK);
  EXPECT_TRUE(std::equal(embedded.begin(), embedded.end(), out.begin()));
}

TEST_F(ImageFiles, EmbeddedRegionThatIsNoJpegWritesNothing) {
  std::vector<uint8_t> raw = raw_;
  raw[84] = raw[85] = raw[86] = raw[87] = 0;  // the region now starts at the raw header
  int32_t size = 1234;
  std::vector<uint8_t> out(16, 0xAA);
  EXPECT_EQ(ExtractEmbeddedJpeg(raw.data(), 0, out.data(), &size), BRELON_OK);
  EXPECT_EQ(size, 1234);
  EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAA));
  EXPECT_EQ(ExtractEmbeddedJpeg(nullptr, 0, out.data(), &size), BRELON_E_IMAGE_DATA);
  EXPECT_EQ(size, 1234);
}

}  // namespace
}  // namespace brelon
