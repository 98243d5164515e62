// The readers on written images: the maker note through every layout the camera may write and
// every way it can break, the reader's call sequence and debug copy, the raw header, malformed
// JPEG streams, and the TIFF parser's value types, limits, bounds and tag-description table.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <tuple>

#include "platform/platform.h"
#include "sim/image_writer.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/raw_header.h"

namespace brelon::exif {
namespace {

using namespace zepasim;

Bytes Camera(const TiffIfd& note, bool big = false, uint32_t noteIfd = kMakerNoteIfdOffset) {
  return EncodeJpeg(
      {.tiff = CameraTiff({.bigEndian = big, .makerNote = MakerNote(note, noteIfd)}).Build()});
}

struct Read {
  int32_t parse = 0;
  int64_t frame = -1;  // -1: none
  std::optional<std::u16string> path{};
};

// The sequence image transfer runs, on one object per image.
Read ReadAll(const Bytes& jpeg) {
  CExifMetaInfo info;
  Read r;
  EXPECT_EQ(info.SetSource(jpeg.data(), jpeg.size()), 0);
  uint32_t w = 0, h = 0, frame = 7;
  const bool valid = info.Validate(&w, &h);
  r.parse = info.ParseMetadata();
  EXPECT_EQ(valid, r.parse == 0);
  char16_t path[kCameraPathCapacity];
  if (info.GetCameraPath(path) == 0) r.path = path;
  if (info.GetFrameNumber(&frame) == 0) r.frame = frame;
  EXPECT_TRUE(r.frame >= 0 || frame == 0) << "no frame number reads as 0";
  EXPECT_EQ(info.Close() + info.ReleaseAll(), 0);
  return r;
}

std::string Letters(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text;
}

TEST(ExifMetaInfo, MakerNoteRoundTripsOrIsRefusedWhole) {
  struct Row {
    std::string name;
    Bytes jpeg;
    Read want;
  };
  std::vector<Row> rows;
  const std::string path = "\\DCIM\\100ORVNT\\QV000123.JPG";
  for (bool big : {false, true}) {
    for (bool asLong : {false, true}) {
      for (uint32_t noteIfd : {12u, 40u}) {  // right after the note's header, or further in
        const uint32_t frame = asLong ? 0x80000001u : 65535u;  // stored as is, high bit kept
        rows.push_back({"layout",
                        Camera(CameraNote(frame, path, asLong), big, noteIfd),
                        {0, frame, std::u16string(path.begin(), path.end())}});
      }
    }
  }
  const std::string ansi = "A:\\\xC3\xA9t\xE9\\X";
  char16_t converted[kCameraPathCapacity];
  plat::AnsiToWide(ansi.data(), ansi.size(), converted, kCameraPathCapacity);
  auto wide = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
  const struct {
    std::string text;
    bool terminate;
    std::optional<std::u16string> path;  // none: refused
  } paths[] = {{"", true, u""},
               {"", false, u""},
               {"A", false, u"A"},
               {"A", true, u"A"},
               {Letters(259), true, wide(Letters(259))},
               {Letters(260), false, wide(Letters(260))},  // the longest: 260 bytes
               {Letters(260), true, {}},
               {Letters(261), false, {}},
               {ansi, true, converted}};  // bytes above 0x7F go through the ANSI code page
  for (const auto& p : paths) {
    rows.push_back({"path " + std::to_string(p.text.size() + p.terminate),
                    Camera(CameraNote(7, p.text, false, p.terminate)),
                    {0, 7, p.path}});
  }
  const Bytes note = MakerNote(CameraNote(5, "P"));
  TiffBlock asLongs = CameraTiff({.makerNote = note});
  asLongs.exif->entries[2] = Numbers(kTagMakerNote, kTiffLong, {1, 2, 3, 4});
  TiffBlock forged = CameraTiff({.makerNote = note});
  forged.exif->entries[2] = Forged(kTagMakerNote, kTiffUndefined, 0x7FFFFFFF, 64);
  Bytes farIfd = note;
  farIfd[8] = 0xF0;
  const std::vector<Row> more = {
      {"zeros only",
       Camera({{Long(kTagFrameNumber, {9}), Undefined(kTagCameraPath, Bytes(32))}}),
       {0, 9, u""}},
      {"text ends at its first zero",
       Camera(CameraNote(9, std::string("A:\x01X\0junk", 9))),
       {0, 9, u"A:\x01X"}},
      {"three frame numbers", Camera({{Long(kTagFrameNumber, {11, 12, 13})}}), {0, 11, {}}},
      {"frame number without value", Camera({{Forged(kTagFrameNumber, kTiffLong, 0, 0)}}), {}},
      {"rational frame number", Camera({{Numbers(kTagFrameNumber, kTiffRational, {1, 1})}}), {}},
      {"no maker note", EncodeJpeg({.tiff = CameraTiff({}).Build()}), {}},
      {"note of LONGs", EncodeJpeg({.tiff = asLongs.Build()}), {}},
      {"note of 11 bytes",
       EncodeJpeg(
           {.tiff = CameraTiff({.makerNote = Bytes(note.begin(), note.begin() + 11)}).Build()}),
       {}},
      {"note IFD past its end",
       EncodeJpeg({.tiff = CameraTiff({.makerNote = farIfd}).Build()}),
       {}},
      {"note count past the data", EncodeJpeg({.tiff = forged.Build()}), {}},
      {"not a JPEG", Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, {-4}},
  };
  rows.insert(rows.end(), more.begin(), more.end());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Read r = ReadAll(row.jpeg);
    EXPECT_EQ(r.parse, row.want.parse);
    EXPECT_EQ(r.frame, row.want.frame);
    EXPECT_EQ(r.path, row.want.path);
  }
}

// Validate keeps its parse for a following ParseMetadata of the same data (through Close too),
// never for other data, and shows nothing of it before; the reader works on its own copy.
TEST(ExifMetaInfo, CallSequenceAndStateRules) {
  auto image = [](uint32_t frame, int width) {
    return EncodeJpeg(
        {.width = width,
         .height = 16,
         .tiff = CameraTiff({.makerNote = MakerNote(CameraNote(frame, "P"))}).Build()});
  };
  const Bytes first = image(9, 48), second = image(2, 32);
  CExifMetaInfo info;
  uint32_t w = 1, h = 1, frame = 0;
  char16_t path[kCameraPathCapacity];
  auto frameNow = [&] { return info.GetFrameNumber(&frame) == 0 ? int64_t{frame} : -1; };
  EXPECT_FALSE(info.Validate(&w, &h));
  EXPECT_EQ(info.ParseMetadata(), -3);
  EXPECT_EQ(frameNow(), -1);
  EXPECT_EQ(info.GetCameraPath(path), -1);
  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
  for (int i = 0; i < 2; ++i) {
    w = h = 0;
    ASSERT_TRUE(info.Validate(&w, &h));
    EXPECT_EQ(w, 48u);
    EXPECT_EQ(h, 16u);
    EXPECT_EQ(info.ifd0(), nullptr);
  }
  ASSERT_EQ(info.ParseMetadata(), 0);
  w = 777;
  EXPECT_TRUE(info.Validate(&w, &h));
  EXPECT_EQ(w, 777u) << "a held parse leaves the outputs alone";
  EXPECT_EQ(info.GetCameraPath(nullptr), -1);
  EXPECT_EQ(info.Close(), 0);
  EXPECT_EQ(frameNow(), -1);
  ASSERT_EQ(info.ParseMetadata(), 0) << "the copy survives Close";
  EXPECT_EQ(frameNow(), 9);
  EXPECT_EQ(info.ReleaseAll(), 0);
  EXPECT_EQ(info.ParseMetadata(), -3);

  for (bool close : {false, true}) {  // a parse of other data is never taken for the new data
    ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
    ASSERT_TRUE(info.Validate(&w, &h));
    if (close) info.Close();
    Bytes scratch = close ? first : second;
    ASSERT_EQ(info.SetSource(scratch.data(), scratch.size()), 0);
    std::fill(scratch.begin(), scratch.end(), 0);  // the caller may reuse its buffer at once
    ASSERT_TRUE(info.Validate(&w, &h));
    EXPECT_EQ(w, close ? 48u : 32u);
    ASSERT_EQ(info.ParseMetadata(), 0);
    EXPECT_EQ(frameNow(), close ? 9 : 2);
  }
  ASSERT_EQ(info.SetSource(first.data(), 40), 0);
  EXPECT_FALSE(info.Validate(&w, &h));
  EXPECT_EQ(info.ParseMetadata(), -4);
}

TEST(ExifMetaInfo, DebugCopyIsReplacedOnlyWhereItsFolderExists) {
  namespace fs = std::filesystem;
  const fs::path file = plat::DebugImageCopyPath(), folder = file.parent_path();
  const bool hadFolder = fs::exists(folder);
  const Bytes first = Camera(CameraNote(1, "A")), second = Camera(CameraNote(2, Letters(100)));
  CExifMetaInfo info;
  std::error_code ec;
  if (!hadFolder) {
    ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
    EXPECT_FALSE(fs::exists(folder)) << "the folder must never be created";
    ASSERT_TRUE(fs::create_directory(folder, ec)) << ec.message();
  }
  ASSERT_EQ(info.SetSource(second.data(), second.size()), 0);
  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);  // shorter: no stale tail
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), first);
  in.close();
  if (!hadFolder) fs::remove_all(folder, ec);
}

