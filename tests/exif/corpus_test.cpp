// Stored files through the readers: every file of the shared corpus of real and malformed JPEG
// and TIFF files against its MANIFEST row, the inputs the fuzz targets once failed on
// (tests/data/exif), and written layouts whose reads reach past the scan header. Whatever the
// input, the part of it the reader keeps answers exactly as the whole.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "exif/ifd_walk.h"
#include "sim/image_writer.h"
#include "support/test_env.h"

namespace brelon::exif {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A text tag of IFD0 without its trailing blanks and zeros; "-" when absent or not text.
std::string Text(const Ifd& ifd, uint16_t tag) {
  std::string text(ifd.TagValueAvailable(tag) ? ifd.TagByteSize(tag) : 0, '\0');
  if (ifd.TagType(tag) != kTypeAscii || ifd.ReadTag(tag, text.data(), text.size())) return "-";
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? "-" : text;
}

// Make and model agree with the manifest, taken from an independent reader; every IFD0 tag the
// description table knows reads through it as through a plain read (real cameras write the
// standard types and counts), and an unknown one is refused as out of range.
void CheckIfd0(const Ifd& ifd0, const std::string& makeAndModel, std::set<uint16_t>* described) {
  EXPECT_EQ(Text(ifd0, 0x010F) + " " + Text(ifd0, 0x0110), makeAndModel);
  for (uint16_t i = 0; i < ifd0.entryCount(); ++i) {
    const uint16_t tag = ifd0.entries()[i].tag;
    uint8_t looked[8 * 768] = {}, read[8 * 768] = {};
    const uint16_t result = LookupTag(ifd0, kIfd0Tags, tag, looked, sizeof looked);
    if (result == kExifOutOfRange) continue;
    described->insert(tag);
    EXPECT_EQ(result, kExifOk) << "tag " << tag;
    EXPECT_EQ(ifd0.ReadTag(tag, read, sizeof read), kExifOk);
    EXPECT_EQ(std::memcmp(looked, read, sizeof read), 0) << "tag " << tag;
  }
}

TEST(ExifCorpus, EveryFileReadsAsItsManifestSaysAndItsKeptPartAnswersAlike) {
  std::ifstream manifest(test::CorpusDir() + "/MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);  // header
  std::set<uint16_t> described;
  int files = 0, compared = 0;
  while (std::getline(manifest, line)) {
    std::vector<std::string> col;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) col.push_back(cell);
    SCOPED_TRACE(col.at(0));
    Bytes data = ReadFile(test::CorpusDir() + "/" + col[0]);
    ASSERT_EQ(data.size(), std::stoul(col[1]));
    ++files;
    // None carries our maker note; what the reader takes for valid parses, also bare.
    const std::string answers = fixture::Answers(data);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        answers, m,
        std::regex("^0 valid (1 [1-9]\\d*x[1-9]\\d* parse 0|"
                   "0 0x0 parse -4) path -1  frame -1 0 note [\\s\\S]* bare ([01])")))
        << answers;
    EXPECT_EQ(m[1].str()[0], m[2].str()[0]);
    EXPECT_EQ(answers, fixture::Answers(fixture::KeptPart(data)));

    uint64_t length = data.size();
    MemoryStream stream;
    MemoryStreamInit(&stream, data.data(), &length, false);
    JpegReader jpeg(&stream.stream);
    TiffReader tiff(&stream.stream);
    const bool isTiff = col[0].ends_with(".tiff");
    const bool parsed = (isTiff ? tiff.ParseIfds() : jpeg.Parse()) == kExifOk;
    const bool malformed = col[7].starts_with("malformed");
    const Ifd* ifd0 = !parsed ? nullptr : isTiff ? tiff.ifd0() : jpeg.ifd0();
    if (ifd0 && !malformed) {
      ++compared;
      CheckIfd0(*ifd0, col[5], &described);
    }
    // A broken file may lose its texts, but never gets invented ones.
    for (uint16_t tag : {0x010F, 0x0110}) {
      const std::string text = ifd0 ? Text(*ifd0, tag) : "-";
      EXPECT_TRUE(text == "-" || col[5].find(text) != std::string::npos) << text;
    }
  }
  EXPECT_GE(files, 35);
  EXPECT_GE(compared, 9);
  EXPECT_EQ(described.size(), 13u) << testing::PrintToString(described);  // the rows in use
}

