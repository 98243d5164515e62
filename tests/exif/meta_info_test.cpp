// CExifMetaInfo end to end on built camera JPEGs: maker-note round trips in both Exif byte
// orders, path-length limits, missing or broken maker notes, the call sequence and state
// rules, the debug copy, and the raw-header helper that finds the JPEG inside a raw file.
// Then the same reader on the simulated camera's own files: every shot gives a raw file and a
// JPEG, and the reader must return the frame number and camera path the simulator wrote into
// both, whatever frame-number type, Exif byte order and camera path the camera is set to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "exif/jpeg_builder.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "sim/sim_test_util.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/raw_header.h"

namespace brelon::exif {
namespace {

using namespace fixture;

struct Read {
  bool valid = false;
  int32_t parse = 0;
  int32_t frameResult = 0;
  uint32_t frame = 0;
  int32_t pathResult = 0;
  std::u16string path;
};

// The sequence image transfer runs, on one object per image.
Read ReadAll(const Bytes& jpeg) {
  CExifMetaInfo info;
  Read r;
  EXPECT_EQ(info.SetSource(jpeg.data(), jpeg.size()), 0);
  uint32_t w = 0, h = 0;
  r.valid = info.Validate(&w, &h);
  r.parse = info.ParseMetadata();
  char16_t path[kCameraPathCapacity + 8];
  std::fill(std::begin(path), std::end(path), u'#');
  r.pathResult = info.GetCameraPath(path);
  if (r.pathResult == 0) r.path = path;
  r.frameResult = info.GetFrameNumber(&r.frame);
  EXPECT_EQ(info.Close(), 0);
  EXPECT_EQ(info.ReleaseAll(), 0);
  return r;
}

Bytes CameraImage(const IfdSpec& note, Endian endian = Endian::kLittle, uint32_t noteIfd = 12) {
  return CameraJpeg(CameraTiff(MakerNote(note, noteIfd), endian).Build());
}

// Either byte order, SHORT or LONG frame number (stored as is, high bit kept), and the note's
// IFD right after its header or further in, as the header's offset says.
TEST(ExifMetaInfo, FrameNumberAndPathRoundTripInBothByteOrders) {
  for (Endian endian : {Endian::kLittle, Endian::kBig}) {
    for (bool asShort : {false, true}) {
      for (uint32_t noteIfd : {12u, 40u}) {
        const uint32_t frame = asShort ? 65535u : 0x80000001u;
        Read r = ReadAll(CameraImage(CameraNote(frame, "\\DCIM\\100ORVNT\\QV000123.JPG", asShort),
                                     endian, noteIfd));
        EXPECT_EQ(r.parse, 0);
        EXPECT_EQ(r.frameResult, 0);
        EXPECT_EQ(r.frame, frame);
        EXPECT_EQ(r.pathResult, 0);
        EXPECT_EQ(r.path, u"\\DCIM\\100ORVNT\\QV000123.JPG");
      }
    }
  }
  // A multi-value frame-number tag gives its first value.
  Read multi = ReadAll(CameraImage(IfdSpec{{Long(0x1438, {11, 12, 13})}}));
  EXPECT_EQ(multi.frameResult, 0);
  EXPECT_EQ(multi.frame, 11u);
}

std::u16string Wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string Letters(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text;
}

TEST(ExifMetaInfo, CameraPathIsTakenExactlyUpTo260Bytes) {
  const std::string ansi = "A:\\\xC3\xA9t\xE9\\X";
  char16_t converted[kCameraPathCapacity];
  plat::AnsiToWide(ansi.data(), ansi.size(), converted, kCameraPathCapacity);
  const struct {
    const char* name;
    Entry tag;
    std::optional<std::u16string> path;  // nullopt: refused
  } cases[] = {
      {"empty", Ascii(0x1439, ""), u""},
      {"empty, no terminator", Ascii(0x1439, "", false), u""},
      {"1 byte", Ascii(0x1439, "A", false), u"A"},
      {"2 bytes", Ascii(0x1439, "A"), u"A"},
      {"260 bytes", Ascii(0x1439, Letters(259)), Wide(Letters(259))},
      {"260 bytes, no terminator", Ascii(0x1439, Letters(260), false), Wide(Letters(260))},
      {"261 bytes", Ascii(0x1439, Letters(260)), std::nullopt},
      {"261 bytes, no terminator", Ascii(0x1439, Letters(261), false), std::nullopt},
      {"zero bytes only", Undefined(0x1439, Bytes(32, 0)), u""},
      {"text stops at its first zero", Ascii(0x1439, std::string("A:\x01X\0junk", 9)), u"A:\x01X"},
      {"bytes above 0x7F go through the ANSI code page", Ascii(0x1439, ansi), converted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Read r = ReadAll(CameraImage(IfdSpec{{Long(0x1438, {7}), c.tag}}));
    EXPECT_EQ(r.frame, 7u);
    EXPECT_EQ(r.pathResult, c.path ? 0 : -1);
    if (c.path) {
      EXPECT_EQ(r.path, *c.path);
    }
  }
}

TEST(ExifMetaInfo, MissingOrUnusableMakerNoteLeavesBothGettersEmpty) {
  auto expectEmpty = [](const Bytes& jpeg, int32_t parse) {
    Read r = ReadAll(jpeg);
    EXPECT_EQ(r.parse, parse);
    EXPECT_EQ(r.frameResult, -1);
    EXPECT_EQ(r.frame, 0u);
    EXPECT_EQ(r.pathResult, -1);
  };
  TiffSpec noNote = CameraTiff({});
  noNote.exif->entries = {Short(0x8827, {100})};
  expectEmpty(CameraJpeg(noNote.Build()), 0);

  const Bytes note = MakerNote(CameraNote(5, "P"));
  TiffSpec wrongType = CameraTiff(note);
  wrongType.exif->entries[1].type = 4;  // LONG
  wrongType.exif->entries[1].count /= 4;
  wrongType.exif->entries[1].elementSize = 4;
  expectEmpty(CameraJpeg(wrongType.Build()), 0);
  expectEmpty(CameraJpeg(CameraTiff(Bytes(note.begin(), note.begin() + 11)).Build()), 0);
  Bytes badOffset = note;
  badOffset[8] = 0xF0;  // IFD past the note's end
  expectEmpty(CameraJpeg(CameraTiff(badOffset).Build()), 0);
  TiffSpec forged = CameraTiff(note);
  forged.exif->entries[1] = RawEntry(0x927C, 7, 0x7FFFFFFF, 64);  // count past the data
  expectEmpty(CameraJpeg(forged.Build()), 0);
  // Frame number present but without a value, or of a non-integer type.
  expectEmpty(CameraImage(IfdSpec{{RawEntry(0x1438, 4, 0, 0)}}), 0);
  expectEmpty(CameraImage(IfdSpec{{Rational(0x1438, {1, 1})}}), 0);
  // Not a JPEG with Exif at all.
  expectEmpty(Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, -4);
}

// Validate keeps its parse for a following ParseMetadata of the same data (through Close too),
// never for other data, and shows nothing of it before.
TEST(ExifMetaInfo, CallSequenceAndStateRules) {
  const Bytes first = CameraJpeg(CameraTiff(MakerNote(CameraNote(9, "A"))).Build(), 48, 24);
  const Bytes second = CameraJpeg(CameraTiff(MakerNote(CameraNote(2, "B"))).Build(), 32, 16);
  CExifMetaInfo info;
  uint32_t w = 1, h = 1, frame = 0;
  EXPECT_FALSE(info.Validate(&w, &h));
  EXPECT_EQ(info.ParseMetadata(), -3);
  EXPECT_EQ(info.GetFrameNumber(&frame), -1);
  char16_t path[kCameraPathCapacity];
  EXPECT_EQ(info.GetCameraPath(path), -1);

  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
  ASSERT_TRUE(info.Validate(&w, &h));
  EXPECT_EQ(info.ifd0(), nullptr);
  EXPECT_EQ(w, 48u);
  EXPECT_EQ(h, 24u);
  w = h = 0;
  ASSERT_TRUE(info.Validate(&w, &h));
  EXPECT_EQ(w, 48u);
  ASSERT_EQ(info.ParseMetadata(), 0);
  w = h = 777;
  EXPECT_TRUE(info.Validate(&w, &h));  // a held parse leaves the outputs alone
  EXPECT_EQ(w, 777u);
  EXPECT_EQ(info.GetCameraPath(nullptr), -1);
  EXPECT_EQ(info.Close(), 0);
  EXPECT_EQ(info.GetFrameNumber(&frame), -1);
  ASSERT_EQ(info.ParseMetadata(), 0);  // the copy survives Close
  EXPECT_EQ(info.GetFrameNumber(&frame), 0);
  EXPECT_EQ(frame, 9u);
  EXPECT_EQ(info.ReleaseAll(), 0);
  EXPECT_EQ(info.ParseMetadata(), -3);

  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
  ASSERT_TRUE(info.Validate(&w, &h));
  ASSERT_EQ(info.SetSource(second.data(), second.size()), 0);
  ASSERT_TRUE(info.Validate(&w, &h));
  EXPECT_EQ(w, 32u);
  ASSERT_EQ(info.ParseMetadata(), 0);
  EXPECT_EQ(info.GetFrameNumber(&frame), 0);
  EXPECT_EQ(frame, 2u);

  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
  ASSERT_TRUE(info.Validate(&w, &h));
  EXPECT_EQ(info.Close(), 0);
  ASSERT_EQ(info.ParseMetadata(), 0);
  EXPECT_EQ(info.GetFrameNumber(&frame), 0);
  EXPECT_EQ(frame, 9u);

  // The reader works on its own copy: the caller may reuse its buffer at once.
  Bytes scratch = second;
  ASSERT_EQ(info.SetSource(scratch.data(), scratch.size()), 0);
  std::fill(scratch.begin(), scratch.end(), 0);
  ASSERT_EQ(info.ParseMetadata(), 0);
  EXPECT_EQ(info.GetFrameNumber(&frame), 0);
  EXPECT_EQ(frame, 2u);

  const Bytes broken(first.begin(), first.begin() + 40);
  ASSERT_EQ(info.SetSource(broken.data(), broken.size()), 0);
  EXPECT_FALSE(info.Validate(&w, &h));
  EXPECT_EQ(info.ParseMetadata(), -4);
}

TEST(ExifMetaInfo, DebugCopyIsReplacedOnlyWhereItsFolderExists) {
  namespace fs = std::filesystem;
  const fs::path file = plat::DebugImageCopyPath();
  const fs::path folder = file.parent_path();
  const bool hadFolder = fs::exists(folder);
  const Bytes first = CameraImage(CameraNote(1, "A"));
  const Bytes second = CameraImage(CameraNote(2, std::string(100, 'B')));
  CExifMetaInfo info;
  std::error_code ec;
  if (!hadFolder) {
    ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
    EXPECT_FALSE(fs::exists(folder)) << "the folder must never be created";
    ASSERT_TRUE(fs::create_directory(folder, ec)) << ec.message();
    fs::permissions(folder, fs::perms::owner_all, ec);  // a folder the copy may go to
  }
  ASSERT_EQ(info.SetSource(second.data(), second.size()), 0);
  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);  // shorter: no stale tail
  std::ifstream in(file, std::ios::binary);
  Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, first);
  in.close();
  if (!hadFolder) {
    fs::remove(file, ec);
    fs::remove(folder, ec);
  }
}

TEST(ExifRawHeader, EmbeddedJpegIsLocatedOnlyInsideTheData) {
  const Bytes jpeg = CameraImage(CameraNote(42, "\\DCIM\\100ORVNT\\QV000042.QRW"));
  const Bytes raw = RawWithJpeg(jpeg);
  size_t offset = 0, length = 0;
  ASSERT_TRUE(LocateEmbeddedJpeg(raw.data(), raw.size(), &offset, &length));
  EXPECT_EQ(offset, 92u + 256u);
  EXPECT_EQ(length, jpeg.size());
  CExifMetaInfo info;
  ASSERT_EQ(info.SetSource(raw.data() + offset, length), 0);
  ASSERT_EQ(info.ParseMetadata(), 0);
  uint32_t frame = 0;
  EXPECT_EQ(info.GetFrameNumber(&frame), 0);
  EXPECT_EQ(frame, 42u);

  // One byte short, a header cut off, and an offset + length that wraps 32 bits.
  EXPECT_FALSE(LocateEmbeddedJpeg(raw.data(), offset + length - 1, &offset, &length));
  EXPECT_FALSE(LocateEmbeddedJpeg(raw.data(), 91, &offset, &length));
  Bytes wrap = raw;
  for (int i = 0; i < 4; ++i) wrap[84 + i] = 0xFF;
  EXPECT_FALSE(LocateEmbeddedJpeg(wrap.data(), wrap.size(), &offset, &length));
  EXPECT_FALSE(LocateEmbeddedJpeg(nullptr, 100, &offset, &length));
  EXPECT_TRUE(LocateEmbeddedJpeg(raw.data(), raw.size(), nullptr, nullptr));
}

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

// The camera's own name for a file: its folder, then the frame's last four digits.
std::string GeneratedPath(uint32_t frame, bool raw) {
  char name[64];
  std::snprintf(name, sizeof name, "A:\\DCIM\\100ORVTS\\ORV_%04u.%s", frame % kFileNumberModulo,
                raw ? "QRW" : "JPG");
  return name;
}

class ExifOnSimulatedShots : public test::SimTest {};

TEST_F(ExifOnSimulatedShots, FrameNumberAndCameraPathComeBackAsTheCameraWroteThem) {
  // Path-length limits are the reader's own business (above); the rows here cover each
  // frame-number type and byte order, and the camera's path settings up to the limit.
  const Case cases[] = {
      {"short II", 7, false, false, std::nullopt},
      {"short MM", kLargestShort, false, true, std::nullopt},
      {"long II", 42, true, false, std::nullopt},
      {"long MM", 4000000000u, false, true, std::nullopt},
      {"path of 0 bytes of text", 300, false, true, ""},
      {"path of 260 bytes without terminator", 304, false, true, Letters(260), 260},
      {"path of 261 bytes is refused", 305, true, false, Letters(260)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string capture = R"("delay_ms":0,"format":"raw+jpeg","raw_bytes":100,"first_frame":)" +
                          std::to_string(c.frame) + R"(,"frame_type":")" +
                          (c.longFrame ? "long" : "short") + R"(","byte_order":")" +
                          (c.bigEndian ? "MM" : "II") + "\"";
    if (c.path) capture += R"(,"camera_path":")" + *c.path + "\"";  // letters: nothing to escape
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

      const auto r = ReadAll(Bytes(data, data + size));
      EXPECT_TRUE(r.valid);
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