TEST(ExifRawHeader, EmbeddedJpegIsLocatedOnlyInsideTheData) {
  const Bytes jpeg = Camera(CameraNote(42, "X"));
  const Bytes raw = RawContainer(jpeg, kRawHeaderBytes + jpeg.size() + 64);
  size_t offset = 0, length = 0;
  ASSERT_TRUE(LocateEmbeddedJpeg(raw.data(), raw.size(), &offset, &length));
  EXPECT_EQ(Bytes(raw.begin() + offset, raw.begin() + offset + length), jpeg);
  EXPECT_TRUE(LocateEmbeddedJpeg(raw.data(), offset + length, nullptr, nullptr));
  EXPECT_FALSE(LocateEmbeddedJpeg(raw.data(), offset + length - 1, &offset, &length));
  const Bytes bare(kRawHeaderMinBytes);  // an empty JPEG at offset 0
  EXPECT_TRUE(LocateEmbeddedJpeg(bare.data(), bare.size(), &offset, &length));
  EXPECT_EQ(offset + length, 0u);
  EXPECT_FALSE(LocateEmbeddedJpeg(bare.data(), bare.size() - 1, &offset, &length));
  EXPECT_FALSE(LocateEmbeddedJpeg(nullptr, 100, &offset, &length));
  Bytes wrap = raw;  // offset + length wraps 32 bits
  std::fill_n(wrap.begin() + kRawJpegOffsetField, 4, 0xFF);
  EXPECT_FALSE(LocateEmbeddedJpeg(wrap.data(), wrap.size(), &offset, &length));
}

