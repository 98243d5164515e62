// Stored files replayed through the readers. Every file of the shared corpus of real and
// malformed JPEG/TIFF files against its MANIFEST row: none carries our maker note, so both
// getters give -1; malformed files end in a defined error; the part of each file the reader
// keeps answers exactly as the whole file; and wherever exiftool, an independent reader, reads
// a sound IFD0 Make and Model, our IFD0 gives the same texts, while files it calls broken never
// get invented values. Inputs the fuzz targets once failed on, kept in tests/data/exif/, go
// through the same paths as in the fuzz targets; built images place what the reader needs
// beyond the scan header.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "exif/ifd_walk.h"
#include "exif/jpeg_builder.h"
#include "support/test_env.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> cols;
  std::stringstream ss(line);
  std::string col;
  while (std::getline(ss, col, '\t')) cols.push_back(col);
  return cols;
}

struct ManifestRow {
  std::string file;
  size_t bytes = 0;
  bool malformed = false;
  bool tiff = false;  // by the file name: the .tiff files are parsed as bare TIFF blocks
};

std::vector<ManifestRow> LoadManifest() {
  std::ifstream in(test::CorpusDir() + "/MANIFEST.tsv");
  std::vector<ManifestRow> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    const std::vector<std::string> cols = SplitTabs(line);
    if (cols.size() < 8) continue;
    const std::string& f = cols[0];
    rows.push_back({f, std::stoul(cols[1]), cols[7].rfind("malformed", 0) == 0,
                    f.size() > 5 && f.compare(f.size() - 5, 5, ".tiff") == 0});
  }
  return rows;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string AsciiTag(const Ifd& ifd, uint16_t tag) {
  if (ifd.TagType(tag) != kTypeAscii || !ifd.TagValueAvailable(tag)) return "";
  std::string text(static_cast<size_t>(ifd.TagByteSize(tag)), '\0');
  if (ifd.ReadTag(tag, text.data(), text.size()) != kExifOk) return "";
  return Trim(text.substr(0, text.find('\0')));
}

// Position of the TIFF header of the first APP1 Exif block, walking the marker chain as far as
// it holds. Used when the JPEG reader refuses the frame (progressive, no scan) but the Exif
// block itself is sound.
std::optional<size_t> FindExifBlock(const Bytes& d) {
  size_t pos = 2;
  while (pos + 4 <= d.size() && d[pos] == 0xFF) {
    const uint8_t marker = d[pos + 1];
    if (marker == 0xFF) {
      ++pos;
      continue;
    }
    const size_t length = size_t{d[pos + 2]} << 8 | d[pos + 3];
    if (marker == 0xE1 && length >= 8 && pos + 10 <= d.size() &&
        std::memcmp(&d[pos + 4], "Exif\0", 5) == 0) {
      return pos + 10;
    }
    if (marker == 0xDA) break;
    pos += 2 + length;
  }
  return std::nullopt;
}

// The bare JPEG (or TIFF) parse's error and, where an IFD0 could be read (for a refused JPEG
// frame, from its Exif block alone), its Make and Model ("" when absent or not ASCII).
struct Ours {
  uint16_t error = 0;
  bool parsed = false;
  std::string make, model;
};

Ours ReadOurs(Bytes data, bool tiffFile) {
  Ours out;
  uint64_t length = data.size();
  MemoryStream stream;
  MemoryStreamInit(&stream, data.data(), &length, false);
  auto take = [&](const Ifd* ifd0) {
    out.parsed = true;
    out.make = AsciiTag(*ifd0, 0x010F);
    out.model = AsciiTag(*ifd0, 0x0110);
  };
  if (tiffFile) {
    TiffReader tiff(&stream.stream);
    out.error = tiff.ParseIfds();
    if (out.error == kExifOk) take(tiff.ifd0());
    return out;
  }
  JpegReader jpeg(&stream.stream);
  out.error = jpeg.Parse();
  if (out.error == kExifOk) {
    take(jpeg.ifd0());
  } else if (out.error == kExifNotBaseline || out.error == kExifBadSegment ||
             out.error == kExifUnsupportedComponents) {
    if (auto at = FindExifBlock(data)) {
      WindowStream window;
      WindowStreamInit(&window, &stream.stream, *at);
      TiffHeader header(&window.stream);
      IfdSet set;
      if (ParseIfdSet(&header, &set, IfdParseMode::kFull) == kExifOk) take(set.ifd0.get());
    }
  }
  return out;
}

