// Inputs the fuzz targets once failed on, kept in tests/data/exif/ and replayed through the
// same paths: *.tif through ParseIfds and a read of every tag, everything else through the
// whole metadata-reader sequence. Meant to run under the address and UB sanitizers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "exif/ifd_walk.h"
#include "exif/jpeg_builder.h"
#include "support/test_env.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {
namespace {

using namespace fixture;

// Found by the TIFF target: a tag of count 0 read into the empty buffer its size asks for.
TEST(ExifRegression, ZeroCountTagReadsIntoAnEmptyBuffer) {
  TiffSpec spec;
  spec.endian = Endian::kBig;
  spec.ifd0.entries = {RawEntry(0x010E, 2, 0, 0), Short(0x0112, {1})};
  spec.exif.reset();
  Bytes tiff = spec.Build();
  uint64_t length = tiff.size();
  MemoryStream stream;
  MemoryStreamInit(&stream, tiff.data(), &length, false);
  TiffReader reader(&stream.stream);
  ASSERT_EQ(reader.ParseIfds(), kExifOk);
  EXPECT_EQ(reader.ifd0()->TagByteSize(0x010E), 0u);
  EXPECT_EQ(reader.ifd0()->ReadTag(0x010E, nullptr, 0), kExifOk);
  EXPECT_EQ(reader.ifd0()->ReadTagAsLong(0x0112, nullptr, 0), kExifOutOfRange);
}

TEST(ExifRegression, SavedFuzzInputsReadCleanly) {
  const std::filesystem::path dir = std::filesystem::path(test::DataDir()) / "exif";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ++replayed;
    if (entry.path().extension() == ".tif") {
      uint64_t length = data.size();
      MemoryStream stream;
      MemoryStreamInit(&stream, data.data(), &length, false);
      TiffReader reader(&stream.stream);
      if (reader.ParseIfds() == kExifOk) ReadEverySet(reader.ifds());
      continue;
    }
    CExifMetaInfo info;
    ASSERT_EQ(info.SetSource(data.data(), data.size()), 0);
    const int32_t parsed = info.ParseMetadata();
    EXPECT_TRUE(parsed == 0 || parsed == -4) << parsed;
    ReadEveryTag(info.ifd0());
    ReadEveryTag(info.exifIfd());
    ReadEveryTag(info.makerNoteIfd());
    char16_t path[kCameraPathCapacity];
    info.GetCameraPath(path);
    uint32_t frame = 0;
    info.GetFrameNumber(&frame);
  }
  EXPECT_GE(replayed, 1);
}

}  // namespace
}  // namespace brelon::exif