// A stream over the bytes, and a JPEG or TIFF reader on it.
template <typename Reader>
struct Parsed {
  explicit Parsed(Bytes b) : bytes(std::move(b)), length(bytes.size()) {
    MemoryStreamInit(&stream, bytes.data(), &length, false);
  }
  Bytes bytes;
  uint64_t length;
  MemoryStream stream{};
  Reader reader{&stream.stream};
};
using ParsedJpeg = Parsed<JpegReader>;

// Fill bytes, a foreign APP1, two Exif blocks (the first with a non-zero sixth byte), 512 APP2
// segments, a restart interval and the standard tables, then a DC table redefined with more
// symbols than a baseline table holds: the first Exif block counts and everything is recorded.
TEST(ExifJpeg, ParsesFrameTablesFirstExifBlockApp2ListAndRestartInterval) {
  Bytes first = {'E', 'x', 'i', 'f', 0, 0x7F}, dht = {0x01};
  const Bytes firstTiff = CameraTiff({.make = "first"}).Build();
  first.insert(first.end(), firstTiff.begin(), firstTiff.end());
  dht.resize(1 + 16, 17);
  for (int i = 0; i < 16 * 17; ++i) dht.push_back(static_cast<uint8_t>(i));
  JpegWriter j;
  j.Marker(kJpegSoi).Raw({0xFF, 0xFF, 0xFF}).Segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/'});
  j.Segment(0xE1, first).Raw({0xFF}).Exif(CameraTiff({.make = "second"}).Build());
  for (int i = 0; i < 512; ++i) j.Segment(0xE2, {'I', 'C', 'C', static_cast<uint8_t>(i)});
  j.Tables().Frame(kJpegSof0, 16, 8, 1).Segment(0xDD, {0, 4}).Segment(0xC4, dht);
  const size_t sos = j.bytes().size();
  ParsedJpeg p(j.Scan(16, 8, 1, 1).Marker(kJpegEoi).Take());
  JpegReader& r = p.reader;
  ASSERT_EQ(r.Parse(), kExifOk);
  EXPECT_EQ((std::tuple<int, int, int>(r.width(), r.height(), r.componentCount())),
            std::tuple(16, 8, 1));
  EXPECT_EQ((std::pair<int, int>(r.quantTable(0)[0], r.quantTable(1)[63])), std::pair(16, 99));
  EXPECT_EQ(r.quantTable(2), nullptr);
  // Each table as the last segment that defines it holds it: 16 code counts, then the symbols.
  const Bytes& b = p.bytes;
  std::map<int, Bytes> tables;
  const uint8_t dhtMarker[] = {0xFF, 0xC4};
  for (auto at = b.begin(); (at = std::search(at, b.end(), dhtMarker, dhtMarker + 2)) != b.end();) {
    const auto end = at + 2 + (at[2] << 8 | at[3]);
    for (at += 4; at < end;) {
      const auto symbols = std::accumulate(at + 1, at + 17, ptrdiff_t{0});
      tables[(*at >> 4) + 2 * (*at & 15)] = Bytes(at + 1, at + 17 + symbols);
      at += 17 + symbols;
    }
  }
  ASSERT_EQ(tables.size(), 4u);
  for (const auto& [slot, table] : tables) {
    EXPECT_EQ(Bytes(r.huffmanTable(slot).begin(), r.huffmanTable(slot).end()), table) << slot;
  }
  char make[8] = {};
  ASSERT_EQ(r.ifd0()->ReadTag(0x010F, make, 6), kExifOk);
  EXPECT_STREQ(make, "first");
  ASSERT_EQ(r.app2Count(), 512u);
  EXPECT_EQ(r.app2Record(0).length, 4);
  EXPECT_EQ(b[r.app2Record(511).position + 3], 511 & 0xFF);
  EXPECT_EQ(r.restartInterval(), 4);
  EXPECT_EQ(r.scanStart(), sos + 2);
  EXPECT_EQ(r.ScanFrame(), kExifOk);
  r.Release();
  EXPECT_EQ(r.ifd0(), nullptr);
  EXPECT_EQ(r.quantTable(0), nullptr);
  EXPECT_TRUE(r.huffmanTable(2).empty());
}

