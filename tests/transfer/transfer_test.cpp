// Image transfer. ReadImage on the simulated camera: every capture format with its names, what the
// host's buffer holds, the transfer settings and their warnings. Without a camera: the camera's
// names read from image files, and the JPEG copied out of a raw image.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "brelon/interfaces.h"
#include "settings/test_registry.h"
#include "sim/image_writer.h"
#include "support/connected_context.h"
#include "transfer/exif/raw_header.h"
#include "transfer/image_transfer.h"

namespace brelon {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
constexpr size_t kNameUnits = 261;

std::u16string Name(uint32_t frame, bool raw) {
  char16_t name[16];
  FormatImageFileName(frame, raw, name);
  return name;
}
Bytes CameraJpeg(uint32_t frame, const std::string& path) {
  using namespace zepasim;
  return EncodeJpeg(
      {.tiff = CameraTiff({.makerNote = MakerNote(CameraNote(frame, path))}).Build()});
}

// What the host got for one pending image: its query and read results and outputs.
struct Fetched {
  int32_t query = 99, read = 99;
  uint32_t size = 0, readSize = 0;  // from the query; *size after the read
  uint8_t isRaw = 0xEE;
  int32_t variant = -1;
  std::u16string name, cameraFile, cameraFolder;
};

class ReadImageOnSimCamera : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetTimeScale(10); }
  void TearDown() override {
    camera_.reset();
    plat::SetTimeScale(1);
  }
  void Connect(const std::string& capture) {
    camera_ = std::make_unique<test::ConnectedContext>(R"({"cameras":[{"capture":{"delay_ms":0,)" +
                                                       capture + "}}]}");
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
  }
  PluginContext* Ctx() { return camera_->Context(); }
  int Control(const std::string& json) { return camera_->Control(json); }
  void Set(const std::string& key, const std::string& value) {
    ASSERT_EQ(Control(R"({"cmd":"set","camera":0,"key":")" + key + R"(","value":)" + value + "}"),
              0)
        << key;
  }
  void ShootAndWait() {
    ASSERT_EQ(Shoot(camera_->Handle()), BRELON_OK);
    ASSERT_TRUE(camera_->ShotsReady()) << "the shot never reached the buffer";
  }
  int32_t Query(uint32_t* size) {
    return ReadImage(camera_->Handle(), nullptr, size, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  // One query call and, when it reports an image, one read call into a buffer of `capacity`
  // bytes (0: the reported size; -1: none). Name outputs start as "unset".
  Fetched Fetch(int64_t capacity = 0) {
    Fetched f;
    f.query = ReadImage(camera_->Handle(), nullptr, &f.size, &f.isRaw, &f.variant, nullptr, nullptr,
                        nullptr);
    if (f.query != BRELON_OK || f.size == 0) return f;
    Bytes bytes(f.readSize = capacity > 0 ? uint32_t(capacity) : f.size);
    char16_t name[kNameUnits] = u"unset", file[kNameUnits] = u"unset", dir[kNameUnits] = u"unset";
    f.read = ReadImage(camera_->Handle(), bytes.data(), capacity < 0 ? nullptr : &f.readSize,
                       &f.isRaw, &f.variant, name, file, dir);
    f.name = name, f.cameraFile = file, f.cameraFolder = dir;
    return f;
  }
  std::vector<Fetched> FetchAll() {
    std::vector<Fetched> all;
    for (int guard = 0; camera_->Pending() > 0 && guard < 16; ++guard) all.push_back(Fetch());
    return all;
  }
  void SetTransfer(bool jpeg, bool raw) {
    _BRELON_PROPERTY property{};
    ReadProperty(&property);
    property.TransferJPEG = jpeg;
    property.TransferRAW = raw;
    WriteProperty(&property);
  }

  test::Profile profile_ = test::UseFreshProfile("transfer");
  std::unique_ptr<test::ConnectedContext> camera_;
};

// Each format, frame-number layout and Exif byte order: every file once and whole, its kind and
// variant, the name from its frame number and the camera's own names.
TEST_F(ReadImageOnSimCamera, EveryFormatIsDeliveredWholeWithItsNames) {
  const struct {
    const char *format, *frameType, *byteOrder;
    int variantCode, variant;
    std::vector<bool> kinds;  // raw? per file, in delivery order
    uint32_t frame;
  } rows[] = {{"jpeg", "long", "MM", 0x000, 0, {false}, 77},
              {"raw", "short", "II", 0x300, 2, {true}, 78},
              {"raw+jpeg", "short", "MM", 0x800, 3, {true, false}, 65535},
              {"raw+jpeg", "short", "II", 0x600, 1, {true, false}, 100070000}};
  Connect(R"("raw_bytes":300000)");
  size_t files = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.frame);
    Set("capture.format", std::string("\"") + row.format + "\"");
    Set("capture.format_variant", std::to_string(row.variantCode));
    Set("capture.frame_type", std::string("\"") + row.frameType + "\"");
    Set("capture.byte_order", std::string("\"") + row.byteOrder + "\"");
    Set("frame_number", std::to_string(row.frame));
    ShootAndWait();
    const std::vector<Fetched> got = FetchAll();
    ASSERT_EQ(got.size(), row.kinds.size());
    files += got.size();
    for (size_t i = 0; i < got.size(); ++i) {
      const Fetched& f = got[i];
      const bool raw = row.kinds[i];
      EXPECT_EQ(f.query + f.read, BRELON_OK);
      EXPECT_EQ(f.isRaw * 10 + f.variant, raw * 10 + row.variant);
      EXPECT_EQ(f.readSize, f.size);
      EXPECT_EQ(raw ? f.size : 300000u, 300000u);
      EXPECT_EQ(f.name, Name(row.frame, raw));
      const std::u16string camera = u"ORV_" + Name(row.frame % 10000, raw).substr(4);
      EXPECT_EQ(f.cameraFile + u"|" + f.cameraFolder, camera + u"|100ORVTS");
    }
  }
  EXPECT_EQ(camera_->LogLines("|  brnReadImage:m_pfnReadImage result=[0]").size(), files);
}

