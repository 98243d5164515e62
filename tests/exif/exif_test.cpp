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
#include <memory>
#include <numeric>
#include <optional>

#include "platform/platform.h"
#include "platform/testing.h"
#include "sim/image_writer.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/raw_header.h"

namespace brelon::exif {
namespace {

using namespace zepasim;

Bytes Jpeg(const TiffBlock& tiff, int width = 64) {
  return EncodeJpeg({.width = width, .tiff = tiff.Build()});
}
Bytes Camera(const TiffIfd& note, bool big = false, uint32_t noteIfd = kMakerNoteIfdOffset) {
  return Jpeg(CameraTiff({.bigEndian = big, .makerNote = MakerNote(note, noteIfd)}));
}
std::u16string Wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}
std::string Letters(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text;
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

TEST(ExifMetaInfo, MakerNoteRoundTripsOrIsRefusedWhole) {
  std::vector<std::pair<Bytes, Read>> rows;
  const std::string path = "\\DCIM\\100ORVNT\\QV000123.JPG";
  for (int layout = 0; layout < 8; ++layout) {  // byte order, frame type, the note's IFD offset
    const bool big = layout & 1, asLong = layout & 2;
    const uint32_t frame = asLong ? 0x80000001u : 65535u;  // stored as is, high bit kept
    rows.push_back({Camera(CameraNote(frame, path, asLong), big, layout & 4 ? 40 : 12),
                    {0, frame, Wide(path)}});
  }
  const std::string ansi = "A:\\\xC3\xA9t\xE9\\X";  // above 0x7F: through the ANSI code page
  char16_t converted[kCameraPathCapacity];
  plat::AnsiToWide(ansi.data(), ansi.size(), converted, kCameraPathCapacity);
  const struct {
    std::string text;
    bool terminate;
    std::optional<std::u16string> path;  // none: refused
  } paths[] = {{"", true, u""},
               {"", false, u""},
               {"A", false, u"A"},
               {Letters(259), true, Wide(Letters(259))},
               {Letters(260), false, Wide(Letters(260))},  // the longest: 260 bytes
               {Letters(260), true, {}},
               {Letters(261), false, {}},
               {std::string("A:\x01X\0junk", 9), false, u"A:\x01X"},  // up to the first zero
               {ansi, true, converted}};
  for (const auto& p : paths) {
    rows.push_back({Camera(CameraNote(7, p.text, false, p.terminate)), {0, 7, p.path}});
  }
  const Bytes note = MakerNote(CameraNote(5, "P"));
  TiffBlock asLongs = CameraTiff({.makerNote = note}), forged = asLongs;
  asLongs.exif->entries[2] = Numbers(kTagMakerNote, kTiffLong, {1, 2, 3, 4});
  forged.exif->entries[2] = Forged(kTagMakerNote, kTiffUndefined, 0x7FFFFFFF, 64);
  Bytes farIfd = note;
  farIfd[8] = 0xF0;
  const std::pair<Bytes, Read> more[] = {
      {Camera({{Long(kTagFrameNumber, {9}), Undefined(kTagCameraPath, Bytes(32))}}), {0, 9, u""}},
      {Camera({{Long(kTagFrameNumber, {11, 12, 13})}}), {0, 11}},
      {Camera({{Forged(kTagFrameNumber, kTiffLong, 0, 0)}}), {}},
      {Camera({{Numbers(kTagFrameNumber, kTiffRational, {1, 1})}}), {}},
      {Jpeg(CameraTiff({})), {}},
      {Jpeg(asLongs), {}},
      {Jpeg(CameraTiff({.makerNote = Bytes(note.begin(), note.begin() + 11)})), {}},
      {Jpeg(CameraTiff({.makerNote = farIfd})), {}},
      {Jpeg(forged), {}},
      {Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, {-4}},
  };
  rows.insert(rows.end(), std::begin(more), std::end(more));
  for (size_t i = 0; i < rows.size(); ++i) {
    const Read r = ReadAll(rows[i].first), &want = rows[i].second;
    EXPECT_EQ(r.parse, want.parse) << "row " << i;
    EXPECT_EQ(r.frame, want.frame) << "row " << i;
    EXPECT_EQ(r.path, want.path) << "row " << i;
  }
}

// Validate keeps its parse for a following ParseMetadata of the same data (through Close too),
// never for other data, and shows nothing of it before; the reader works on its own copy.
TEST(ExifMetaInfo, CallSequenceAndStateRules) {
  const Bytes first = Jpeg(CameraTiff({.makerNote = MakerNote(CameraNote(9, "P"))}), 48);
  const Bytes second = Jpeg(CameraTiff({.makerNote = MakerNote(CameraNote(2, "P"))}), 32);
  CExifMetaInfo info;
  uint32_t w = 1, h = 1, frame = 0;
  char16_t path[kCameraPathCapacity];
  auto frameNow = [&] { return info.GetFrameNumber(&frame) == 0 ? int64_t{frame} : -1; };
  EXPECT_FALSE(info.Validate(&w, &h));
  EXPECT_EQ(info.ParseMetadata(), -3);
  EXPECT_EQ(frameNow() + info.GetCameraPath(path), -2);
  ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
  for (int i = 0; i < 2; ++i) {
    w = h = 0;
    ASSERT_TRUE(info.Validate(&w, &h));
    EXPECT_EQ(w * 100 + h, 48u * 100 + 48);
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
  // Gone again also when an assertion below ends the test early.
  const std::shared_ptr<void> remover(nullptr, [&](void*) {
    if (!hadFolder) fs::remove_all(folder, ec);
  });
  // The path is machine-wide, and other test processes write it too while the folder exists:
  // a few tries, each of which must end with exactly the shorter image (no stale tail).
  Bytes written;
  for (int attempt = 0; attempt < 5 && written != first; ++attempt) {
    ASSERT_EQ(info.SetSource(second.data(), second.size()), 0);
    ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
    std::ifstream in(file, std::ios::binary);
    written.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_EQ(written, first);
}

// Exactly inside the data, at the header's end at the least, and never by wrapping 32 bits.
TEST(ExifRawHeader, EmbeddedJpegIsLocatedOnlyInsideTheData) {
  const Bytes jpeg = Camera(CameraNote(42, "X")), raw = RawContainer(jpeg, 9000);
  size_t offset = 0, length = 0;
  ASSERT_TRUE(LocateEmbeddedJpeg(raw.data(), raw.size(), &offset, &length));
  EXPECT_EQ(Bytes(raw.begin() + offset, raw.begin() + offset + length), jpeg);
  EXPECT_TRUE(LocateEmbeddedJpeg(raw.data(), offset + length, nullptr, nullptr));
  EXPECT_FALSE(LocateEmbeddedJpeg(raw.data(), offset + length - 1, &offset, &length));
  const Bytes empty(kRawHeaderMinBytes);  // an empty JPEG at offset 0
  EXPECT_TRUE(LocateEmbeddedJpeg(empty.data(), empty.size(), nullptr, nullptr));
  EXPECT_FALSE(LocateEmbeddedJpeg(empty.data(), empty.size() - 1, &offset, &length));
  EXPECT_FALSE(LocateEmbeddedJpeg(nullptr, 100, &offset, &length));
  Bytes wrap = raw;
  std::fill_n(wrap.begin() + kRawJpegOffsetField, 4, 0xFF);
  EXPECT_FALSE(LocateEmbeddedJpeg(wrap.data(), wrap.size(), &offset, &length));
  EXPECT_EQ(offset, kRawHeaderBytes) << "outputs untouched on refusal";
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
using ParsedTiff = Parsed<TiffReader>;

// Fill bytes, a foreign APP1, two Exif blocks (the first with a non-zero sixth byte), 512 APP2
// segments, a restart interval and the standard tables, then a DC table redefined with more
// symbols than a baseline table holds: the first Exif block counts and everything is recorded.
TEST(ExifJpeg, ParsesFrameTablesFirstExifBlockApp2ListAndRestartInterval) {
  Bytes dht(17, 17);
  dht[0] = 0x01;  // DC table 1
  for (int i = 0; i < 16 * 17; ++i) dht.push_back(static_cast<uint8_t>(i));
  JpegWriter j;
  j.Marker(kJpegSoi).Raw({0xFF, 0xFF, 0xFF}).Segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/'});
  j.Exif(CameraTiff({.make = "first"}).Build(), {'E', 'x', 'i', 'f', 0, 0x7F}).Raw({0xFF});
  j.Exif(CameraTiff({.make = "second"}).Build());
  for (int i = 0; i < 512; ++i) j.Segment(0xE2, {'I', 'C', 'C', static_cast<uint8_t>(i)});
  j.Tables().Frame(kJpegSof0, 16, 8, 1).Segment(0xDD, {0, 4}).Segment(0xC4, dht);
  const size_t sos = j.bytes().size();
  ParsedJpeg p(j.Scan(16, 8, 1, 1).Marker(kJpegEoi).Take());
  JpegReader& r = p.reader;
  ASSERT_EQ(r.Parse(), kExifOk);
  EXPECT_EQ(r.width() * 100 + r.height() * 10 + r.componentCount(), 16 * 100 + 8 * 10 + 1);
  EXPECT_EQ(r.quantTable(0)[0] + r.quantTable(1)[63] * 1000, 16 + 99 * 1000);  // the standard
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
  auto jpeg = [&](const std::function<void(JpegWriter&)>& middle, bool scan = true) {
    JpegWriter j;
    middle(j.Marker(kJpegSoi));
    return scan ? j.Scan(16, 8, 1, 1).Marker(kJpegEoi).Take() : j.Take();
  };
  auto framed = [&](uint8_t sof, const Bytes& name = {'E', 'x', 'i', 'f', 0, 0}) {
    return jpeg([&](JpegWriter& j) { j.Exif(tiff, name).Tables().Frame(sof, 16, 8, 1); });
  };
  auto tail = [&](const Bytes& raw) {
    return jpeg([&](JpegWriter& j) { j.Exif(tiff).Tables().Frame(kJpegSof0, 16, 8).Raw(raw); },
                false);
  };
  // An Exif block, a quantisation segment, a frame segment, then optionally one more segment.
  auto custom = [&](const Bytes& dqt, const Bytes& sof, uint8_t code = 0, const Bytes& more = {}) {
    return jpeg([&](JpegWriter& j) {
      j.Exif(tiff).Segment(0xDB, dqt).Segment(kJpegSof0, sof);
      if (code) j.Segment(code, more);
    });
  };
  auto quant = [](uint8_t selector, size_t size = 65) {
    Bytes q(size, 1);
    q[0] = selector;
    return q;
  };
  const Bytes good = framed(kJpegSof0), q0 = quant(0), sof = {8, 0, 8, 0, 16, 1, 1, 0x11, 0};
  const Bytes progressive = framed(0xC2), noExif = framed(kJpegSof0, {'E', 'x', 'i', 'f', 'X', 0});
  Bytes soi = good, eoi = good, gap = good;
  soi[0] = 0;
  eoi[1] = 0xD9;
  gap.insert(gap.begin() + 2, 0x00);  // a non-marker where a marker is due
  const std::pair<Bytes, uint16_t> cases[] = {
      {progressive, kExifNotBaseline},
      {soi, kExifNotBaseline},
      {eoi, kExifNotBaseline},
      {Bytes(good.begin(), good.begin() + 30), kExifNotBaseline},
      {gap, kExifNotBaseline},
      {Bytes{0xFF, 0xD8}, kExifNotBaseline},
      {Bytes{}, kExifNotBaseline},
      {tail(Bytes(40, 0xFF)), kExifNotBaseline},  // fill bytes up to the end
      // The frame check stops at fill bytes 3 before the end; the parse steps over them.
      {tail({0xFF, 0xFF, 0xFF, kJpegSos}), kExifOk},
      {noExif, kExifNoExif},  // "Exif" without its zero byte
      {jpeg([&](JpegWriter& j) {
         for (int i = 0; i < 513; ++i) j.Segment(0xE2, {'I', 'C', 'C'});
         j.Exif(tiff).Tables().Frame(kJpegSof0, 16, 8);
       }),
       kExifOutOfRange},
      {custom(q0, {8, 0, 8, 0, 16, 2, 1, 0x11, 0, 2, 0x11, 0}), kExifUnsupportedComponents},
      {custom(q0, {12, 0, 8, 0, 16, 1, 1, 0x11, 0}), kExifBadSegment},  // 12-bit samples
      {custom(q0, {8, 0, 0, 0, 16, 1, 1, 0x11, 0}), kExifBadSegment},   // height 0
      {custom(q0, {8, 0, 8, 0, 16, 1, 1, 0x51, 0}), kExifBadSegment},   // sampling factor 5
      {custom(q0, {8, 0, 8, 0, 16, 1, 1, 0x11, 4}), kExifBadSegment},   // quant selector 4
      {custom(q0, {8, 0, 8, 0, 16, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 0}), kExifBadSegment},
      {custom(quant(3), {8, 0, 8, 0, 16, 1, 1, 0x11, 3}), kExifOk},  // only the table used
      {custom(quant(1), {8, 0, 8, 0, 16, 1, 1, 0x11, 1}), kExifOk},
      {custom(quant(0x10, 129), sof), kExifBadSegment},               // a 16-bit table cut short
      {custom(quant(0, 66), sof, 0xFE, Bytes(64)), kExifBadSegment},  // a stray byte
      {custom(q0, sof, 0xC4, quant(0x20, 17)), kExifBadSegment},      // Huffman class 2
      {custom(q0, sof, 0xC4, quant(0x02, 17)), kExifBadSegment},      // Huffman id 2
      {custom(q0, sof, 0xDD, {0, 4, 0}), kExifBadSegment},            // restart of length 5
      {custom(q0, sof, 0xD8, {0, 0}), kExifBadSegment},               // SOI inside the chain
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(ParsedJpeg(cases[i].first).reader.Parse(), cases[i].second) << "case " << i;
  }
  // The marker pass alone needs no Exif block, but still a baseline frame.
  ParsedJpeg plain(noExif);
  ASSERT_EQ(plain.reader.ScanFrame(), kExifOk);
  EXPECT_EQ(plain.reader.width() * 100 + plain.reader.height(), 16 * 100 + 8);
  EXPECT_EQ(ParsedJpeg(progressive).reader.ScanFrame(), kExifNotBaseline);
}

Bytes Ifd0Only(const TiffIfd& ifd0, bool big = false) {
  return TiffBlock{big, ifd0, std::nullopt}.Build();
}

// Every type, inline (counts 1 and 2, as far as they fit) and out of line: read back with exactly
// its size, in host order for 16- and 32-bit numbers and as stored otherwise.
TEST(ExifTiff, EveryTypeReadsBackAsWrittenInBothByteOrders) {
  TiffIfd ifd;
  for (uint16_t type = kTiffByte; type <= kTiffDouble; ++type) {
    for (int count : {1, 2, 3}) {
      std::vector<uint64_t> numbers;  // a rational is two numbers
      for (int i = 0; i < count * (type == kTiffRational || type == kTiffSRational ? 2 : 1); ++i) {
        numbers.push_back(0x8877665544332211u + i);
      }
      ifd.entries.push_back(
          Numbers(static_cast<uint16_t>(0x100 + 4 * type + count), type, numbers));
    }
  }
  for (bool big : {false, true}) {
    ParsedTiff t(Ifd0Only(ifd, big));
    ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
    const Ifd& i0 = *t.reader.ifd0();
    for (const TiffEntry& e : ifd.entries) {
      SCOPED_TRACE(testing::Message() << "type " << e.type << " count " << e.count << " " << big);
      const uint64_t bytes = uint64_t{TiffTypeBytes(e.type)} * e.count;
      EXPECT_EQ(i0.TagByteSize(e.tag), bytes);
      Bytes read(bytes), want = e.value;  // little-endian units
      EXPECT_EQ(i0.ReadTag(e.tag, read.data(), bytes - 1), kExifOutOfRange);
      ASSERT_EQ(i0.ReadTag(e.tag, read.data(), bytes), kExifOk);
      const bool asStored = big && (e.type == kTiffFloat || e.type == kTiffDouble);
      for (size_t i = 0; asStored && i < want.size(); i += e.unit) {
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

// Up to 2048 entries, given in descending order so that the sort moves every one of them, around
// the size kept inside the IFD object and around the limit. Then entries out of order with a
// duplicate tag and entries of invalid types (13, 0) between them: the invalid ones are left out
// without shifting the ones read after them.
TEST(ExifTiff, IfdHoldsAtMost2048EntriesSortedStablyWithoutInvalidTypes) {
  for (uint32_t n : {kInlineIfdEntries, kInlineIfdEntries + 1, 2048u, 2049u}) {
    TiffIfd ifd;
    for (uint32_t i = n; i > 0; --i) ifd.entries.push_back(Short(static_cast<uint16_t>(i), {i}));
    ParsedTiff t(Ifd0Only(ifd));
    ASSERT_EQ(t.reader.ParseIfds(), n > kMaxIfdEntries ? kExifBadTiff : kExifOk) << n;
    const Ifd* i0 = t.reader.ifd0();
    if (n > kMaxIfdEntries) {
      EXPECT_EQ(i0, nullptr);
      continue;
    }
    uint32_t last = 0;
    EXPECT_EQ(i0->ReadTagAsLong(static_cast<uint16_t>(n), &last, 1), kExifOk);
    EXPECT_EQ(last + i0->entryCount() + i0->entries()[0].tag, 2 * n + 1);
  }
  ParsedTiff t(Ifd0Only(
      {{Short(0x0300, {3}), Short(0x0100, {1}), Forged(0x0101, 13, 1, 0xBEEF), Short(0x0200, {21}),
        Long(0x0102, {7}), Short(0x0200, {22}), Forged(0x0103, 0, 4, 0), Ascii(0x0104, "after")}}));
  ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  std::vector<uint16_t> tags;
  for (uint16_t i = 0; i < i0.entryCount(); ++i) tags.push_back(i0.entries()[i].tag);
  EXPECT_EQ(tags, (std::vector<uint16_t>{0x0100, 0x0102, 0x0104, 0x0200, 0x0200, 0x0300}));
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
    EXPECT_EQ(i0.ReadTag(tag, &v, sizeof v) + i0.ReadTagAsLong(tag, &v, 1), 2 * kExifTagMissing);
  }
}

TEST(ExifTiff, HeaderIfdAndValueBoundsAreCheckedBeforeReading) {
  const Bytes good = Ifd0Only({{Short(0x0100, {1})}});
  auto with = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  TiffIfd chained{{Short(0x0100, {1})}, static_cast<uint32_t>(good.size())};
  Bytes ifd1Cut = Ifd0Only(chained);
  for (uint8_t v : {0x00, 0x04, 0, 0}) ifd1Cut.push_back(v);  // IFD1: 1024 entries in 2 bytes
  chained.next = 0x7FFFFFF0;                                  // IFD1 outside the block
  // Cut in the header, "IM", magic 43, IFD0 inside the header or far past the end, 255 entries
  // that do not fit; a broken IFD1 fails the set.
  for (const Bytes& b : {Bytes(good.begin(), good.begin() + 7), with(1, 'M'), with(2, 43),
                         with(4, 4), with(7, 0x80), with(8, 0xFF), ifd1Cut, Ifd0Only(chained)}) {
    EXPECT_EQ(ParsedTiff(b).reader.ParseIfds(), kExifBadTiff);
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
  EXPECT_EQ(i0.ReadTag(0x0101, out, sizeof out), kExifOutOfRange);
  EXPECT_EQ(i0.TagByteSize(0x0101), 8ull * 0xFFFFFFFFu);
  EXPECT_FALSE(i0.TagValueAvailable(0x0100) || i0.TagValueAvailable(0x0101));
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
    EXPECT_EQ(error == kExifOk, set.ifd0 && set.exif && set.interop && set.gps && set.ifd1);
    return error;
  };
  const TiffBlock t{false,
                    {{Ascii(0x010F, "Make")}},
                    TiffIfd{{Short(0x8827, {100})}},
                    TiffIfd{{Ascii(0x0001, "R98")}},
                    TiffIfd{{Short(0x0000, {2})}},
                    TiffIfd{{Long(0x0201, {0})}}};
  EXPECT_EQ(parseFull(t.Build()), kExifOk);
  ParsedTiff ifdOnly(t.Build());
  ASSERT_EQ(ifdOnly.reader.ParseIfds(), kExifOk);
  const IfdSet& set = ifdOnly.reader.ifds();
  EXPECT_TRUE(!set.exif && !set.interop && set.gps && set.ifd1);
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

// One row per tag; every tag the camera writes to IFD0 reads through the table as through a
// plain read; count and type are checked, and the format's defaults supplied.
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
