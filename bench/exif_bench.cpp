// Reading the frame number and camera path from JPEGs held in memory: the plug-in's reader
// sequence against libexif and exiv2 doing the same job, and a plain copy of the file for scale
// (the reader copies only the head of an image). Prints per-image times and the ratios at the
// end of the run.
// Inputs: the corpus JPEGs, a small camera JPEG with our maker note and a 6 MB one.
#include <benchmark/benchmark.h>
#include <libexif/exif-data.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "sim/image_writer.h"
#include "transfer/exif/exif_meta_info.h"

namespace {

using zepasim::Bytes;

struct Image {
  std::string name;
  Bytes bytes;
};

struct Result {
  uint32_t frame = 0;
  size_t pathBytes = 0;
};

// The maker note turned into a TIFF block: "II", 42, and the IFD offset from its header.
bool NoteToTiff(const uint8_t* note, size_t size, Bytes* tiff) {
  if (size < 12) return false;
  tiff->assign(note, note + size);
  std::memcpy(tiff->data(), "II*\0", 4);
  std::memcpy(tiff->data() + 4, note + 8, 4);
  return true;
}

Result ReadBrelon(const Bytes& jpeg) {
  brelon::exif::CExifMetaInfo info;
  Result r;
  info.SetSource(jpeg.data(), jpeg.size());
  uint32_t w = 0, h = 0;
  info.Validate(&w, &h);
  info.ParseMetadata();
  char16_t path[brelon::exif::kCameraPathCapacity];
  if (info.GetCameraPath(path) == 0) r.pathBytes = std::char_traits<char16_t>::length(path);
  info.GetFrameNumber(&r.frame);
  info.Close();
  info.ReleaseAll();
  return r;
}

Result ReadLibexif(const Bytes& jpeg) {
  Result r;
  ExifData* data = exif_data_new_from_data(jpeg.data(), static_cast<unsigned>(jpeg.size()));
  if (!data) return r;
  // Vendor notes libexif knows come with their entries; ours it reads as a TIFF block.
  if (ExifMnoteData* mnote = exif_data_get_mnote_data(data)) {
    char value[256];
    for (unsigned i = 0; i < exif_mnote_data_count(mnote); ++i) {
      if (exif_mnote_data_get_id(mnote, i) == 0x1438) {
        exif_mnote_data_get_value(mnote, i, value, sizeof(value));
        r.frame = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
      }
    }
  } else if (ExifEntry* note =
                 exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], EXIF_TAG_MAKER_NOTE)) {
    Bytes block = {'E', 'x', 'i', 'f', 0, 0};
    Bytes tiff;
    if (NoteToTiff(note->data, note->size, &tiff)) {
      block.insert(block.end(), tiff.begin(), tiff.end());
      ExifData* noteData = exif_data_new();
      // Every load option off (unknown-tag filtering, tag repair, note rewriting): the note's
      // private tags must load exactly as written.
      for (int option = EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS;
           option <= EXIF_DATA_OPTION_DONT_CHANGE_MAKER_NOTE; option <<= 1) {
        exif_data_unset_option(noteData, static_cast<ExifDataOption>(option));
      }
      exif_data_load_data(noteData, block.data(), static_cast<unsigned>(block.size()));
      const ExifByteOrder order = exif_data_get_byte_order(noteData);
      ExifContent* ifd0 = noteData->ifd[EXIF_IFD_0];
      if (ExifEntry* e = exif_content_get_entry(ifd0, static_cast<ExifTag>(0x1438))) {
        r.frame = e->format == EXIF_FORMAT_SHORT ? exif_get_short(e->data, order)
                                                 : exif_get_long(e->data, order);
      }
      if (ExifEntry* e = exif_content_get_entry(ifd0, static_cast<ExifTag>(0x1439))) {
        r.pathBytes = strnlen(reinterpret_cast<const char*>(e->data), e->size);
      }
      exif_data_unref(noteData);
    }
  }
  exif_data_unref(data);
  return r;
}

