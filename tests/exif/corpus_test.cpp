// Every file of the shared corpus of real and malformed JPEG/TIFF files against its MANIFEST
// row: none carries our maker note, so both getters give -1; malformed files end in a defined
// error; and wherever exiftool, an independent reader, reads a sound IFD0 Make and Model, our
// IFD0 gives the same texts, while files it calls broken never get invented values.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
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

#include "support/test_env.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {
namespace {

using Bytes = std::vector<uint8_t>;

struct ManifestRow {
  std::string file;
  size_t bytes = 0;
  std::string type;
  bool malformed = false;
};

std::vector<ManifestRow> LoadManifest() {
  std::ifstream in(test::CorpusDir() + "/MANIFEST.tsv");
  std::vector<ManifestRow> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 8) continue;
    rows.push_back({cols[0], std::stoul(cols[1]), cols[4], cols[7].rfind("malformed", 0) == 0});
  }
  return rows;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool IsTiffName(const std::string& name) {
  return name.size() > 5 && name.compare(name.size() - 5, 5, ".tiff") == 0;
}

const std::set<uint16_t> kDefinedErrors = {kExifOk,
                                           kExifOutOfRange,
                                           kExifWrongState,
                                           kExifOutOfMemory,
                                           kExifUnsupportedComponents,
                                           kExifNoExif,
                                           kExifBadTiff,
                                           kExifTagMissing,
                                           kExifBadTagType,
                                           kExifBadTagCount,
                                           kExifNotBaseline,
                                           kExifBadSegment};

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

    uint64_t length = data.size();
    MemoryStream stream;
    MemoryStreamInit(&stream, data.data(), &length, false);
    uint16_t error;
    if (IsTiffName(row.file)) {
      TiffReader tiff(&stream.stream);
      error = tiff.ParseIfds();
    } else {
      JpegReader jpeg(&stream.stream);
      error = jpeg.Parse();
    }
    EXPECT_TRUE(kDefinedErrors.count(error)) << error;
    if (row.malformed && !IsTiffName(row.file)) {
      EXPECT_EQ(parsed == 0, error == kExifOk);
    }
  }
}

// Structural outcomes that follow from what the files are.
TEST(ExifCorpus, KnownStructuresGiveTheirErrors) {
  auto parse = [](const std::string& name) {
    Bytes data = ReadFile(test::CorpusDir() + "/" + name);
    uint64_t length = data.size();
    MemoryStream stream;
    MemoryStreamInit(&stream, data.data(), &length, false);
    JpegReader jpeg(&stream.stream);
    uint16_t error = jpeg.Parse();
    std::string make = "-";
    char text[64] = {};
    if (error == kExifOk && jpeg.ifd0()->ReadTag(0x010F, text, sizeof(text) - 1) == kExifOk)
      make = text;
    return std::make_pair(error, make);
  };
  EXPECT_EQ(parse("neg_dji_progressive.jpg").first, kExifNotBaseline);
  EXPECT_EQ(parse("neg_nikon_D300_progressive_MM.jpeg").first, kExifNotBaseline);
  EXPECT_EQ(parse("neg_no_exif_jfif_com.jpg").first, kExifNoExif);
  EXPECT_EQ(parse("bad_exiv2_issue_1815_poc.jpg").first, kExifNotBaseline);
  EXPECT_EQ(parse("neg_canon_40D.jpg"), std::make_pair(uint16_t{kExifOk}, std::string("Canon")));
  EXPECT_EQ(parse("neg_phone_iphone4s_MM.jpg"),
            std::make_pair(uint16_t{kExifOk}, std::string("Apple")));
}

struct Ifd0Texts {
  bool parsed = false;
  std::string make, model;  // empty when absent or not ASCII
};

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

Ifd0Texts ReadOurs(Bytes data, bool tiffFile) {
  Ifd0Texts out;
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
    if (tiff.ParseIfds() == kExifOk) take(tiff.ifd0());
    return out;
  }
  JpegReader jpeg(&stream.stream);
  const uint16_t error = jpeg.Parse();
  if (error == kExifOk) {
    take(jpeg.ifd0());
  } else if (error == kExifNotBaseline || error == kExifBadSegment ||
             error == kExifUnsupportedComponents) {
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

struct ExiftoolRow {
  std::string type, make, model, error, warning;
};

// One exiftool run over the whole corpus, one tab-separated line per file ("-" = absent).
std::map<std::string, ExiftoolRow> RunExiftool(const std::vector<std::string>& files) {
  const std::string dir = test::TempDir("exiftool");
  const std::string format = dir + "/format.txt", output = dir + "/out.txt";
  std::ofstream(format) << "$FileName\t$FileType\t$IFD0:Make\t$IFD0:Model\t$Error\t$Warning\n";
  std::string command = "exiftool -f -q -charset filename=utf8 -p \"" + format + "\"";
  for (const std::string& f : files) command += " \"" + f + "\"";
  command += " > \"" + output + "\" 2> \"" + dir + "/err.txt\"";
  std::system(command.c_str());
  std::map<std::string, ExiftoolRow> rows;
  std::ifstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() == 6) rows[cols[0]] = {cols[1], cols[2], cols[3], cols[4], cols[5]};
  }
  std::filesystem::remove_all(dir);
  return rows;
}

bool ExiftoolAvailable() {
  const std::string dir = test::TempDir("exiftool-probe");
  const int rc = std::system(("exiftool -ver > \"" + dir + "/v.txt\" 2>&1").c_str());
  std::filesystem::remove_all(dir);
  return rc == 0;
}

TEST(ExifDifferential, Ifd0MakeAndModelAgreeWithExiftool) {
  if (!ExiftoolAvailable()) GTEST_SKIP() << "exiftool is not on PATH";
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(test::CorpusDir())) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".tiff") files.push_back(entry.path().string());
  }
  ASSERT_FALSE(files.empty());
  const auto theirs = RunExiftool(files);
  ASSERT_EQ(theirs.size(), files.size());

  int compared = 0;
  for (const std::string& path : files) {
    const std::string name = std::filesystem::path(path).filename().string();
    SCOPED_TRACE(name);
    const ExiftoolRow& t = theirs.at(name);
    const Ifd0Texts ours =
        ReadOurs(ReadFile(path), std::filesystem::path(path).extension() == ".tiff");

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

}  // namespace
}  // namespace brelon::exif
