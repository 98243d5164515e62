// The readers on written and stored images: the maker note, JPEG segments and malformed streams,
// the TIFF parser's bounds, and the corpus, saved fuzz inputs and the part of an image kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <regex>
#include <sstream>

#include "exif/ifd_walk.h"
#include "platform/platform.h"
#include "sim/image_writer.h"
#include "support/sim_harness.h"

namespace brelon::exif {
namespace {

using namespace zepasim;

Bytes Camera(const TiffIfd& note, bool big = false, uint32_t noteIfd = kMakerNoteIfdOffset,
             int width = 64) {
  return EncodeJpeg(
      {.width = width,
       .tiff = CameraTiff({.bigEndian = big, .makerNote = MakerNote(note, noteIfd)}).Build()});
}
Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// How fixture::Answers begins for a camera JPEG whose maker note gives this frame and path (none:
// refused), when it reads through the sequence image transfer runs.
std::string Answer(int64_t frame, const std::optional<std::u16string>& path = {}, int parse = 0) {
  std::string text = parse ? "0 valid 0 0x0" : "0 valid 1 64x48";
  text += " parse " + std::to_string(parse) + " path " + (path ? "0 " : "-1 ");
  for (char16_t c : path.value_or(u"")) text += static_cast<char>(c);
  return text + " frame " + (frame < 0 ? "-1 0" : "0 " + std::to_string(frame)) + " note ";
}

TEST(ExifMetaInfo, MakerNoteRoundTripsOrIsRefusedWhole) {
  std::vector<std::pair<Bytes, std::string>> rows;
  const std::string path = "\\DCIM\\100ORVNT\\QV000123.JPG";
  for (int layout = 0; layout < 8; ++layout) {  // byte order, frame type, the note's IFD offset
    const bool big = layout & 1, asLong = layout & 2;
    const uint32_t frame = asLong ? 0x80000001u : 65535u;  // stored as is, high bit kept
    rows.push_back({Camera(CameraNote(frame, path, asLong), big, layout & 4 ? 40 : 12),
                    Answer(frame, std::u16string(path.begin(), path.end()))});
  }
  const std::string l260(260, 'L');
  const struct {
    std::string text;
    bool terminate;
    std::optional<std::u16string> path;  // none: refused
  } paths[] = {{"", true, u""},
               {l260, false, std::u16string(l260.begin(), l260.end())},  // the longest
               {l260, true, {}},
               {std::string("A:\x01X\0junk", 9), false, u"A:\x01X"}};  // up to the first zero
  for (const auto& p : paths) {
    rows.push_back({Camera(CameraNote(7, p.text, false, p.terminate)), Answer(7, p.path)});
  }
  const Bytes note = MakerNote(CameraNote(5, "P"));
  TiffBlock asLongs = CameraTiff({.makerNote = note}), forged = asLongs;
  asLongs.exif->entries[2] = Numbers(kTagMakerNote, kTiffLong, {1, 2, 3, 4});
  forged.exif->entries[2] = Forged(kTagMakerNote, kTiffUndefined, 0x7FFFFFFF, 64);
  Bytes farIfd = note;
  farIfd[8] = 0xF0;
  auto jpeg = [](const TiffBlock& tiff) { return EncodeJpeg({.tiff = tiff.Build()}); };
  rows.insert(
      rows.end(),
      {{Camera({{Long(kTagFrameNumber, {9}), Undefined(kTagCameraPath, Bytes(32))}}),
        Answer(9, u"")},
       {Camera({{Long(kTagFrameNumber, {11, 12, 13})}}), Answer(11)},
       {Camera({{Forged(kTagFrameNumber, kTiffLong, 0, 0)}}), Answer(-1)},
       {Camera({{Numbers(kTagFrameNumber, kTiffRational, {1, 1})}}), Answer(-1)},
       {jpeg(CameraTiff({})), Answer(-1)},
       {jpeg(asLongs), Answer(-1)},
       {jpeg(CameraTiff({.makerNote = Bytes(note.begin(), note.begin() + 11)})), Answer(-1)},
       {jpeg(CameraTiff({.makerNote = farIfd})), Answer(-1)},
       {jpeg(forged), Answer(-1)},
       {Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, Answer(-1, {}, -4)}});
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(fixture::Answers(rows[i].first).substr(0, rows[i].second.size()), rows[i].second)
        << i;
  }
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

// The whole image, not the part kept, replaces the last copy; only where the folder exists.
TEST(ExifMetaInfo, DebugCopyIsTheWholeImageAndOnlyWhereItsFolderExists) {
  const Bytes first = Camera(CameraNote(9, "P")),
              second = Camera(CameraNote(2, std::string(100, 'L')));
  namespace fs = std::filesystem;
  const fs::path file = plat::DebugImageCopyPath(), folder = file.parent_path();
  const bool hadFolder = fs::exists(folder);
  std::error_code ec;
  CExifMetaInfo info;
  if (!hadFolder) {
    ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
    EXPECT_FALSE(fs::exists(folder)) << "the folder must never be created";
    ASSERT_TRUE(fs::create_directory(folder, ec)) << ec.message();
  }
  const std::shared_ptr<void> remover(nullptr, [&](void*) {
    if (!hadFolder) fs::remove_all(folder, ec);
  });
  Bytes written;
  for (int attempt = 0; attempt < 5 && written != first; ++attempt) {
    ASSERT_EQ(info.SetSource(second.data(), second.size()), 0);
    ASSERT_EQ(info.SetSource(first.data(), first.size()), 0);
    written = ReadFile(file.string());
  }
  EXPECT_EQ(written, first);
}

// Fill bytes, a foreign APP1, two Exif blocks (the first with every IFD and a non-zero sixth
// identifier byte), 512 APP2 segments, the standard tables, then luma quantisation redefined.
TEST(ExifJpeg, ParsesFrameQuantTablesFirstExifBlockApp2ListAndRestartInterval) {
  const TiffBlock full{false,
                       {{Ascii(0x010F, "first")}},
                       TiffIfd{{Short(0x8827, {100})}},
                       TiffIfd{{Ascii(0x0001, "R98")}},
                       TiffIfd{{Short(0x0000, {2})}},
                       TiffIfd{{Long(0x0201, {0})}}};
  Bytes dqt(65);
  std::iota(dqt.begin() + 1, dqt.end(), 0);
  JpegWriter j;
  j.Marker(kJpegSoi).Raw({0xFF, 0xFF, 0xFF}).Segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/'});
  j.Exif(full.Build(), {'E', 'x', 'i', 'f', 0, 0x7F}).Raw({0xFF});
  j.Exif(CameraTiff({.make = "second"}).Build());
  for (int i = 0; i < 512; ++i) j.Segment(0xE2, {'I', 'C', 'C', static_cast<uint8_t>(i)});
  j.Tables().Segment(0xDB, dqt).Frame(kJpegSof0, 16, 8, 1).Segment(0xDD, {0, 4});
  const size_t sos = j.bytes().size();
  ParsedJpeg p(j.Scan(16, 8, 1, 1).Marker(kJpegEoi).Take());
  JpegReader& r = p.reader;
  ASSERT_EQ(r.Parse(), kExifOk);
  EXPECT_EQ(r.width() * 100 + r.height() * 10 + r.componentCount(), 16 * 100 + 8 * 10 + 1);
  EXPECT_EQ(r.quantTable(0)[63] + r.quantTable(1)[0] * 1000, 63 + 17 * 1000);  // 1: standard
  EXPECT_EQ(r.quantTable(2), nullptr);
  EXPECT_TRUE(r.ifds().exif && r.ifds().interop && r.ifds().gps && r.ifds().ifd1);
  char make[8] = {};
  ASSERT_EQ(r.ifd0()->ReadTag(0x010F, make, 6), kExifOk);
  EXPECT_STREQ(make, "first");
  ASSERT_EQ(r.app2Count(), 512u);
  EXPECT_EQ(r.app2Record(0).length, 4);
  EXPECT_EQ(p.bytes[r.app2Record(511).position + 3], 511 & 0xFF);
  EXPECT_EQ(r.restartInterval() * 1000 + r.scanStart(), 4000 + sos + 2);
  EXPECT_EQ(r.ScanFrame(), kExifOk);
}

TEST(ExifJpeg, MalformedStreamsAndSegmentsGiveTheirDefinedError) {
  const Bytes tiff = CameraTiff({}).Build();
  auto jpeg = [&](const std::function<void(JpegWriter&)>& middle, bool scan = true) {
    JpegWriter j;
    middle(j.Marker(kJpegSoi));
    return scan ? j.Scan(16, 8, 1, 1).Marker(kJpegEoi).Take() : j.Take();
  };
  auto framed = [&](uint8_t sof, const Bytes& name = {'E', 'x', 'i', 'f', 0, 0},
                    const Bytes& block = {}) {
    return jpeg([&](JpegWriter& j) {
      j.Exif(block.empty() ? tiff : block, name).Tables().Frame(sof, 16, 8, 1);
    });
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
  // The Exif IFD missing, its pointer of the wrong type or out of the block, or GPS's out of it.
  auto pointer = [&](std::optional<TiffEntry> entry) {
    TiffBlock block = CameraTiff({});
    if (!entry) block.exif.reset();
    if (entry) block.ifd0.entries.push_back(*entry);
    return framed(kJpegSof0, {'E', 'x', 'i', 'f', 0, 0}, block.Build());
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
      {pointer(std::nullopt), kExifNoExif},
      {pointer(Short(kTagExifIfd, {26})), kExifNoExif},
      {pointer(Forged(kTagExifIfd, kTiffLong, 1, 0x7FFFFFF0)), kExifNoExif},
      {pointer(Forged(kTagGpsIfd, kTiffLong, 1, 0x7FFFFFF0)), kExifNoExif},
      {jpeg([&](JpegWriter& j) {
         for (int i = 0; i < 513; ++i) j.Segment(0xE2, {'I', 'C', 'C'});
         j.Exif(tiff).Tables().Frame(kJpegSof0, 16, 8);
       }),
       kExifOutOfRange},
      {custom(q0, {8, 0, 8, 0, 16, 2, 1, 0x11, 0, 2, 0x11, 0}), kExifUnsupportedComponents},
      {custom(quant(3), {8, 0, 8, 0, 16, 1, 1, 0x11, 3}), kExifOk},   // only the table used
      {custom(quant(0x10, 129), sof), kExifBadSegment},               // a 16-bit table cut short
      {custom(quant(0, 66), sof, 0xFE, Bytes(64)), kExifBadSegment},  // a stray byte
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

// Short and long values out of line read back in host order from either byte order.
TEST(ExifTiff, NumbersReadBackInHostOrderFromBothByteOrders) {
  const std::vector<uint32_t> shorts = {0x2211, 0x2212, 0x2213}, longs = {1, 0x44332211, 3};
  for (bool big : {false, true}) {
    ParsedTiff t(Ifd0Only(
        {{Short(0x0100, {0x2211, 0x2212, 0x2213}), Long(0x0101, {1, 0x44332211, 3})}}, big));
    ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
    std::vector<uint32_t> s(3), l(3);
    EXPECT_EQ(t.reader.ifd0()->ReadTagAsLong(0x0100, s.data(), 3) +
                  t.reader.ifd0()->ReadTagAsLong(0x0101, l.data(), 3),
              kExifOk);
    EXPECT_EQ(s, shorts) << big;
    EXPECT_EQ(l, longs) << big;
  }
}

// Entries out of order with a duplicate tag and entries of invalid types (13, 0) between them:
// sorted stably, the invalid ones left out without shifting the rest.
// The header, IFD and value bounds, then the tag-description table: count and type checked, the
// format's defaults supplied.
TEST(ExifTiff, BoundsAreCheckedBeforeReadingAndTheTagTableSuppliesDefaults) {
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
        Ascii(0x0102, "in range"), Forged(0x010E, kTiffAscii, 0, 0), Ascii(0x0110, "abc"),
        Short(0x0128, {2, 3}), Long(0x0213, {1})}},
      true));
  ASSERT_EQ(t.reader.ParseIfds(), kExifOk);
  const Ifd& i0 = *t.reader.ifd0();
  uint8_t out[16];
  EXPECT_EQ(i0.ReadTag(0x0100, out, sizeof out), kExifOutOfRange);
  EXPECT_EQ(i0.ReadTag(0x0101, out, sizeof out), kExifOutOfRange);
  EXPECT_EQ(i0.TagByteSize(0x0101), 8ull * 0xFFFFFFFFu);
  EXPECT_FALSE(i0.TagValueAvailable(0x0100) || i0.TagValueAvailable(0x0101));
  // Inline values are available whatever their bytes read as an offset.
  EXPECT_TRUE(i0.TagValueAvailable(0x0102) && i0.TagValueAvailable(0x0110));
  // A tag of count 0 reads into the empty buffer its size asks for (once a fuzz finding).
  EXPECT_EQ(i0.ReadTag(0x010E, nullptr, 0), kExifOk);
  EXPECT_EQ(i0.ReadTagAsLong(0x0128, nullptr, 0), kExifOutOfRange);

