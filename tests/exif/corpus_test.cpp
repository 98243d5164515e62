// Every file of the shared corpus of real and malformed JPEG/TIFF files against its MANIFEST
// row: none carries our maker note, so both getters give -1; malformed files end in a defined
// error; and wherever exiftool reads a sound IFD0 Make and Model, our IFD0 gives the same.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
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

}  // namespace
}  // namespace brelon::exif