const std::set<uint16_t> kDefinedErrors = {
    kExifOk,          kExifOutOfRange,  kExifWrongState, kExifOutOfMemory,
    kExifNoExif,      kExifBadTiff,     kExifTagMissing, kExifBadTagType,
    kExifBadTagCount, kExifNotBaseline, kExifBadSegment, kExifUnsupportedComponents};

TEST(ExifCorpus, EveryFileReadsCleanlyWithoutAFrameNumber) {
  const std::vector<ManifestRow> rows = LoadManifest();
  ASSERT_GE(rows.size(), 30u);
  for (const ManifestRow& row : rows) {
    SCOPED_TRACE(row.file);
    Bytes data = ReadFile(test::CorpusDir() + "/" + row.file);
    ASSERT_EQ(data.size(), row.bytes);

    CExifMetaInfo info;
    ASSERT_EQ(info.SetSource(data.data(), data.size()), 0);
    uint32_t w = 0, h = 0;
    const bool valid = info.Validate(&w, &h);
    const int32_t parsed = info.ParseMetadata();
    EXPECT_TRUE(parsed == 0 || parsed == -4) << parsed;
    EXPECT_EQ(valid, parsed == 0);
    char16_t path[kCameraPathCapacity];
    EXPECT_EQ(info.GetCameraPath(path), -1);
    uint32_t frame = 123;
    EXPECT_EQ(info.GetFrameNumber(&frame), -1);
    EXPECT_EQ(frame, 0u);
    info.Close();
    info.ReleaseAll();
    EXPECT_EQ(fixture::Answers(data), fixture::Answers(fixture::KeptPart(data)));

    const uint16_t error = ReadOurs(data, row.tiff).error;
    EXPECT_TRUE(kDefinedErrors.count(error)) << error;
    if (row.malformed && !row.tiff) {
      EXPECT_EQ(parsed == 0, error == kExifOk);
    }
  }
}

// Structural outcomes that follow from what the files are.
TEST(ExifCorpus, KnownStructuresGiveTheirErrors) {
  auto parse = [](const std::string& name) {
    const Ours ours = ReadOurs(ReadFile(test::CorpusDir() + "/" + name), false);
    return std::make_pair(ours.error, ours.error == kExifOk ? ours.make : std::string("-"));
  };
  EXPECT_EQ(parse("neg_dji_progressive.jpg").first, kExifNotBaseline);
  EXPECT_EQ(parse("neg_nikon_D300_progressive_MM.jpeg").first, kExifNotBaseline);
  EXPECT_EQ(parse("neg_no_exif_jfif_com.jpg").first, kExifNoExif);
  EXPECT_EQ(parse("bad_exiv2_issue_1815_poc.jpg").first, kExifNotBaseline);
  EXPECT_EQ(parse("neg_canon_40D.jpg"), std::make_pair(uint16_t{kExifOk}, std::string("Canon")));
  EXPECT_EQ(parse("neg_phone_iphone4s_MM.jpg"),
            std::make_pair(uint16_t{kExifOk}, std::string("Apple")));
}

struct ExiftoolRow {
  std::string type, make, model, error, warning;
};

