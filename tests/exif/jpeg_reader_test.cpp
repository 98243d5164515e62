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

std::string Make(const JpegReader& j) {
  char make[32] = {};
  if (!j.ifd0() || j.ifd0()->ReadTag(0x010F, make, sizeof(make) - 1) != kExifOk) return "?";
  return make;
}

// SOI, then `head`, then DQT, SOF0 16x8, DHT, SOS and a short scan.
Bytes Jpeg(const std::function<void(JpegBuilder&)>& head, uint8_t sof = 0xC0) {
  JpegBuilder j;
  j.Soi();
  head(j);
  return j.Dqt().Sof(sof, 16, 8).Dht().Sos().Scan(2, 3).Eoi().Take();
}

TEST(ExifJpeg, ParsesBaselineFrameTablesAndExif) {
  Reader r(Jpeg([](JpegBuilder& j) { j.Jfif().Exif(SmallTiff()); }));
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
  EXPECT_EQ(Make(r.jpeg), "ORVANTIS");
  r.jpeg.Release();
  EXPECT_EQ(r.jpeg.ifd0(), nullptr);
  EXPECT_EQ(r.jpeg.quantTable(0), nullptr);
}

TEST(ExifJpeg, FillBytesBetweenSegmentsAreSteppedOver) {
  Reader r(Jpeg([](JpegBuilder& j) { j.Raw({0xFF, 0xFF, 0xFF}).Exif(SmallTiff()).Raw({0xFF}); }));
  EXPECT_EQ(r.jpeg.Parse(), kExifOk);
  EXPECT_EQ(r.jpeg.ScanFrame(), kExifOk);
  EXPECT_EQ(r.jpeg.width(), 16);

  // Fill bytes that run to the end of the data never reach a scan.
  JpegBuilder tail;
  tail.Soi().Exif(SmallTiff()).Dqt().Sof(0xC0, 16, 8).Raw(Bytes(40, 0xFF));
  Reader endless(tail.Take());
  EXPECT_EQ(endless.jpeg.Parse(), kExifNotBaseline);
}

TEST(ExifJpeg, ProgressiveOrBrokenChainIsNotBaseline) {
  Reader progressive(Jpeg([](JpegBuilder& j) { j.Exif(SmallTiff()); }, 0xC2));
  EXPECT_EQ(progressive.jpeg.Parse(), kExifNotBaseline);
  EXPECT_EQ(progressive.jpeg.ScanFrame(), kExifNotBaseline);

  Bytes good = Jpeg([](JpegBuilder& j) { j.Exif(SmallTiff()); });
  EXPECT_EQ(Reader(Bytes(good.begin() + 1, good.end())).jpeg.Parse(), kExifNotBaseline);
  EXPECT_EQ(Reader(Bytes(good.begin(), good.begin() + 30)).jpeg.Parse(), kExifNotBaseline);
  Bytes gap = good;
  gap.insert(gap.begin() + 2, 0x00);  // a non-marker where a marker is due
  EXPECT_EQ(Reader(gap).jpeg.Parse(), kExifNotBaseline);
  EXPECT_EQ(Reader(Bytes{0xFF, 0xD8}).jpeg.Parse(), kExifNotBaseline);
  EXPECT_EQ(Reader(Bytes{}).jpeg.Parse(), kExifNotBaseline);
}

TEST(ExifJpeg, WithoutExifParseFailsButScanFrameReportsTheSize) {
  Reader r(Jpeg([](JpegBuilder& j) { j.Jfif().App(1, {'h', 't', 't', 'p', ':', '/', '/'}); }));
  EXPECT_EQ(r.jpeg.Parse(), kExifNoExif);
  ASSERT_EQ(r.jpeg.ScanFrame(), kExifOk);
  EXPECT_EQ(r.jpeg.width(), 16);
  EXPECT_EQ(r.jpeg.height(), 8);
}

TEST(ExifJpeg, OnlyTheFirstExifBlockCountsAndItsSixthByteIsFree) {
  Reader r(Jpeg([](JpegBuilder& j) {
    j.App(1, {'h', 't', 't', 'p', ':', '/', '/', 'x'})
        .Exif(SmallTiff("first"), 0x7F)
        .Exif(SmallTiff("second"));
  }));
  ASSERT_EQ(r.jpeg.Parse(), kExifOk);
  EXPECT_EQ(Make(r.jpeg), "first");

  // "Exif" without its zero byte is some other APP1.
  Bytes tiff = SmallTiff("nozero");
  Bytes payload = {'E', 'x', 'i', 'f', 'X', 0};
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  Reader other(Jpeg([&](JpegBuilder& j) { j.App(1, payload); }));
  EXPECT_EQ(other.jpeg.Parse(), kExifNoExif);
}