TEST(ExifJpeg, MalformedStreamsAndSegmentsGiveTheirDefinedError) {
  const Bytes tiff = CameraTiff({}).Build();
  auto jpeg = [](const std::function<void(JpegWriter&)>& middle) {
    JpegWriter j;
    j.Marker(kJpegSoi);
    middle(j);
    return j.Scan(16, 8, 1, 1).Marker(kJpegEoi).Take();
  };
  auto framed = [&](uint8_t sof, const Bytes& app1) {
    return jpeg([&](JpegWriter& j) { j.Segment(0xE1, app1).Tables().Frame(sof, 16, 8, 1); });
  };
  Bytes exif = {'E', 'x', 'i', 'f', 0, 0}, noZero = {'E', 'x', 'i', 'f', 'X', 0};
  exif.insert(exif.end(), tiff.begin(), tiff.end());
  noZero.insert(noZero.end(), tiff.begin(), tiff.end());
  const Bytes good = framed(kJpegSof0, exif);
  auto patched = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  auto padded = [](Bytes head, size_t size, uint8_t fill) {
    head.resize(size, fill);
    return head;
  };
  // An Exif block, a quantisation segment, a frame segment, then optionally one more segment.
  auto custom = [&](const Bytes& dqt, const Bytes& sof, uint8_t code = 0, const Bytes& more = {}) {
    return jpeg([&](JpegWriter& j) {
      j.Exif(tiff).Segment(0xDB, dqt).Segment(kJpegSof0, sof);
      if (code) j.Segment(code, more);
    });
  };
  const Bytes q0 = padded({0}, 65, 1), q1 = padded({1}, 65, 1), q3 = padded({3}, 65, 1);
  const Bytes sof = {8, 0, 8, 0, 16, 1, 1, 0x11, 0};
  Bytes gap = good, fillToEnd, scanAfterFill;
  gap.insert(gap.begin() + 2, 0x00);  // a non-marker where a marker is due
  fillToEnd = JpegWriter()
                  .Marker(kJpegSoi)
                  .Exif(tiff)
                  .Tables()
                  .Frame(kJpegSof0, 16, 8)
                  .Raw(Bytes(40, 0xFF))
                  .Take();
  scanAfterFill = JpegWriter()
                      .Marker(kJpegSoi)
                      .Exif(tiff)
                      .Tables()
                      .Frame(kJpegSof0, 16, 8)
                      .Raw({0xFF, 0xFF, 0xFF, kJpegSos})
                      .Take();
  const struct {
    const char* name;
    Bytes jpeg;
    uint16_t error;
  } cases[] = {
      {"progressive frame", framed(0xC2, exif), kExifNotBaseline},
      {"SOI without its 0xFF", patched(0, 0x00), kExifNotBaseline},
      {"EOI in place of SOI", patched(1, 0xD9), kExifNotBaseline},
      {"cut after 30 bytes", Bytes(good.begin(), good.begin() + 30), kExifNotBaseline},
      {"non-marker in the chain", gap, kExifNotBaseline},
      {"SOI only", Bytes{0xFF, 0xD8}, kExifNotBaseline},
      {"empty", Bytes{}, kExifNotBaseline},
      {"fill bytes up to the end", fillToEnd, kExifNotBaseline},
      // The frame check stops at fill bytes 3 before the end; the parse steps over them.
      {"scan marker after fill bytes at the end", scanAfterFill, kExifOk},
      {"Exif name without zero", framed(kJpegSof0, noZero), kExifNoExif},
      {"513 APP2 segments", jpeg([&](JpegWriter& j) {
         for (int i = 0; i < 513; ++i) j.Segment(0xE2, {'I', 'C', 'C'});
         j.Exif(tiff).Tables().Frame(kJpegSof0, 16, 8);
       }),
       kExifOutOfRange},
      {"two components", custom(q0, {8, 0, 8, 0, 16, 2, 1, 0x11, 0, 2, 0x11, 0}),
       kExifUnsupportedComponents},
      {"12-bit precision", custom(q0, {12, 0, 8, 0, 16, 1, 1, 0x11, 0}), kExifBadSegment},
      {"zero height", custom(q0, {8, 0, 0, 0, 16, 1, 1, 0x11, 0}), kExifBadSegment},
      {"sampling factor 5", custom(q0, {8, 0, 8, 0, 16, 1, 1, 0x51, 0}), kExifBadSegment},
      {"quant selector 4", custom(q0, {8, 0, 8, 0, 16, 1, 1, 0x11, 4}), kExifBadSegment},
      {"undefined quant table", custom(q0, {8, 0, 8, 0, 16, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 0}),
       kExifBadSegment},
      {"only quant table 3, used", custom(q3, {8, 0, 8, 0, 16, 1, 1, 0x11, 3}), kExifOk},
      {"only quant table 1, used", custom(q1, {8, 0, 8, 0, 16, 1, 1, 0x11, 1}), kExifOk},
      {"16-bit quant table cut short", custom(padded({0x10}, 129, 1), sof), kExifBadSegment},
      {"stray byte after quant table", custom(padded({0}, 66, 1), sof, 0xFE, Bytes(64)),
       kExifBadSegment},
      {"Huffman class 2", custom(q0, sof, 0xC4, padded({0x20}, 17, 0)), kExifBadSegment},
      {"Huffman id 2", custom(q0, sof, 0xC4, padded({0x02}, 17, 0)), kExifBadSegment},
      {"restart segment of length 5", custom(q0, sof, 0xDD, {0, 4, 0}), kExifBadSegment},
      {"SOI inside the chain", custom(q0, sof, 0xD8, {0, 0}), kExifBadSegment},
  };
  for (const auto& c : cases) EXPECT_EQ(ParsedJpeg(c.jpeg).reader.Parse(), c.error) << c.name;
  // The marker pass alone needs no Exif block, but still a baseline frame.
  ParsedJpeg noExif(framed(kJpegSof0, noZero)), progressive(framed(0xC2, exif));
  ASSERT_EQ(noExif.reader.ScanFrame(), kExifOk);
  EXPECT_EQ((std::pair<int, int>(noExif.reader.width(), noExif.reader.height())), std::pair(16, 8));
  EXPECT_EQ(progressive.reader.ScanFrame(), kExifNotBaseline);
}