// One exiftool run over the whole corpus, one tab-separated line per file ("-" = absent);
// empty when exiftool is not on PATH.
std::map<std::string, ExiftoolRow> RunExiftool(const std::vector<ManifestRow>& files) {
  const std::string dir = test::TempDir("exiftool");
  const std::string format = dir + "/format.txt", output = dir + "/out.txt";
  std::map<std::string, ExiftoolRow> rows;
  if (std::system(("exiftool -ver > \"" + output + "\" 2>&1").c_str()) == 0) {
    std::ofstream(format) << "$FileName\t$FileType\t$IFD0:Make\t$IFD0:Model\t$Error\t$Warning\n";
    std::string command = "exiftool -f -q -charset filename=utf8 -p \"" + format + "\"";
    for (const ManifestRow& f : files) command += " \"" + test::CorpusDir() + "/" + f.file + "\"";
    std::system((command + " > \"" + output + "\" 2> \"" + dir + "/err.txt\"").c_str());
    std::ifstream in(output);
    std::string line;
    while (std::getline(in, line)) {
      const std::vector<std::string> c = SplitTabs(line);
      if (c.size() == 6) rows[c[0]] = {c[1], c[2], c[3], c[4], c[5]};
    }
  }
  std::filesystem::remove_all(dir);
  return rows;
}

TEST(ExifDifferential, Ifd0MakeAndModelAgreeWithExiftool) {
  const std::vector<ManifestRow> files = LoadManifest();
  ASSERT_FALSE(files.empty());
  const auto theirs = RunExiftool(files);
  if (theirs.empty()) GTEST_SKIP() << "exiftool is not on PATH";
  ASSERT_EQ(theirs.size(), files.size());

  int compared = 0;
  for (const ManifestRow& file : files) {
    SCOPED_TRACE(file.file);
    const ExiftoolRow& t = theirs.at(file.file);
    const Ours ours = ReadOurs(ReadFile(test::CorpusDir() + "/" + file.file), file.tiff);

    // Only files exiftool takes for a JPEG or TIFF are ours to read (one corpus file is an
    // exiv2 sidecar that merely looks like a JPEG).
    const bool ourFormat = t.type == "JPEG" || t.type == "TIFF";
    const bool theyRead = ourFormat && t.make != "-" && t.model != "-";
    const bool sound = theyRead && t.error == "-" && t.warning.find("IFD0") == std::string::npos;
    const bool broken = t.error != "-" || (t.warning != "-" && t.warning.rfind("[minor]", 0) != 0);
    if (sound) {
      ++compared;
      ASSERT_TRUE(ours.parsed) << "exiftool reads " << t.make << " / " << t.model;
      EXPECT_EQ(ours.make, Trim(t.make));
      EXPECT_EQ(ours.model, Trim(t.model));
    } else if (broken && ours.parsed) {
      // Whatever we do return must be what an independent reader sees too.
      if (!ours.make.empty()) {
        EXPECT_EQ(ours.make, Trim(t.make));
      }
      if (!ours.model.empty()) {
        EXPECT_EQ(ours.model, Trim(t.model));
      }
    }
  }
  EXPECT_GE(compared, 15);
}

// *.tif through ParseIfds and a read of every tag, everything else through the whole
// metadata-reader sequence. Meant to run under the address and UB sanitizers.
TEST(ExifRegression, SavedFuzzInputsReadCleanly) {
  int replayed = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(test::DataDir()) / "exif")) {
    SCOPED_TRACE(entry.path().filename().string());
    Bytes data = ReadFile(entry.path().string());
    ++replayed;
    if (entry.path().extension() == ".tif") {
      uint64_t length = data.size();
      MemoryStream stream;
      MemoryStreamInit(&stream, data.data(), &length, false);
      TiffReader reader(&stream.stream);
      if (reader.ParseIfds() == kExifOk) fixture::ReadEverySet(reader.ifds());
      continue;
    }
    EXPECT_EQ(fixture::Answers(data), fixture::Answers(fixture::KeptPart(data)));
    CExifMetaInfo info;
    ASSERT_EQ(info.SetSource(data.data(), data.size()), 0);
    const int32_t parsed = info.ParseMetadata();
    EXPECT_TRUE(parsed == 0 || parsed == -4) << parsed;
    fixture::ReadEveryTag(info.ifd0());
    fixture::ReadEveryTag(info.exifIfd());
    fixture::ReadEveryTag(info.makerNoteIfd());
    char16_t path[kCameraPathCapacity];
    info.GetCameraPath(path);
    uint32_t frame = 0;
    info.GetFrameNumber(&frame);
  }
  EXPECT_GE(replayed, 1);
}