  uint32_t resolution[2] = {};
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0112, resolution, 2), kExifOk);
  EXPECT_EQ(resolution[0], 1u) << "orientation top left";
  for (uint16_t tag : {0x011A, 0x011B}) {
    EXPECT_EQ(LookupTag(i0, kIfd0Tags, tag, resolution, sizeof resolution), kExifOk);
    EXPECT_EQ(resolution[0] / resolution[1], 72u) << "dots per inch";
    EXPECT_EQ(LookupTag(i0, kIfd0Tags, tag, resolution, 7), kExifOutOfRange);
  }
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0128, resolution, 8), kExifBadTagCount);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x0213, resolution, 8), kExifBadTagType);
  EXPECT_EQ(LookupTag(i0, kIfd0Tags, 0x8769, resolution, 8), kExifTagMissing);
  for (uint16_t undescribed : {0x0000, 0x9000, 0xFFFF}) {
    EXPECT_EQ(LookupTag(i0, kIfd0Tags, undescribed, resolution, 8), kExifOutOfRange);
  }
}

// None carries our maker note; what the reader takes for valid parses, also bare.
TEST(ExifCorpus, EveryFileReadsAsItsManifestSaysAndItsKeptPartAnswersAlike) {
  std::ifstream manifest(test::CorpusDir() + "/MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);  // header
  int files = 0;
  while (std::getline(manifest, line)) {
    std::vector<std::string> col;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) col.push_back(cell);
    SCOPED_TRACE(col.at(0));
    Bytes data = ReadFile(test::CorpusDir() + "/" + col[0]);
    ASSERT_EQ(data.size(), std::stoul(col[1]));
    ++files;
    const std::string answers = fixture::Answers(data);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        answers, m,
        std::regex("^0 valid (1 [1-9]\\d*x[1-9]\\d* parse 0|"
                   "0 0x0 parse -4) path -1  frame -1 0 note [\\s\\S]* bare ([01])")))
        << answers;
    EXPECT_EQ(m[1].str()[0], m[2].str()[0]);
    EXPECT_EQ(answers, fixture::Answers(fixture::KeptPart(data)));
  }
  EXPECT_GE(files, 35);
}

