// Differential check of our IFD0 Make and Model against exiftool, an independent reader, on
// every corpus file: where exiftool reads them soundly we must read the same texts; where it
// calls the file broken we must fail or stay empty rather than invent values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "transfer/exif/jpeg_reader.h"
#include "transfer/exif/tiff.h"

namespace brelon::exif {
namespace {

using Bytes = std::vector<uint8_t>;

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
    std::ifstream in(path, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Ifd0Texts ours = ReadOurs(data, std::filesystem::path(path).extension() == ".tiff");

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