using ParsedTiff = Parsed<TiffReader>;

Bytes Ifd0Only(const TiffIfd& ifd0, bool big = false) {
  return TiffBlock{big, ifd0, std::nullopt}.Build();
}

// Every type, inline (count 1) and out of line (count 3): read back with exactly its size, in
// host order for 16- and 32-bit numbers and as stored otherwise.
TEST(ExifTiff, EveryTypeReadsBackAsWrittenInBothByteOrders) {
  TiffIfd ifd;
  for (uint16_t type = kTiffByte; type <= kTiffDouble; ++type) {
    for (uint16_t count : {1, 3}) {
      std::vector<uint64_t> numbers;  // a rational is two numbers
      for (int i = 0; i < count * (type == kTiffRational || type == kTiffSRational ? 2 : 1); ++i) {
        numbers.push_back(0x8877665544332211u + i);
      }
      ifd.entries.push_back(Numbers(0x100 + 4 * type + count, type, numbers));
    }
  }
  for (bool big : {false, true}) {
    ParsedTiff t(Ifd0Only(ifd, big));
    ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
    const Ifd& i0 = *t.reader.ifd0();
    for (const TiffEntry& e : ifd.entries) {
      SCOPED_TRACE(testing::Message()
                   << "type " << e.type << " count " << e.count << " big " << big);
      const uint64_t bytes = uint64_t{TiffTypeBytes(e.type)} * e.count;
      EXPECT_EQ(i0.TagByteSize(e.tag), bytes);
      Bytes read(bytes);
      EXPECT_EQ(i0.ReadTag(e.tag, read.data(), bytes - 1), kExifOutOfRange);
      ASSERT_EQ(i0.ReadTag(e.tag, read.data(), bytes), kExifOk);
      Bytes want = e.value;  // little-endian units; floats and doubles stay as the file has them
      const bool swapped = big && (e.type == kTiffFloat || e.type == kTiffDouble);
      for (size_t i = 0; swapped && i < want.size(); i += e.unit) {
        std::reverse(want.begin() + i, want.begin() + i + e.unit);
      }
      EXPECT_EQ(read, want);
      std::vector<uint32_t> longs(e.count), widened(e.count);
      const bool widens = e.type == kTiffShort || e.type == kTiffLong;
      ASSERT_EQ(i0.ReadTagAsLong(e.tag, longs.data(), e.count), widens ? kExifOk : kExifBadTagType);
      for (uint32_t i = 0; widens && i < e.count; ++i) {
        widened[i] = (e.type == kTiffShort ? 0x2211u : 0x44332211u) + i;
      }
      EXPECT_EQ(longs, widened);
    }
  }
}