// Bare TIFF files (*.tif) through the maker-note parser, the rest through every reader.
TEST(ExifCorpus, SavedFuzzInputsReadCleanly) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test::DataDir() + "/exif")) {
    Bytes data = ReadFile(entry.path().string());
    ++replayed;
    if (entry.path().extension() != ".tif") {
      EXPECT_EQ(fixture::Answers(data), fixture::Answers(fixture::KeptPart(data))) << entry.path();
      continue;
    }
    ParsedTiff t(data);
    if (t.reader.ParseIfds() == kExifOk) fixture::ReadEverySet(t.reader.ifds());
  }
  EXPECT_GE(replayed, 1);
}

// Layouts where the parse or a later tag read needs bytes at or past the end of the scan header.
// The part kept ends exactly after the last of them and answers as the whole image.
TEST(ExifCorpus, KeptPartEndsAfterTheLastByteAReadNeeds) {
  const Bytes note = MakerNote(CameraNote(4711, "\\DCIM\\X.JPG"));
  auto head = [&] {
    JpegWriter j;
    return std::move(j.Marker(kJpegSoi).Exif(CameraTiff({.makerNote = note}).Build()).Tables());
  };
  JpegWriter camera = head(), emptyScanHeader = head(), shortFrame = head(), twoComponents = head();
  camera.Frame(kJpegSof0, 64, 64).Raw({0xFF, 0xFF});
  const size_t cameraEnd = camera.bytes().size() + 14;  // marker, length, 3 components
  emptyScanHeader.Frame(kJpegSof0, 16, 8).Raw({0xFF, kJpegSos, 0, 0});
  const size_t emptyEnd = emptyScanHeader.bytes().size();
  // A frame header that holds only its precision: height and width come from the scan header,
  // the component from the first scan bytes.
  shortFrame.Segment(kJpegSof0, {8}).Raw({0xFF, kJpegSos, 0, 2, 1, 1, 0x11, 0});
  const size_t shortEnd = shortFrame.bytes().size();
  // A frame the parse refuses: nothing past the scan header is needed to tell.
  twoComponents.Segment(kJpegSof0, {8, 0, 8, 0, 16, 2, 1, 0x11, 0, 2, 0x11, 0});
  const size_t refusedEnd = twoComponents.bytes().size() + 12;  // marker, length, 2 components

  // IFD0, the Exif IFD and the maker note after the scan, where nothing but scan data should be.
  constexpr size_t kTiffStart = 12;  // SOI, APP1 marker and length, Exif identifier
  JpegWriter far;
  far.Marker(kJpegSoi).Exif({'I', 'I', 42, 0, 0, 0, 0, 0}).Tables().Frame(kJpegSof0, 16, 8);
  Bytes farImage = far.Scan(16, 8, 1).Take();
  const auto ifd0 = static_cast<uint32_t>(farImage.size() - kTiffStart);
  for (int i = 0; i < 4; ++i) farImage[kTiffStart + 4 + i] = static_cast<uint8_t>(ifd0 >> (8 * i));
  TiffIfd i0{{Ascii(0x010F, "ORVANTIS"), Long(kTagExifIfd, {0})}};
  i0.entries[1] = Long(kTagExifIfd, {ifd0 + IfdBytes(i0)});
  AppendIfd(farImage, kTiffStart, i0, false);
  const TiffIfd exif{{Undefined(kTagMakerNote, note)}};
  const size_t farEnd = farImage.size() + IfdBytes(exif);
  AppendIfd(farImage, kTiffStart, exif, false);

  const struct {
    Bytes image;
    size_t kept;
    const char* answer;
  } rows[] = {
      {camera.Scan(64, 64, 3).Marker(kJpegEoi).Take(), cameraEnd, "frame 0 4711 note"},
      {emptyScanHeader.Raw(Bytes(9, 0x2A)).Take(), emptyEnd, "frame 0 4711 note"},
      {shortFrame.Raw(Bytes(64, 0x55)).Take(), shortEnd, "frame 0 4711 note"},
      {farImage, farEnd, "frame 0 4711 note"},
      {twoComponents.Scan(16, 8, 1, 2).Take(), refusedEnd, "parse -4 "},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Bytes kept = fixture::KeptPart(rows[i].image);
    EXPECT_EQ(kept.size(), rows[i].kept) << i;
    const std::string whole = fixture::Answers(rows[i].image);
    EXPECT_NE(whole.find(rows[i].answer), std::string::npos) << i << testing::PrintToString(whole);
    EXPECT_EQ(whole, fixture::Answers(kept)) << i;
  }
}

}  // namespace
}  // namespace brelon::exif