// Layouts where the parse or a later tag read needs bytes at or past the end of the scan header.
// The part kept ends exactly after the last of them and answers as the whole image.
TEST(ExifKeptPart, EndsAfterTheLastByteAReadNeeds) {
  using namespace fixture;
  const Bytes note = MakerNote(CameraNote(4711, "\\DCIM\\X.JPG"));
  auto head = [&](JpegBuilder& j) -> JpegBuilder& {
    return j.Soi().Exif(CameraTiff(note).Build()).Dqt();
  };
  JpegBuilder camera, emptyScanHeader, shortFrame, far;
  head(camera).Sof(0xC0, 64, 64).Dht().Raw({0xFF, 0xFF}).Sos();
  const size_t cameraEnd = camera.bytes().size();
  head(emptyScanHeader).Sof(0xC0, 16, 8).Raw({0xFF, 0xDA, 0, 0});
  const size_t emptyEnd = emptyScanHeader.bytes().size();
  // A frame header that holds only its precision: height and width come from the scan header,
  // the component from the first scan bytes.
  head(shortFrame).Segment(0xC0, {8}).Raw({0xFF, 0xDA, 0, 2, 1, 1, 0x11, 0});
  const size_t shortEnd = shortFrame.bytes().size();

  // IFD0, the Exif IFD and the maker note after the scan header, where scan data would be.
  constexpr size_t kTiffStart = 12;  // SOI, APP1 marker and length, Exif identifier
  Bytes farImage =
      far.Soi().Exif({'I', 'I', 42, 0, 0, 0, 0, 0}).Dqt().Sof(0xC0, 16, 8).Sos().Take();
  const auto ifd0 = static_cast<uint32_t>(farImage.size() - kTiffStart);
  for (int i = 0; i < 4; ++i) farImage[kTiffStart + 4 + i] = static_cast<uint8_t>(ifd0 >> (8 * i));
  IfdSpec i0{{Ascii(0x010F, "ORVANTIS"), Long(0x8769, {0})}};
  i0.entries[1] = Long(0x8769, {ifd0 + static_cast<uint32_t>(Encoder::IfdSize(i0))});
  Encoder(Endian::kLittle).AppendIfd(farImage, i0, kTiffStart);
  const size_t farEnd = farImage.size() + 2 + 12 + 4 + note.size();
  Encoder(Endian::kLittle).AppendIfd(farImage, IfdSpec{{Undefined(0x927C, note)}}, kTiffStart);

  const struct {
    const char* name;
    Bytes image;
    size_t kept;
  } rows[] = {
      {"fill bytes, then a camera scan", camera.Scan(64, 4).Eoi().Take(), cameraEnd},
      {"scan header of length 0", emptyScanHeader.Scan(2, 3).Eoi().Take(), emptyEnd},
      {"frame header read on into the scan", shortFrame.Raw(Bytes(64, 0x55)).Eoi().Take(),
       shortEnd},
      {"Exif IFDs after the scan header", farImage, farEnd},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes kept = KeptPart(row.image);
    EXPECT_EQ(kept.size(), row.kept);
    const std::string whole = Answers(row.image);
    EXPECT_NE(whole.find("frame 0 4711"), std::string::npos) << whole;
    EXPECT_EQ(whole, Answers(kept));
  }
}

}  // namespace
}  // namespace brelon::exif