TEST(ExifJpeg, App2ListHolds512Segments) {
  for (int n : {512, 513}) {
    Reader r(Jpeg([n](JpegBuilder& j) {
      j.Exif(SmallTiff());
      for (int i = 0; i < n; ++i) j.App(2, {'I', 'C', 'C', static_cast<uint8_t>(i)});
    }));
    if (n == 512) {
      ASSERT_EQ(r.jpeg.Parse(), kExifOk);
      EXPECT_EQ(r.jpeg.app2Count(), 512u);
      EXPECT_EQ(r.jpeg.app2Record(0).length, 4);
      EXPECT_EQ(r.bytes[r.jpeg.app2Record(511).position + 3], 511 & 0xFF);
    } else {
      EXPECT_EQ(r.jpeg.Parse(), kExifOutOfRange);
    }
  }
}

TEST(ExifJpeg, SegmentContentIsValidated) {
  auto parse = [](const std::function<void(JpegBuilder&)>& body) {
    JpegBuilder j;
    j.Soi().Exif(SmallTiff());
    body(j);
    j.Dht().Sos().Scan(2, 3).Eoi();
    return Reader(j.Take()).jpeg.Parse();
  };
  auto sof = [](Bytes p) { return [p](JpegBuilder& j) { j.Dqt().Segment(0xC0, p); }; };
  EXPECT_EQ(parse(sof({8, 0, 8, 0, 16, 2, 1, 0x11, 0, 2, 0x11, 0})), kExifUnsupportedComponents);
  EXPECT_EQ(parse(sof({12, 0, 8, 0, 16, 1, 1, 0x11, 0})), kExifBadSegment);  // precision
  EXPECT_EQ(parse(sof({8, 0, 0, 0, 16, 1, 1, 0x11, 0})), kExifBadSegment);   // zero height
  EXPECT_EQ(parse(sof({8, 0, 8, 0, 16, 1, 1, 0x51, 0})), kExifBadSegment);   // factor 5
  EXPECT_EQ(parse(sof({8, 0, 8, 0, 16, 1, 1, 0x11, 4})), kExifBadSegment);   // selector 4
  // A component naming a table that was never defined.
  EXPECT_EQ(parse([](JpegBuilder& j) { j.Dqt(0).Sof(0xC0, 16, 8, 3, 1); }), kExifBadSegment);
  EXPECT_EQ(parse([](JpegBuilder& j) { j.Dqt(1).Sof(0xC0, 16, 8, 3, 1); }), kExifOk);
  // Quantisation and Huffman tables must fill their segment exactly.
  EXPECT_EQ(parse([](JpegBuilder& j) {
              Bytes p = {0x10};  // 16-bit precision
              p.resize(129, 1);
              j.Segment(0xDB, p).Sof(0xC0, 16, 8);
            }),
            kExifBadSegment);
  EXPECT_EQ(parse([](JpegBuilder& j) {
              Bytes p = {0x00};
              p.resize(66, 1);  // one stray byte after the table
              j.Segment(0xDB, p).Sof(0xC0, 16, 8);
            }),
            kExifBadSegment);
  EXPECT_EQ(parse([](JpegBuilder& j) {
              Bytes p = {0x20};  // class 2
              p.resize(17, 0);
              j.Dqt().Sof(0xC0, 16, 8).Segment(0xC4, p);
            }),
            kExifBadSegment);
  EXPECT_EQ(parse([](JpegBuilder& j) {
              j.Dqt().Sof(0xC0, 16, 8).Segment(0xDD, {0, 4, 0});
            }),
            kExifBadSegment);  // restart interval segment of length 5
  EXPECT_EQ(parse([](JpegBuilder& j) {
              j.Dqt().Sof(0xC0, 16, 8).Segment(0xD8, {0, 0});
            }),
            kExifBadSegment);  // a start-of-image inside the chain
}

TEST(ExifJpeg, RestartIntervalAndScanStartAreRecorded) {
  JpegBuilder j;
  j.Soi().Exif(SmallTiff()).Dqt().Sof(0xC0, 16, 8).Segment(0xDD, {0, 4}).Dht();
  const size_t sos = j.bytes().size();
  Reader r(j.Sos().Scan(2, 3).Eoi().Take());
  ASSERT_EQ(r.jpeg.Parse(), kExifOk);
  EXPECT_EQ(r.jpeg.restartInterval(), 4);
  EXPECT_EQ(r.jpeg.scanStart(), sos + 2);
}

}  // namespace
}  // namespace brelon::exif