TEST(ExifTiff, IfdHoldsAtMost2048Entries) {
  // Around the size kept inside the IFD object, and around the limit; entries are given in
  // descending order so that the sort moves every one of them.
  for (uint32_t n : {kInlineIfdEntries, kInlineIfdEntries + 1, 2048u, 2049u}) {
    SCOPED_TRACE(n);
    TiffIfd ifd;
    for (uint32_t i = n; i > 0; --i) ifd.entries.push_back(Short(static_cast<uint16_t>(i), {i}));
    ParsedTiff t(Ifd0Only(ifd));
    if (n > kMaxIfdEntries) {
      EXPECT_EQ(t.reader.ParseIfds(), kExifBadTiff);
      EXPECT_EQ(t.reader.ifd0(), nullptr);
      continue;
    }
    ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
    ASSERT_EQ(t.reader.ifd0()->entryCount(), n);
    uint32_t last = 0;
    EXPECT_EQ(t.reader.ifd0()->ReadTagAsLong(static_cast<uint16_t>(n), &last, 1), kExifOk);
    EXPECT_EQ(last, n);
    EXPECT_EQ(t.reader.ifd0()->entries()[0].tag, 1);
  }
}

// Entries out of order, with a duplicate tag and entries of invalid types (13, 0) in between:
// the invalid ones are left out without shifting the ones read after them.
TEST(ExifTiff, EntriesAreSortedStablyAndInvalidTypesAreLeftOut) {
  ParsedTiff t(Ifd0Only(
      {{Short(0x0300, {3}), Short(0x0100, {1}), Forged(0x0101, 13, 1, 0xBEEF), Short(0x0200, {21}),
        Long(0x0102, {7}), Short(0x0200, {22}), Forged(0x0103, 0, 4, 0), Ascii(0x0104, "after")}}));
  ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  ASSERT_EQ(i0.entryCount(), 6);
  EXPECT_EQ(i0.entries()[0].tag, 0x0100);
  EXPECT_EQ(i0.entries()[5].tag, 0x0300);
  uint32_t v = 0;
  ASSERT_EQ(i0.ReadTagAsLong(0x0102, &v, 1), kExifOk);
  EXPECT_EQ(v, 7u);
  ASSERT_EQ(i0.ReadTagAsLong(0x0200, &v, 1), kExifOk);
  EXPECT_EQ(v, 21u);  // the first in file order
  char text[6] = {};
  ASSERT_EQ(i0.ReadTag(0x0104, text, sizeof text), kExifOk);
  EXPECT_STREQ(text, "after");
  // Absent tags, the left-out ones and one that the lookup passes by, have no type, count or
  // size and cannot be read.
  for (uint16_t tag : {0x0101, 0x0103, 0x0250, 0x0301}) {
    EXPECT_EQ(i0.FindTag(tag), nullptr);
    EXPECT_EQ(i0.TagType(tag) + i0.TagCount(tag) + i0.TagByteSize(tag), 0u);
    EXPECT_FALSE(i0.TagValueAvailable(tag));
    EXPECT_EQ(i0.ReadTag(tag, &v, sizeof v), kExifTagMissing);
    EXPECT_EQ(i0.ReadTagAsLong(tag, &v, 1), kExifTagMissing);
  }
}

