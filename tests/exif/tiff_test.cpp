// TIFF header, IFD and IFD-set parsing over memory and window streams: byte order, entry
// limits, invalid types, bounds, the IFD0 tag-description table and the parse modes.
#include "transfer/exif/tiff.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "exif/jpeg_builder.h"
#include "transfer/exif/byte_stream.h"

namespace brelon::exif {
namespace {

using namespace fixture;

// A TIFF block parsed in place, as the maker-note path does it.
struct ParsedTiff {
  explicit ParsedTiff(Bytes b) : bytes(std::move(b)), length(bytes.size()) {
    MemoryStreamInit(&stream, bytes.data(), &length, false);
    error = reader.ParseIfds();
  }
  Bytes bytes;
  uint64_t length;
  MemoryStream stream{};
  TiffReader reader{&stream.stream};
  uint16_t error = 0;
};

Bytes Ifd0Only(const IfdSpec& ifd0, Endian endian = Endian::kLittle) {
  TiffSpec t;
  t.endian = endian;
  t.ifd0 = ifd0;
  t.exif.reset();
  return t.Build();
}

TEST(ExifStream, MemoryStreamRefusesReadsAndSeeksPastTheEnd) {
  uint8_t buffer[4] = {1, 2, 3, 4};
  uint64_t length = sizeof(buffer);
  MemoryStream m;
  MemoryStreamInit(&m, buffer, &length, false);
  uint8_t out[8] = {};
  EXPECT_EQ(StreamRead(&m.stream, 3, out), kExifOk);
  EXPECT_EQ(StreamRead(&m.stream, 2, out + 3), kExifOutOfRange);
  EXPECT_EQ(out[3], 0);  // nothing copied
  EXPECT_EQ(StreamTell(&m.stream), 3u);
  EXPECT_EQ(StreamSeek(&m.stream, 5), kExifOutOfRange);
  EXPECT_EQ(StreamRead(&m.stream, UINT64_MAX, out), kExifOutOfRange);

  WindowStream w;
  WindowStreamInit(&w, &m.stream, 1);
  EXPECT_EQ(StreamSize(&w.stream), 3u);
  EXPECT_EQ(StreamSeek(&w.stream, 1), kExifOk);
  EXPECT_EQ(StreamTell(&m.stream), 2u);
  EXPECT_EQ(StreamRead(&w.stream, 1, out), kExifOk);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(StreamSeek(&w.stream, UINT64_MAX), kExifOutOfRange);
}

TEST(ExifTiff, BigEndianBlockReadsLikeItsLittleEndianTwin) {
  IfdSpec ifd;
  ifd.entries = {Short(0x0102, {8, 9, 10}),      Short(0x0112, {6}),
                 Short(0x0115, {3, 4}),          Long(0x0100, {4000}),
                 Long(0x0140, {1, 0x80000000u}), Rational(0x011A, {300, 1}),
                 Ascii(0x010F, "Maker"),         Ascii(0x0131, "fw")};
  ParsedTiff le(Ifd0Only(ifd, Endian::kLittle));
  ParsedTiff be(Ifd0Only(ifd, Endian::kBig));
  ASSERT_EQ(le.error, kExifOk);
  ASSERT_EQ(be.error, kExifOk);
  for (const IfdEntry* e = le.reader.ifd0()->entries();
       e != le.reader.ifd0()->entries() + le.reader.ifd0()->entryCount(); ++e) {
    uint8_t a[64] = {}, b[64] = {};
    ASSERT_EQ(le.reader.ifd0()->ReadTag(e->tag, a, sizeof(a)), kExifOk) << e->tag;
    ASSERT_EQ(be.reader.ifd0()->ReadTag(e->tag, b, sizeof(b)), kExifOk) << e->tag;
    EXPECT_EQ(std::memcmp(a, b, sizeof(a)), 0) << "tag " << e->tag;
  }
  const Ifd& b = *be.reader.ifd0();
  auto longs = [&](uint16_t tag, size_t n) {
    std::vector<uint32_t> v(n);
    EXPECT_EQ(b.ReadTagAsLong(tag, v.data(), n), kExifOk) << tag;
    return v;
  };
  EXPECT_EQ(longs(0x0102, 3), (std::vector<uint32_t>{8, 9, 10}));
  EXPECT_EQ(longs(0x0115, 2), (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(longs(0x0140, 2), (std::vector<uint32_t>{1, 0x80000000u}));
  uint32_t rational[3] = {};
  ASSERT_EQ(b.ReadTag(0x011A, rational, 8), kExifOk);
  EXPECT_EQ(rational[0], 300u);
  EXPECT_EQ(rational[1], 1u);
  EXPECT_EQ(b.ReadTagAsLong(0x011A, rational, 3), kExifBadTagType);
  EXPECT_EQ(b.ReadTagAsLong(0x0102, rational, 2), kExifOutOfRange);
}

TEST(ExifTiff, IfdHoldsAtMost2048Entries) {
  // Around the size kept inside the IFD object, and around the limit; entries are given in
  // descending order so that the sort moves every one of them.
  for (uint32_t n : {kInlineIfdEntries, kInlineIfdEntries + 1, 2048u, 2049u}) {
    SCOPED_TRACE(n);
    IfdSpec ifd;
    for (uint32_t i = n; i > 0; --i)
      ifd.entries.push_back(Short(static_cast<uint16_t>(i), {static_cast<uint16_t>(i)}));
    ParsedTiff t(Ifd0Only(ifd));
    if (n <= kMaxIfdEntries) {
      ASSERT_EQ(t.error, kExifOk);
      ASSERT_EQ(t.reader.ifd0()->entryCount(), n);
      uint32_t last[1] = {};
      EXPECT_EQ(t.reader.ifd0()->ReadTagAsLong(static_cast<uint16_t>(n), last, 1), kExifOk);
      EXPECT_EQ(last[0], n);
      EXPECT_EQ(t.reader.ifd0()->entries()[0].tag, 1);
    } else {
      EXPECT_EQ(t.error, kExifBadTiff);
      EXPECT_EQ(t.reader.ifd0(), nullptr);
    }
  }
}

// Entries are given out of order, with a duplicate tag and entries of invalid types (13, 0) in
// between: the invalid ones are left out without shifting the ones read after them.
TEST(ExifTiff, EntriesAreSortedStablyAndInvalidTypesAreLeftOut) {
  IfdSpec ifd;
  ifd.entries = {
      Short(0x0300, {3}),        Short(0x0100, {1}),    RawEntry(0x0101, 13, 1, 0xDEADBEEF),
      Short(0x0200, {21}),       Long(0x0102, {7}),     Short(0x0200, {22}),
      RawEntry(0x0103, 0, 4, 0), Ascii(0x0104, "after")};
  ParsedTiff t(Ifd0Only(ifd));
  ASSERT_EQ(t.error, kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  ASSERT_EQ(i0.entryCount(), 6);
  EXPECT_EQ(i0.entries()[0].tag, 0x0100);
  EXPECT_EQ(i0.entries()[5].tag, 0x0300);
  EXPECT_EQ(i0.FindTag(0x0101), nullptr);
  EXPECT_EQ(i0.TagType(0x0101), 0);
  uint32_t v = 0;
  ASSERT_EQ(i0.ReadTagAsLong(0x0102, &v, 1), kExifOk);
  EXPECT_EQ(v, 7u);
  ASSERT_EQ(i0.ReadTagAsLong(0x0200, &v, 1), kExifOk);
  EXPECT_EQ(v, 21u);  // the first in file order
  char text[8] = {};
  ASSERT_EQ(i0.ReadTag(0x0104, text, sizeof(text)), kExifOk);
  EXPECT_STREQ(text, "after");
  EXPECT_EQ(i0.FindTag(0x0250), nullptr);  // lookup stops at a greater tag
  EXPECT_EQ(i0.ReadTag(0x0250, &v, sizeof(v)), kExifTagMissing);
}

TEST(ExifTiff, HeaderAndIfdBoundsAreCheckedBeforeReading) {
  const Bytes good = Ifd0Only(IfdSpec{{Short(0x0100, {1})}});
  auto withByte = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  IfdSpec chained{{Short(0x0100, {1})}};
  chained.nextOffset = static_cast<uint32_t>(good.size());
  Bytes ifd1Cut = Ifd0Only(chained);
  ifd1Cut.insert(ifd1Cut.end(), {0x00, 0x04, 0, 0});  // IFD1 claims 1024 entries, has 2 bytes
  chained.nextOffset = 0x7FFFFFF0;
  for (const Bytes& b : {Bytes(good.begin(), good.begin() + 7), withByte(1, 'M') /* "IM" */,
                         withByte(2, 43) /* magic */, withByte(4, 4) /* IFD inside the header */,
                         withByte(7, 0x80) /* IFD far past the end */,
                         withByte(8, 0xFF) /* 255 entries do not fit */, ifd1Cut,
                         Ifd0Only(chained) /* IFD1 outside the block */}) {
    EXPECT_EQ(ParsedTiff(b).error, kExifBadTiff);  // a broken IFD1 fails the whole set
  }
  ParsedTiff twice(good);
  ASSERT_EQ(twice.error, kExifOk);
  EXPECT_EQ(twice.reader.ParseIfds(), kExifWrongState);
}

TEST(ExifTiff, ForgedValueOffsetsAndCountsFailWithoutReadingOutside) {
  IfdSpec ifd;
  ifd.entries = {RawEntry(0x0100, 2, 16, 0xFFFFFFF0u), RawEntry(0x0101, 12, 0xFFFFFFFFu, 8),
                 Ascii(0x0102, "in range"), RawEntry(0x010E, 2, 0, 0), Short(0x0112, {1})};
  ParsedTiff t(Ifd0Only(ifd, Endian::kBig));
  ASSERT_EQ(t.error, kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  uint8_t out[16];
  EXPECT_EQ(i0.ReadTag(0x0100, out, sizeof(out)), kExifOutOfRange);
  EXPECT_FALSE(i0.TagValueAvailable(0x0100));
  EXPECT_EQ(i0.TagByteSize(0x0101), 8ull * 0xFFFFFFFFu);
  EXPECT_FALSE(i0.TagValueAvailable(0x0101));
  EXPECT_EQ(i0.ReadTag(0x0101, out, sizeof(out)), kExifOutOfRange);
  EXPECT_TRUE(i0.TagValueAvailable(0x0102));
  EXPECT_EQ(i0.ReadTag(0x0102, out, 4), kExifOutOfRange);  // the caller's buffer is too small
  // A tag of count 0 reads into the empty buffer its size asks for (once a fuzz finding).
  EXPECT_EQ(i0.TagByteSize(0x010E), 0u);
  EXPECT_EQ(i0.ReadTag(0x010E, nullptr, 0), kExifOk);
  EXPECT_EQ(i0.ReadTagAsLong(0x0112, nullptr, 0), kExifOutOfRange);
}

TEST(ExifTiff, FullModeNeedsAWellFormedExifPointer) {
  auto parseFull = [](const Bytes& b) {
    Bytes copy = b;
    uint64_t length = copy.size();
    MemoryStream m;
    MemoryStreamInit(&m, copy.data(), &length, false);
    TiffHeader header(&m.stream);
    IfdSet set;
    uint16_t error = ParseIfdSet(&header, &set, IfdParseMode::kFull);
    EXPECT_EQ(error == kExifOk, set.ifd0 != nullptr);
    return error;
  };
  TiffSpec t;
  t.ifd0.entries = {Ascii(0x010F, "Make")};
  t.exif->entries = {Short(0x8827, {100})};
  t.interop = IfdSpec{{Ascii(0x0001, "R98")}};
  t.gps = IfdSpec{{Short(0x0000, {2})}};
  t.ifd1 = IfdSpec{{Long(0x0201, {0})}};
  EXPECT_EQ(parseFull(t.Build()), kExifOk);
  ParsedTiff ifdOnly(t.Build());
  ASSERT_EQ(ifdOnly.error, kExifOk);
  EXPECT_EQ(ifdOnly.reader.ifds().exif, nullptr);
  EXPECT_NE(ifdOnly.reader.ifds().gps, nullptr);
  EXPECT_NE(ifdOnly.reader.ifds().ifd1, nullptr);

  TiffSpec noExif = t;
  noExif.exif.reset();
  EXPECT_EQ(parseFull(noExif.Build()), kExifNoExif);
  // An Exif pointer of the wrong type or out of the block, or a GPS pointer out of it.
  for (const Entry& pointer : {Short(0x8769, {26}), RawEntry(0x8769, 4, 1, 0x7FFFFFF0),
                               RawEntry(0x8825, 4, 1, 0x7FFFFFF0)}) {
    TiffSpec broken = t;
    broken.ifd0.entries.push_back(pointer);
    EXPECT_EQ(parseFull(broken.Build()), kExifNoExif) << pointer.tag;
  }
}

TEST(ExifTiff, TagDescriptionTableChecksCountTypeAndSuppliesDefaults) {
  IfdSpec ifd;
  ifd.entries = {Ascii(0x010F, "Some make"), Short(0x0128, {2, 3}), Long(0x0213, {1}),
                 Long(0x8769, {26})};
  ParsedTiff t(Ifd0Only(ifd));
  ASSERT_EQ(t.error, kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  char make[16] = {};
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x010F, make, sizeof(make)), kExifOk);
  EXPECT_STREQ(make, "Some make");
  uint16_t orientation = 0;
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0112, &orientation, sizeof(orientation)), kExifOk);
  EXPECT_EQ(orientation, 1);  // default
  uint32_t resolution[2] = {};
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x011A, resolution, sizeof(resolution)), kExifOk);
  EXPECT_EQ(resolution[0], 72u);
  uint16_t unit[2];
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0128, unit, sizeof(unit)), kExifBadTagCount);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0213, unit, sizeof(unit)), kExifBadTagType);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0131, make, sizeof(make)), kExifTagMissing);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x9000, make, sizeof(make)), kExifOutOfRange);
  uint32_t pointer = 0;
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x8769, &pointer, sizeof(pointer)), kExifOk);
  EXPECT_EQ(pointer, 26u);
}

}  // namespace
}  // namespace brelon::exif