// Without a context nothing is read. A short buffer, or none, fails and keeps the image; a longer
// one reads it. Then the SDK succeeds without writing: the buffer's metadata alone decides.
TEST_F(ReadImageOnSimCamera, BufferCapacityAndContentsDecideTheResultAndNames) {
  uint32_t size = 7;
  EXPECT_EQ(ReadImage(nullptr, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr),
            BRELON_E_NO_CONTEXT);
  EXPECT_EQ(size, 7u);
  Connect(R"("format":"jpeg")");
  ShootAndWait();
  ASSERT_EQ(Query(&size), BRELON_OK);
  const Fetched small = Fetch(size - 1);
  EXPECT_EQ(small.read, BRELON_E_IMAGE_DATA);
  EXPECT_EQ(small.name, u"unset") << "no name output after a failed SDK read";
  EXPECT_EQ(camera_->LogLines("|  brnReadImage:m_pfnReadImage result=[-1]").size(), 1u);
  EXPECT_EQ(Fetch(-1).read, BRELON_E_IMAGE_DATA);
  EXPECT_EQ(camera_->Pending(), 1) << "the image stays in the camera";
  const Fetched large = Fetch(size + 4096);
  EXPECT_EQ(large.read, BRELON_OK);
  EXPECT_EQ(large.name, u"00000001.JPG");
  EXPECT_EQ(large.readSize, size + 4096);

  const Bytes jpeg = CameraJpeg(9, "A:\\D\\ORV_0009.JPG");
  const Bytes raw = zepasim::RawContainer(jpeg, 4096);
  Bytes pastEnd = raw, brokenNote = jpeg, noFrame = jpeg;
  pastEnd[exif::kRawJpegOffsetField + 2] = 0x10;  // the JPEG would start beyond the data
  const uint8_t noteHeader[] = {'O', 'R', 'V', 'A', 'N', 'T', 'I', 'S', 12, 0, 0, 0};
  const auto note = std::search(brokenNote.begin(), brokenNote.end(), noteHeader, noteHeader + 12);
  ASSERT_NE(note, brokenNote.end());
  note[10] = 0x7F;                                 // the note's IFD lies far outside it
  noFrame[note - brokenNote.begin() + 14] = 0x37;  // first entry's tag 0x1437: no frame number
  const struct {
    const Bytes& data;
    uint8_t isRaw;
    int32_t result;
    std::u16string names;
  } cases[] = {
      {raw, 1, BRELON_OK, u"00000009.QRW|ORV_0009.JPG"},
      {jpeg, 0, BRELON_OK, u"00000009.JPG|ORV_0009.JPG"},
      {pastEnd, 1, BRELON_OK, u"|unset"},
      {brokenNote, 0, BRELON_E_IMAGE_DATA, u"|unset"},
      {noFrame, 0, BRELON_E_IMAGE_DATA, u"|ORV_0009.JPG"},
      {Bytes(4096, 0x5A), 0, BRELON_OK, u"|unset"},  // not a JPEG
      {raw, 0, BRELON_OK, u"|unset"},                // raw read as JPEG
  };
  Control(R"({"cmd":"fault","fn":"ZEPK_ReadImage","nth":1,"count":-1,"result":0})");
  for (size_t i = 0; i < std::size(cases); ++i) {
    Bytes buffer = cases[i].data;
    uint32_t bytes = static_cast<uint32_t>(buffer.size());
    uint8_t kind = cases[i].isRaw;
    char16_t name[kNameUnits] = u"unset", file[kNameUnits] = u"unset";
    EXPECT_EQ(
        ReadImage(camera_->Handle(), buffer.data(), &bytes, &kind, nullptr, name, file, nullptr),
        cases[i].result)
        << i;
    EXPECT_EQ(name + (u"|" + std::u16string(file)), cases[i].names) << i;
    EXPECT_TRUE(buffer == cases[i].data) << i << ": the host's buffer is only read";
  }
}