TEST(ExifTiff, HeaderIfdAndValueBoundsAreCheckedBeforeReading) {
  const Bytes good = Ifd0Only({{Short(0x0100, {1})}});
  auto withByte = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  TiffIfd chained{{Short(0x0100, {1})}, static_cast<uint32_t>(good.size())};
  Bytes ifd1Cut = Ifd0Only(chained);
  for (uint8_t v : {0x00, 0x04, 0, 0}) ifd1Cut.push_back(v);  // IFD1: 1024 entries in 2 bytes
  chained.next = 0x7FFFFFF0;
  for (const Bytes& b : {Bytes(good.begin(), good.begin() + 7), withByte(1, 'M') /* "IM" */,
                         withByte(2, 43) /* magic */, withByte(4, 4) /* IFD inside the header */,
                         withByte(7, 0x80) /* IFD far past the end */,
                         withByte(8, 0xFF) /* 255 entries do not fit */, ifd1Cut,
                         Ifd0Only(chained) /* IFD1 outside the block */}) {
    EXPECT_EQ(ParsedTiff(b).reader.ParseIfds(), kExifBadTiff);  // a broken IFD1 fails the set
  }
  ParsedTiff twice(good);
  ASSERT_EQ(twice.reader.ParseIfds(), kExifOk);
  EXPECT_EQ(twice.reader.ParseIfds(), kExifWrongState);

  ParsedTiff t(Ifd0Only(
      {{Forged(0x0100, kTiffAscii, 16, 0xFFFFFFF0u), Forged(0x0101, kTiffDouble, 0xFFFFFFFFu, 8),
        Ascii(0x0102, "in range"), Forged(0x010E, kTiffAscii, 0, 0), Short(0x0112, {1})}},
      true));
  ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  uint8_t out[16];
  EXPECT_EQ(i0.ReadTag(0x0100, out, sizeof out), kExifOutOfRange);
  EXPECT_FALSE(i0.TagValueAvailable(0x0100));
  EXPECT_EQ(i0.TagByteSize(0x0101), 8ull * 0xFFFFFFFFu);
  EXPECT_FALSE(i0.TagValueAvailable(0x0101));
  EXPECT_EQ(i0.ReadTag(0x0101, out, sizeof out), kExifOutOfRange);
  EXPECT_TRUE(i0.TagValueAvailable(0x0102));
  // A tag of count 0 reads into the empty buffer its size asks for (once a fuzz finding).
  EXPECT_EQ(i0.ReadTag(0x010E, nullptr, 0), kExifOk);
  EXPECT_EQ(i0.ReadTagAsLong(0x0112, nullptr, 0), kExifOutOfRange);
}