// Bare TIFF files (*.tif) through the maker-note parser, the rest through every reader.
TEST(ExifCorpus, SavedFuzzInputsReadCleanly) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test::DataDir() + "/exif")) {
    SCOPED_TRACE(entry.path().filename().string());
    Bytes data = ReadFile(entry.path().string());
    ++replayed;
    if (entry.path().extension() != ".tif") {
      EXPECT_EQ(fixture::Answers(data), fixture::Answers(fixture::KeptPart(data)));
      continue;
    }
    uint64_t length = data.size();
    MemoryStream stream;
    MemoryStreamInit(&stream, data.data(), &length, false);
    TiffReader reader(&stream.stream);
    if (reader.ParseIfds() == kExifOk) fixture::ReadEverySet(reader.ifds());
  }
  EXPECT_GE(replayed, 1);
}

// Layouts where the parse or a later tag read needs bytes at or past the end of the scan header.
// The part kept ends exactly after the last of them and answers as the whole image.
TEST(ExifCorpus, KeptPartEndsAfterTheLastByteAReadNeeds) {
  using namespace zepasim;
  const Bytes note = MakerNote(CameraNote(4711, "\\DCIM\\X.JPG"));
  auto head = [&] {
    JpegWriter j;
    return std::move(j.Marker(kJpegSoi).Exif(CameraTiff({.makerNote = note}).Build()).Tables());
  };
  JpegWriter camera = head(), emptyScanHeader = head(), shortFrame = head(), twoComponents = head();
  JpegWriter far;
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
  Bytes farImage = far.Marker(kJpegSoi)
                       .Exif({'I', 'I', 42, 0, 0, 0, 0, 0})
                       .Tables()
                       .Frame(kJpegSof0, 16, 8)
                       .Scan(16, 8, 1)
                       .Take();
  const auto ifd0 = static_cast<uint32_t>(farImage.size() - kTiffStart);
  for (int i = 0; i < 4; ++i) farImage[kTiffStart + 4 + i] = static_cast<uint8_t>(ifd0 >> (8 * i));
  TiffIfd i0{{Ascii(0x010F, "ORVANTIS"), Long(kTagExifIfd, {0})}};
  i0.entries[1] = Long(kTagExifIfd, {ifd0 + IfdBytes(i0)});
  AppendIfd(farImage, kTiffStart, i0, false);
  const TiffIfd exif{{Undefined(kTagMakerNote, note)}};
  const size_t farEnd = farImage.size() + IfdBytes(exif);
  AppendIfd(farImage, kTiffStart, exif, false);

  const struct {
    const char* name;
    Bytes image;
    size_t kept;
    const char* answer;
  } rows[] = {
      {"fill bytes, then a camera scan", camera.Scan(64, 64, 3).Marker(kJpegEoi).Take(), cameraEnd,
       "frame 0 4711 note"},
      {"scan header of length 0", emptyScanHeader.Raw(Bytes(9, 0x2A)).Take(), emptyEnd,
       "frame 0 4711 note"},
      {"frame header read on into the scan", shortFrame.Raw(Bytes(64, 0x55)).Take(), shortEnd,
       "frame 0 4711 note"},
      {"Exif IFDs after the scan", farImage, farEnd, "frame 0 4711 note"},
      {"two components", twoComponents.Scan(16, 8, 1, 2).Take(), refusedEnd, "parse -4 "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes kept = fixture::KeptPart(row.image);
    EXPECT_EQ(kept.size(), row.kept);
    const std::string whole = fixture::Answers(row.image);
    EXPECT_NE(whole.find(row.answer), std::string::npos) << testing::PrintToString(whole);
    EXPECT_EQ(whole, fixture::Answers(kept));
  }
}

}  // namespace
}  // namespace brelon::exif
