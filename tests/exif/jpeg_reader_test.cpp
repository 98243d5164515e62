// The JPEG reader on built JPEGs: the frame check and marker walk (fill bytes, SOF2, broken
// chains), the segment handlers' validation, the Exif and APP2 handlers, and ScanFrame.
#include "transfer/exif/jpeg_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "exif/jpeg_builder.h"
#include "transfer/exif/byte_stream.h"

namespace brelon::exif {
namespace {

using namespace fixture;

struct Reader {
  explicit Reader(Bytes b) : bytes(std::move(b)), length(bytes.size()) {
    MemoryStreamInit(&stream, bytes.data(), &length, false);
  }
  Bytes bytes;
  uint64_t length;
  MemoryStream stream{};
  JpegReader jpeg{&stream.stream};
};

Bytes SmallTiff(const std::string& make = "ORVANTIS") {
  TiffSpec t;
  t.ifd0.entries = {Ascii(0x010F, make)};
  t.exif->entries = {Short(0x8827, {100})};
  return t.Build();
}

// SOI, then `head`, then DQT, SOF0 16x8, DHT, SOS and a short scan.
Bytes Jpeg(const std::function<void(JpegBuilder&)>& head, uint8_t sof = 0xC0) {
  JpegBuilder j;
  j.Soi();
  head(j);
  return j.Dqt().Sof(sof, 16, 8).Dht().Sos().Scan(2, 3).Eoi().Take();
}

Bytes Padded(Bytes head, size_t size, uint8_t fill) {
  head.resize(size, fill);
  return head;
}

void App2s(JpegBuilder& j, int n) {
  for (int i = 0; i < n; ++i) j.App(2, {'I', 'C', 'C', static_cast<uint8_t>(i)});
}

// SOI and Exif, then `body` (which brings its own tables and frame), then DHT, SOS and a scan.
Bytes WithBody(const std::function<void(JpegBuilder&)>& body) {
  JpegBuilder j;
  j.Soi().Exif(SmallTiff());
  body(j);
  return j.Dht().Sos().Scan(2, 3).Eoi().Take();
}

// Fill bytes, a foreign APP1, two Exif blocks (the first with a non-zero sixth byte), 512 APP2
// segments and a restart interval: the first Exif block counts and everything is recorded.
TEST(ExifJpeg, ParsesFrameTablesFirstExifBlockApp2ListAndRestartInterval) {
  JpegBuilder j;
  j.Soi().Raw({0xFF, 0xFF, 0xFF}).Jfif().App(1, {'h', 't', 't', 'p', ':', '/', '/', 'x'});
  j.Exif(SmallTiff("first"), 0x7F).Raw({0xFF}).Exif(SmallTiff("second"));
  App2s(j, 512);
  j.Dqt().Sof(0xC0, 16, 8).Segment(0xDD, {0, 4}).Dht();
  const size_t sos = j.bytes().size();
  Reader r(j.Sos().Scan(2, 3).Eoi().Take());
  ASSERT_EQ(r.jpeg.Parse(), kExifOk);
  EXPECT_EQ(r.jpeg.width(), 16);
  EXPECT_EQ(r.jpeg.height(), 8);
  EXPECT_EQ(r.jpeg.componentCount(), 1);
  ASSERT_NE(r.jpeg.quantTable(0), nullptr);
  EXPECT_EQ(r.jpeg.quantTable(0)[63], 1);
  EXPECT_EQ(r.jpeg.quantTable(1), nullptr);
  EXPECT_EQ(r.jpeg.huffmanTable(0).size(), 17u);  // DC table 0
  EXPECT_EQ(r.jpeg.huffmanTable(1).size(), 18u);  // AC table 0
  EXPECT_NE(r.jpeg.exifIfd(), nullptr);
  char make[32] = {};
  ASSERT_EQ(r.jpeg.ifd0()->ReadTag(0x010F, make, sizeof(make) - 1), kExifOk);
  EXPECT_STREQ(make, "first");
  EXPECT_EQ(r.jpeg.app2Count(), 512u);
  EXPECT_EQ(r.jpeg.app2Record(0).length, 4);
  EXPECT_EQ(r.bytes[r.jpeg.app2Record(511).position + 3], 511 & 0xFF);
  EXPECT_EQ(r.jpeg.restartInterval(), 4);
  EXPECT_EQ(r.jpeg.scanStart(), sos + 2);
  EXPECT_EQ(r.jpeg.ScanFrame(), kExifOk);
  r.jpeg.Release();
  EXPECT_EQ(r.jpeg.ifd0(), nullptr);
  EXPECT_EQ(r.jpeg.quantTable(0), nullptr);
}

TEST(ExifJpeg, ScanFrameReportsTheSizeWithoutExifButNotOfAProgressiveFrame) {
  Reader r(Jpeg([](JpegBuilder& j) { j.Jfif().App(1, {'h', 't', 't', 'p', ':', '/', '/'}); }));
  EXPECT_EQ(r.jpeg.Parse(), kExifNoExif);
  ASSERT_EQ(r.jpeg.ScanFrame(), kExifOk);
  EXPECT_EQ(r.jpeg.width(), 16);
  EXPECT_EQ(r.jpeg.height(), 8);
  Reader progressive(Jpeg([](JpegBuilder& j) { j.Exif(SmallTiff()); }, 0xC2));
  EXPECT_EQ(progressive.jpeg.ScanFrame(), kExifNotBaseline);
}

TEST(ExifJpeg, MalformedStreamsAndSegmentsGiveTheirDefinedError) {
  const Bytes good = Jpeg([](JpegBuilder& j) { j.Exif(SmallTiff()); });
  auto patched = [&good](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  Bytes gap = good;
  gap.insert(gap.begin() + 2, 0x00);  // a non-marker where a marker is due
  JpegBuilder fillToEnd, scanMarkerAtEnd;
  fillToEnd.Soi().Exif(SmallTiff()).Dqt().Sof(0xC0, 16, 8).Raw(Bytes(40, 0xFF));
  scanMarkerAtEnd.Soi().Exif(SmallTiff()).Dqt().Sof(0xC0, 16, 8).Raw({0xFF, 0xFF, 0xFF, 0xDA});
  Bytes noZero = {'E', 'x', 'i', 'f', 'X', 0};  // "Exif" without its zero byte
  const Bytes tiff = SmallTiff();
  noZero.insert(noZero.end(), tiff.begin(), tiff.end());
  auto sof = [](Bytes p) { return WithBody([&](JpegBuilder& j) { j.Dqt().Segment(0xC0, p); }); };
  auto afterFrame = [](uint8_t code, Bytes p) {
    return WithBody([&](JpegBuilder& j) { j.Dqt().Sof(0xC0, 16, 8).Segment(code, p); });
  };
  auto dqt = [](Bytes p) {
    return WithBody([&](JpegBuilder& j) { j.Segment(0xDB, p).Sof(0xC0, 16, 8); });
  };
  const struct {
    const char* name;
    Bytes jpeg;
    uint16_t error;
  } cases[] = {
      {"progressive frame", Jpeg([&](JpegBuilder& j) { j.Exif(tiff); }, 0xC2), kExifNotBaseline},
      {"SOI without its 0xFF", patched(0, 0x00), kExifNotBaseline},
      {"EOI in place of SOI", patched(1, 0xD9), kExifNotBaseline},
      {"cut after 30 bytes", Bytes(good.begin(), good.begin() + 30), kExifNotBaseline},
      {"non-marker in the chain", gap, kExifNotBaseline},
      {"SOI only", Bytes{0xFF, 0xD8}, kExifNotBaseline},
      {"empty", Bytes{}, kExifNotBaseline},
      {"fill bytes up to the end", fillToEnd.Take(), kExifNotBaseline},
      // The frame check stops at fill bytes 3 before the end; the parse steps over them.
      {"scan marker after fill bytes at the end", scanMarkerAtEnd.Take(), kExifOk},
      {"Exif name without zero", Jpeg([&](JpegBuilder& j) { j.App(1, noZero); }), kExifNoExif},
      {"513 APP2 segments", Jpeg([](JpegBuilder& j) { App2s(j.Exif(SmallTiff()), 513); }),
       kExifOutOfRange},
      {"two components", sof({8, 0, 8, 0, 16, 2, 1, 0x11, 0, 2, 0x11, 0}),
       kExifUnsupportedComponents},
      {"12-bit precision", sof({12, 0, 8, 0, 16, 1, 1, 0x11, 0}), kExifBadSegment},
      {"zero height", sof({8, 0, 0, 0, 16, 1, 1, 0x11, 0}), kExifBadSegment},
      {"sampling factor 5", sof({8, 0, 8, 0, 16, 1, 1, 0x51, 0}), kExifBadSegment},
      {"quant selector 4", sof({8, 0, 8, 0, 16, 1, 1, 0x11, 4}), kExifBadSegment},
      {"undefined quant table", WithBody([](JpegBuilder& j) { j.Dqt(0).Sof(0xC0, 16, 8, 3, 1); }),
       kExifBadSegment},
      {"defined quant table 3", WithBody([](JpegBuilder& j) { j.Dqt(3).Sof(0xC0, 16, 8, 3, 3); }),
       kExifOk},
      {"16-bit quant table cut short", dqt(Padded({0x10}, 129, 1)), kExifBadSegment},
      {"stray byte after quant table", dqt(Padded({0x00}, 66, 1)), kExifBadSegment},
      {"Huffman class 2", afterFrame(0xC4, Padded({0x20}, 17, 0)), kExifBadSegment},
      {"restart segment of length 5", afterFrame(0xDD, {0, 4, 0}), kExifBadSegment},
      {"SOI inside the chain", afterFrame(0xD8, {0, 0}), kExifBadSegment},
  };
  for (const auto& c : cases) EXPECT_EQ(Reader(c.jpeg).jpeg.Parse(), c.error) << c.name;
}

}  // namespace
}  // namespace brelon::exif