TEST(ExifTiff, FullModeNeedsAWellFormedExifPointer) {
  auto parseFull = [](Bytes b) {
    ParsedTiff t(std::move(b));
    TiffHeader header(&t.stream.stream);
    IfdSet set;
    const uint16_t error = ParseIfdSet(&header, &set, IfdParseMode::kFull);
    EXPECT_EQ(error == kExifOk, set.ifd0 != nullptr);
    return error;
  };
  TiffBlock t{false,
              {{Ascii(0x010F, "Make")}},
              TiffIfd{{Short(0x8827, {100})}},
              TiffIfd{{Ascii(0x0001, "R98")}},
              TiffIfd{{Short(0x0000, {2})}},
              TiffIfd{{Long(0x0201, {0})}}};
  EXPECT_EQ(parseFull(t.Build()), kExifOk);
  ParsedTiff ifdOnly(t.Build());
  ASSERT_EQ(ifdOnly.reader.ParseIfds(), kExifOk);
  const IfdSet& set = ifdOnly.reader.ifds();
  EXPECT_EQ(std::tuple(!set.exif, !set.interop, !!set.gps, !!set.ifd1), std::tuple(1, 1, 1, 1));
  TiffBlock noExif = t;
  noExif.exif.reset();
  EXPECT_EQ(parseFull(noExif.Build()), kExifNoExif);
  // An Exif pointer of the wrong type or out of the block, or a GPS pointer out of it.
  for (const TiffEntry& pointer : {Short(kTagExifIfd, {26}), Forged(kTagExifIfd, 4, 1, 0x7FFFFFF0),
                                   Forged(kTagGpsIfd, 4, 1, 0x7FFFFFF0)}) {
    TiffBlock broken = t;
    broken.ifd0.entries.push_back(pointer);
    EXPECT_EQ(parseFull(broken.Build()), kExifNoExif) << pointer.tag;
  }
}

// The description table gives one row per tag, reads every tag the camera writes to IFD0 as a
// plain read does, checks count and type, and supplies the format's defaults.
TEST(ExifTiff, TagDescriptionTableReadsTheCamerasIfd0AndSuppliesDefaults) {
  for (const TagDescription* row = kIfd0Tags; row[1].tag != 0; ++row) {
    EXPECT_LT(row->tag, row[1].tag);
  }
  ParsedTiff camera(CameraTiff({}).Build());
  ASSERT_EQ(camera.reader.ParseIfds(), kExifOk);
  const Ifd& c = *camera.reader.ifd0();
  for (uint16_t i = 0; i < c.entryCount(); ++i) {
    uint8_t looked[16] = {}, read[16] = {};
    EXPECT_EQ(LookupTag(c, kIfd0Tags, c.entries()[i].tag, looked, sizeof looked), kExifOk);
    EXPECT_EQ(c.ReadTag(c.entries()[i].tag, read, sizeof read), kExifOk);
    EXPECT_EQ(Bytes(looked, looked + 16), Bytes(read, read + 16)) << c.entries()[i].tag;
  }
  ParsedTiff t(Ifd0Only({{Short(0x0128, {2, 3}), Long(0x0213, {1})}}));
  ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  uint16_t orientation = 0;
  uint32_t resolution[2] = {};
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0112, &orientation, sizeof orientation), kExifOk);
  EXPECT_EQ(orientation, 1) << "top left";
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x011B, resolution, sizeof resolution), kExifOk);
  EXPECT_EQ(resolution[0] / resolution[1], 72u) << "dots per inch";
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x011B, resolution, 7), kExifOutOfRange);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0128, resolution, 8), kExifBadTagCount);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0213, resolution, 8), kExifBadTagType);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x8769, resolution, 8), kExifTagMissing);
  for (uint16_t undescribed : {0x0000, 0x9000, 0xFFFF}) {
    EXPECT_EQ(LookupTag(i0, kIfd0Tags, undescribed, resolution, 8), kExifOutOfRange);
  }
}

}  // namespace
}  // namespace brelon::exif