// Discarded JPEGs warn from the second in a row on; every transferred image after that tells
// the warning is over. Raw files discarded between transferred JPEGs never warn.
TEST_F(ReadImageOnSimCamera, UntransferredImagesAreDeletedAndWarnedFromTheSecondInARow) {
  SetTransfer(false, true);
  Connect(R"("format":"jpeg")");
  for (int shot = 1; shot <= 3; ++shot) {
    ShootAndWait();
    const int capacityEvents = camera_->Count(BRELON_EV_CAPACITY);
    uint32_t size = 0;
    EXPECT_EQ(Query(&size), BRELON_E_IMAGE_DELETED);
    EXPECT_EQ(size + camera_->Pending(), 0u) << "deleted in the camera";
    EXPECT_EQ(Ctx()->lJpegDiscardCount, std::min(shot, 2));
    EXPECT_EQ(camera_->Count(BRELON_EV_DISCARD_WARNING), shot - 1);
    EXPECT_EQ(camera_->Count(BRELON_EV_CAPACITY), capacityEvents + 2) << "before and after";
  }
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_DeleteImage").size(), 3u);
  SetTransfer(true, false);
  for (uint32_t shot = 4; shot <= 5; ++shot) {
    ShootAndWait();
    EXPECT_EQ(Fetch().name, Name(shot, false));
    EXPECT_EQ(Ctx()->lJpegDiscardCount, 0);
    EXPECT_EQ(camera_->Count(BRELON_EV_DISCARD_WARNING_OVER), int(shot) - 3);
  }
  Set("capture.format", R"("raw+jpeg")");
  for (uint32_t shot = 6; shot <= 8; ++shot) {
    ShootAndWait();
    const Fetched raw = Fetch();
    EXPECT_EQ(raw.query * 10 + raw.isRaw, BRELON_E_IMAGE_DELETED * 10 + 1);
    EXPECT_EQ(Ctx()->lRawDiscardCount, 1);
    EXPECT_EQ(Fetch().name, Name(shot, false));
    EXPECT_EQ(Ctx()->lRawDiscardCount, 0);
  }
  EXPECT_EQ(camera_->Count(BRELON_EV_DISCARD_WARNING), 2);
}