Result ReadExiv2(const Bytes& jpeg) {
  Result r;
  try {
    Exiv2::Image::AutoPtr image =
        Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    auto note = exif.findKey(Exiv2::ExifKey("Exif.Photo.MakerNote"));
    if (note == exif.end()) return r;
    Exiv2::DataBuf raw(note->size());
    note->copy(raw.pData_, Exiv2::littleEndian);
    Bytes tiff;
    if (!NoteToTiff(raw.pData_, static_cast<size_t>(raw.size_), &tiff)) return r;
    Exiv2::ExifData noteData;
    Exiv2::ExifParser::decode(noteData, tiff.data(), static_cast<uint32_t>(tiff.size()));
    auto frame = noteData.findKey(Exiv2::ExifKey("Exif.Image.0x1438"));
    if (frame != noteData.end()) r.frame = static_cast<uint32_t>(frame->toLong());
    auto path = noteData.findKey(Exiv2::ExifKey("Exif.Image.0x1439"));
    if (path != noteData.end()) r.pathBytes = path->toString().size();
  } catch (const std::exception&) {
  }
  return r;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<Image> LoadImages() {
  using namespace zepasim;
  std::vector<Image> images;
  const char* env = std::getenv("BRELON_CORPUS_DIR");
  const std::filesystem::path corpus = env ? env : BRELON_BENCH_CORPUS_DIR;
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(corpus)) {
    for (const auto& e : std::filesystem::directory_iterator(corpus)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("neg_", 0) == 0) files.push_back(e.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) images.push_back({f.filename().string(), ReadFile(f)});

  const Bytes note = MakerNote(CameraNote(4711, "\\DCIM\\100ORVNT\\QV004711.JPG"));
  const Bytes tiff = CameraTiff({.makerNote = note}).Build();
  images.push_back({"camera_small.jpg", EncodeJpeg({.tiff = tiff})});
  // 6000 x 4000 grey, 40 AC coefficients per block: a camera-sized 6 MB scan.
  JpegWriter big;
  big.Marker(kJpegSoi).Exif(tiff).Tables().Frame(kJpegSof0, 6000, 4000, 1);
  images.push_back({"camera_6MB.jpg", big.Scan(6000, 4000, 1, 1, 40).Marker(kJpegEoi).Take()});
  return images;
}

void RunReader(benchmark::State& state, const Image* image, Result (*read)(const Bytes&)) {
  Result last;
  for (auto _ : state) {
    last = read(image->bytes);
    benchmark::DoNotOptimize(last);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image->bytes.size()));
  state.counters["frame"] = last.frame;
  state.counters["path_bytes"] = static_cast<double>(last.pathBytes);
  state.SetLabel(std::to_string(image->bytes.size()) + " bytes");
}

// Our reader with the debug copy SetSource attempts: with the folder absent that is one delete
// and one failed create per image, system calls that cost more than the parse itself.
void RunBrelonWithDebugCopy(benchmark::State& state, const Image* image) {
  brelon::exif::CExifMetaInfo::SetDebugCopyEnabled(true);
  RunReader(state, image, ReadBrelon);
  brelon::exif::CExifMetaInfo::SetDebugCopyEnabled(false);
}

void RunMemcpy(benchmark::State& state, const Image* image) {
  Bytes copy(image->bytes.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), image->bytes.data(), image->bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image->bytes.size()));
  state.SetLabel(std::to_string(image->bytes.size()) + " bytes");
}

// Keeps each run's time per iteration so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        // CPU time, and the best repetition: on a shared machine wall time and single runs
        // mostly measure the neighbours.
        const double us = run.GetAdjustedCPUTime() *
                          benchmark::GetTimeUnitMultiplier(benchmark::kMicrosecond) /
                          benchmark::GetTimeUnitMultiplier(run.time_unit);
        auto [it, added] = microseconds.emplace(run.benchmark_name(), us);
        if (!added && us < it->second) it->second = us;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> microseconds;
};

}  // namespace

int main(int argc, char** argv) {
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  // The measured reader is the parse alone; brelon+debugcopy shows what the copy adds.
  brelon::exif::CExifMetaInfo::SetDebugCopyEnabled(false);
  const std::vector<Image> images = LoadImages();
  for (const Image& image : images) {
    benchmark::RegisterBenchmark(("brelon/" + image.name).c_str(), RunReader, &image, ReadBrelon);
    benchmark::RegisterBenchmark(("brelon+debugcopy/" + image.name).c_str(), RunBrelonWithDebugCopy,
                                 &image);
    benchmark::RegisterBenchmark(("libexif/" + image.name).c_str(), RunReader, &image, ReadLibexif);
    benchmark::RegisterBenchmark(("exiv2/" + image.name).c_str(), RunReader, &image, ReadExiv2);
    benchmark::RegisterBenchmark(("memcpy/" + image.name).c_str(), RunMemcpy, &image);
  }
  // Five short repetitions by default (the table keeps the best); flags given on the command
  // line come later and win.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=5";
  char minTime[] = "--benchmark_min_time=0.05";
  args.insert(args.begin() + 1, {repetitions, minTime});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  const bool debugFolder =
      std::filesystem::exists(std::filesystem::path(plat::DebugImageCopyPath()).parent_path());
  if (debugFolder) {
    std::printf("note: the debug-copy folder exists, so every brelon run also writes %s\n",
                plat::DebugImageCopyPath());
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf(
      "\nCPU microseconds per image (best repetition), and ratios to our reader (debug copy "
      "off):\n");
  std::printf("%-36s %9s %9s %9s %9s %9s %9s %9s %9s\n", "image", "brelon", "+dbgcopy", "libexif",
              "exiv2", "memcpy", "libexif/x", "exiv2/x", "x/memcpy");
  for (const Image& image : images) {
    auto& t = reporter.microseconds;
    const double ours = t["brelon/" + image.name], withCopy = t["brelon+debugcopy/" + image.name];
    const double lib = t["libexif/" + image.name], exiv = t["exiv2/" + image.name];
    const double copy = t["memcpy/" + image.name];
    if (ours <= 0) continue;
    std::printf("%-36s %9.2f %9.2f %9.2f %9.2f %9.2f %9.1f %9.1f %9.2f\n", image.name.c_str(), ours,
                withCopy, lib, exiv, copy, lib / ours, exiv / ours, copy > 0 ? ours / copy : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