// Camera names from JPEG and raw files into guarded host buffers, a long path cut on a character
// boundary; damaged and corpus files (no maker note of ours) give 0 and leave the buffers alone.
TEST(ImageFiles, CameraNamesComeFromImageFilesCutOnACharacterBoundary) {
  const std::string dir = test::TempDir("image-files");
  auto write = [&](const std::string& name, const Bytes& bytes) {
    const std::string path = (fs::path(dir) / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  };
  auto read = [](const std::string& path, int32_t raw) {
    std::string file = std::string("unset", sizeof "unset");
    file.resize(2 * BRELON_HOST_TEXT_BYTES, '#');
    std::string folder = file;
    const int32_t result = ReadImageInfoFromFile(path.c_str(), file.data(), folder.data(), raw);
    for (const std::string* out : {&file, &folder}) {
      EXPECT_EQ(out->find_first_not_of('#', BRELON_HOST_TEXT_BYTES), std::string::npos)
          << "written past the host's buffer";
    }
    return std::tuple(result, std::string(file.c_str()), std::string(folder.c_str()));
  };
  const Bytes jpeg = CameraJpeg(5, "A:\\DCIM\\100ORVTS\\ORV_0005.JPG");
  const Bytes raw = zepasim::RawContainer(jpeg, 8192);
  for (int32_t kind : {0, 1}) {
    EXPECT_EQ(read(write("a", kind ? raw : jpeg), kind),
              std::tuple(1, std::string("ORV_0005.JPG"), std::string("100ORVTS")));
  }
  char folder[BRELON_HOST_TEXT_BYTES] = "unset";
  EXPECT_EQ(ReadImageInfoFromFile(write("b", jpeg).c_str(), nullptr, folder, 0), 0)
      << "1 only when the file name was written";
  EXPECT_STREQ(folder, "100ORVTS");

  // A path of 259 bytes that are no UTF-8 text: each becomes U+FFFD, three bytes, on POSIX.
  constexpr size_t kFolderBytes = 128, kFileBytes = 129, kLongestCharacterBytes = 4;
  const Bytes longPath = CameraJpeg(
      7, "\\" + std::string(kFolderBytes, '\xFF') + "\\" + std::string(kFileBytes, '\xFE'));
  for (int32_t kind : {0, 1}) {
    const auto [result, file, folder] =
        read(write("long", kind ? zepasim::RawContainer(longPath) : longPath), kind);
    EXPECT_EQ(result, 1);
    for (const auto& [text, sourceBytes] :
         {std::pair(file, kFileBytes), std::pair(folder, kFolderBytes)}) {
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

  Bytes pastEnd = raw;
  pastEnd[exif::kRawJpegLengthField] = 0x7F;  // embedded JPEG length far beyond the file
  std::vector<std::pair<std::string, int32_t>> files = {
      {write("past.qrw", pastEnd), 1},
      {write("cut.qrw", Bytes(raw.begin(), raw.begin() + 300)), 1},
      {write("raw.jpg", raw), 0},
      {write("empty.jpg", {}), 0},
      {(fs::path(dir) / "missing.jpg").string(), 0}};
  for (const fs::directory_entry& entry : fs::directory_iterator(test::CorpusDir())) {
    for (int32_t kind : {0, 1}) files.emplace_back(entry.path().string(), kind);
  }
  ASSERT_GT(files.size(), 60u);
  for (const auto& [path, kind] : files) {
    EXPECT_EQ(read(path, kind), std::tuple(0, std::string("unset"), std::string("unset")))
        << path << " raw " << kind;
  }
  EXPECT_EQ(ReadImageInfoFromFile(nullptr, nullptr, nullptr, 0), 0);
  fs::remove_all(dir);
}

// Sizes above, within and below the JPEG's, and none: copied up to the size, never beyond. A
// region that is no JPEG with Exif writes nothing; no image at all gives -6.
TEST(ExtractEmbeddedJpegTest, MeasuresAndCopiesWithinTheGivenSize) {
  const Bytes jpeg = CameraJpeg(5, "A:\\X\\Y.QRW");
  const Bytes raw = zepasim::RawContainer(jpeg, 8192);
  const int32_t length = static_cast<int32_t>(jpeg.size());
  int32_t size = -5;
  EXPECT_EQ(ExtractEmbeddedJpeg(raw.data(), 0, nullptr, &size), BRELON_OK);
  EXPECT_EQ(size, length);
  for (int32_t given : {length + 16, 100, 0, -1, -2}) {
    Bytes out(jpeg.size() + 16, 0xAA);
    size = given;
    EXPECT_EQ(ExtractEmbeddedJpeg(raw.data(), 0, out.data(), given == -2 ? nullptr : &size),
              BRELON_OK);
    const int32_t copied = given == -2 ? length : std::clamp(given, 0, length);
    EXPECT_EQ(given == -2 ? copied : size, copied) << given;
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.begin() + copied, out.begin())) << given;
    EXPECT_EQ(out[copied], 0xAA) << given;
  }
  Bytes header = raw;
  std::fill_n(header.begin() + exif::kRawJpegOffsetField, 4, 0);  // the region is the header
  Bytes out(16, 0xAA);
  size = 1234;
  EXPECT_EQ(ExtractEmbeddedJpeg(header.data(), 0, out.data(), &size), BRELON_OK);
  EXPECT_EQ(ExtractEmbeddedJpeg(nullptr, 0, out.data(), &size), BRELON_E_IMAGE_DATA);
  EXPECT_EQ(size, 1234);
  EXPECT_EQ(out, Bytes(16, 0xAA));
}

}  // namespace
}  // namespace brelon
