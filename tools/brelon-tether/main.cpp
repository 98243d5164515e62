// brelon-tether: the command-line host shipped with the plug-in. Drives a camera through the
// plug-in's exported functions only: status, shoot, watch, preview and settings; exif reads
// files with the plug-in's Exif reader. Exit codes: 0 ok, 1 camera or transfer failure (exif:
// a file without frame number and names), 2 usage error, 3 no camera, 130 interrupted.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plugin.h"
#include "settings_table.h"
#include "system.h"
#include "transfer/exif/camera_path.h"
#include "transfer/exif/exif_meta_info.h"
#include "transfer/exif/raw_header.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
// Keys stay in the order written, as the documented output shows them.
using Json = nlohmann::ordered_json;

namespace {

constexpr const char* kProgram = "brelon-tether";
constexpr const char* kVersion = "brelon-tether 1.1.0";
constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitNoCamera = 3;
constexpr int kExitInterrupted = 130;
constexpr int kNameUnits = 261;  // the plug-in writes names of up to 260 units plus NUL
constexpr int kPreviewCapacity = 1 << 20;
constexpr int kPollMs = 20;
constexpr int kConnectKindSettleMs = 1000;
constexpr double kMillisPerSecond = 1000;
// Without the simulator there is no way to ask whether a shot is still on its way, so the
// drain waits this long after the last file before it stops.
constexpr double kIdleGraceSeconds = 3.0;

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_connected{false};
bool g_verbose = false;

void OnSigint(int) {
  g_interrupted = true;
}

int32_t BRELON_CDECL OnEvent(int32_t camera, int32_t event, void*) {
  if (event == BRELON_EV_CONNECTED) g_connected = true;
  if (event == BRELON_EV_DISCONNECTED) g_connected = false;
  if (g_verbose) std::fprintf(stderr, "event %d (camera %d)\n", event, camera);
  return 0;
}

std::string Utf8(const char16_t* text) {
  std::string out;
  for (size_t i = 0; text[i]; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// One line of JSON. Texts from files and paths may be any bytes: invalid UTF-8 is replaced
// rather than failing the whole output.
void PrintJson(const Json& value) {
  std::printf("%s\n", value.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

struct Options {
  bool sim = false;
  std::string simConfig;
  double timeout = 10;
  int count = 1;
  bool countGiven = false;
  double interval = 0;
  double pressEvery = 0;
  std::string outDir;
  bool json = false;
  bool raw = false;
  std::string hook;
  std::vector<std::string> args;
};

// A loaded plug-in with a live context; Exit runs on every way out.
class Session {
 public:
  explicit Session(tether::Plugin* p) : plugin_(p) {}
  ~Session() { Close(); }
  int32_t Open() { return plugin_->Init(&context_, OnEvent, nullptr); }
  void Close() {
    if (context_) plugin_->Exit(&context_);
    context_ = nullptr;
  }
  void** context() { return &context_; }

 private:
  tether::Plugin* plugin_;
  void* context_ = nullptr;
};

bool Connected(tether::Plugin& p, Session& s) {
  uint8_t connected = 0;
  return g_connected || (p.IsCameraConnect(s.context(), &connected) == 0 && connected);
}

// Returns 0, kExitNoCamera or kExitInterrupted.
int WaitForCamera(tether::Plugin& p, Session& s, double timeout) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  while (!Connected(p, s)) {
    if (g_interrupted) return kExitInterrupted;
    if (Clock::now() >= deadline) {
      std::fprintf(stderr, "brelon-tether: no camera found within %g s\n", timeout);
      return kExitNoCamera;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return 0;
}

int Status(tether::Plugin& p, Session& s, const Options& o) {
  if (int rc = WaitForCamera(p, s, o.timeout)) return rc;
  DeviceInformation info = {};
  if (p.GetDeviceInfo(s.context(), &info) != 0) {
    std::fprintf(stderr, "brelon-tether: the camera went away\n");
    return kExitFailure;
  }
  std::string kind = "unknown";
  if (p.CreateIF) {
    void* object = nullptr;
    p.CreateIF(*s.context(), tether::kInterfaceObject, &object);
    if (auto* iface = static_cast<IBrelon*>(object)) {
      // The plug-in reports the connection (event and flag) just before it records its kind,
      // so a kind of 0 right after connecting is given a moment to settle.
      int32_t k = iface->GetConnectKind();
      for (int waited = 0; k == 0 && waited < kConnectKindSettleMs; waited += kPollMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        k = iface->GetConnectKind();
      }
      kind = k == 1 ? "usb" : k == 2 ? "network" : "none";
      iface->Release();
    }
  }
  BrelonCondition c = {};
  const bool haveCondition = p.GetCameraCondition && p.GetCameraCondition(s.context(), &c) == 0;
  const std::string fields[][2] = {
      {"manufacturer", info.manufacturer},
      {"model", info.model},
      {"address", info.networkAddress},
      {"connection", kind},
      {"aperture", haveCondition ? Utf8(c.apertureText) : ""},
      {"shutter", haveCondition ? Utf8(c.shutterText) : ""},
      {"iso", haveCondition ? std::to_string(c.sensitivity) : ""},
      {"white_balance", haveCondition ? Utf8(c.wbText) : ""},
      {"exposure_bias",
       haveCondition ? (c.exposureBias > 0 ? "+" : "") + std::to_string(c.exposureBias) : ""}};
  if (o.json) {
    Json object;
    for (const auto& f : fields) object[f[0]] = f[1];
    PrintJson(object);
  } else {
    for (const auto& f : fields) std::printf("%-14s %s\n", (f[0] + ":").c_str(), f[1].c_str());
  }
  return kExitOk;
}

struct Saved {
  std::string path;
  uint64_t bytes = 0;
};

std::string g_tmpPath;  // the half-written file, removed on every way out

// Writes DIR/.name.tmp and renames it to a name not yet taken.
bool SaveFile(const fs::path& dir, const std::string& name, const uint8_t* data, size_t size,
              Saved* saved) {
  const fs::path tmp = dir / ("." + name + ".tmp");
  g_tmpPath = tmp.string();
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush() || g_interrupted) {
      out.close();
      std::error_code ec;
      fs::remove(tmp, ec);
      g_tmpPath.clear();
      return false;
    }
  }
  fs::path target = dir / name;
  const fs::path stem = fs::path(name).stem(), ext = fs::path(name).extension();
  for (int n = 1; fs::exists(target); ++n)
    target = dir / (stem.string() + "-" + std::to_string(n) + ext.string());
  if (target.filename() != name)
    std::fprintf(stderr, "notice: %s exists; saved as %s\n", name.c_str(),
                 target.filename().string().c_str());
  std::error_code ec;
  fs::rename(tmp, target, ec);
  if (ec) {
    fs::remove(tmp, ec);
    g_tmpPath.clear();
    return false;
  }
  g_tmpPath.clear();
  saved->path = target.make_preferred().string();  // one kind of separator throughout
  saved->bytes = size;
  return true;
}

enum class Fetch { kFile, kNothing, kSkipped, kFailed };

// One query/read pair of ReadImage.
Fetch FetchOne(tether::Plugin& p, Session& s, const fs::path& dir, Saved* saved) {
  uint32_t size = 0;
  uint8_t isRaw = 0;
  int32_t variant = 0;
  int32_t r = p.ReadImage(s.context(), nullptr, &size, &isRaw, &variant, nullptr, nullptr, nullptr);
  if (r == BRELON_E_IMAGE_DELETED) return Fetch::kSkipped;
  if (r != 0) return Fetch::kFailed;
  if (size == 0) return Fetch::kNothing;
  std::vector<uint8_t> buffer(size);
  char16_t name[kNameUnits] = {}, camFile[kNameUnits] = {}, camFolder[kNameUnits] = {};
  r = p.ReadImage(s.context(), buffer.data(), &size, &isRaw, &variant, name, camFile, camFolder);
  if (r == BRELON_E_SDK && size == 0) return Fetch::kSkipped;  // withheld by an image wait
  if (r != 0 || name[0] == 0) {
    std::fprintf(stderr, "brelon-tether: image transfer failed (%d)\n", r);
    return Fetch::kFailed;
  }
  return SaveFile(dir, Utf8(name), buffer.data(), size, saved) ? Fetch::kFile : Fetch::kFailed;
}

// Every saved file: listed for the summary, shown as progress (a bar on a terminal, a line
// per file otherwise) and handed to the hook, which failing does not stop the session.
class Downloads {
 public:
  Downloads(int expected, std::string hook)
      : tty_(tether::StderrIsTerminal()), expected_(expected), hook_(std::move(hook)) {}
  void Add(const Saved& f) {
    files.push_back(f);
    const int done = static_cast<int>(files.size());
    if (tty_) {
      const int width = 30, filled = expected_ ? std::min(width, done * width / expected_) : 0;
      std::fprintf(stderr, "\r[%s%s] %d file(s)", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), done);
    } else {
      std::fprintf(stderr, "saved %s (%llu bytes)\n", f.path.c_str(),
                   static_cast<unsigned long long>(f.bytes));
    }
    std::string failure;
    if (!hook_.empty() && !tether::RunHook(hook_, f.path, &failure))
      std::fprintf(stderr, "%sbrelon-tether: hook failed for %s: %s\n", tty_ ? "\n" : "",
                   f.path.c_str(), failure.c_str());
  }
  void Done() {
    if (tty_) std::fprintf(stderr, "\n");
  }
  bool tty() const { return tty_; }

  std::vector<Saved> files;

 private:
  bool tty_;
  int expected_;
  std::string hook_;
};

// True while the simulated camera still has a shot on its way or in its buffer.
bool SimPending(tether::SimControlFn sim) {
  return sim && (sim("{\"cmd\":\"pending\",\"camera\":0}") > 0 ||
                 sim("{\"cmd\":\"stats\",\"what\":\"queued\",\"camera\":0}") > 0);
}

std::string DefaultOutputDir(tether::Plugin& p) {
  if (!p.ReadProperty) return ".";
  auto record = std::make_unique<_BRELON_PROPERTY>();
  *record = {};
  p.ReadProperty(record.get());
  return Utf8(record->StorageSavePath);
}

// Downloads until nothing is pending (or `limit` files, or the press schedule ends).
int Drain(tether::Plugin& p, Session& s, const fs::path& dir, tether::SimControlFn sim,
          Downloads* downloads, int limit, bool forever, double pressEvery) {
  auto lastActivity = Clock::now();
  auto nextPress = Clock::now();
  while (!g_interrupted && (limit <= 0 || static_cast<int>(downloads->files.size()) < limit)) {
    if (pressEvery > 0 && sim && Clock::now() >= nextPress) {
      sim("{\"cmd\":\"press_shutter\",\"camera\":0}");
      nextPress = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(pressEvery));
    }
    Saved saved;
    const Fetch f = FetchOne(p, s, dir, &saved);
    if (f == Fetch::kFailed) return g_interrupted ? kExitInterrupted : kExitFailure;
    if (f == Fetch::kFile) downloads->Add(saved);
    if (f != Fetch::kNothing) {
      lastActivity = Clock::now();
      continue;
    }
    if (!forever) {
      if (sim ? !SimPending(sim)
              : Clock::now() - lastActivity > std::chrono::duration<double>(kIdleGraceSeconds))
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return g_interrupted ? kExitInterrupted : kExitOk;
}

int ShootOrWatch(tether::Plugin& p, Session& s, const Options& o, tether::SimControlFn sim,
                 bool watch) {
  if (!p.ReadImage || (!watch && !p.Shoot)) {
    std::fprintf(stderr, "brelon-tether: this plug-in does not export ReadImage/Shoot\n");
    return kExitFailure;
  }
  if (int rc = WaitForCamera(p, s, o.timeout)) return rc;
  const fs::path dir = o.outDir.empty() ? fs::path(DefaultOutputDir(p)) : fs::path(o.outDir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) {
    std::fprintf(stderr, "brelon-tether: cannot create %s\n", dir.string().c_str());
    return kExitFailure;
  }
  const int expected = watch ? (o.countGiven ? o.count : 0) : o.count * 2;
  Downloads downloads(expected, o.hook);
  const auto start = Clock::now();
  int rc = kExitOk;
  int shots = 0;
  if (watch) {
    rc = Drain(p, s, dir, sim, &downloads, o.countGiven ? o.count : 0, true, o.pressEvery);
  } else {
    for (int i = 0; i < o.count && !g_interrupted; ++i) {
      if (i > 0 && o.interval > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(o.interval));
      if (g_interrupted) break;
      const int32_t r = p.Shoot(s.context());
      if (r != 0) {
        std::fprintf(stderr, "brelon-tether: shot %d failed (%d)\n", i + 1, r);
        rc = kExitFailure;
        break;
      }
      ++shots;
      if (!downloads.tty()) std::fprintf(stderr, "shot %d/%d\n", i + 1, o.count);
      // Fetch what is ready between shots so the camera buffer never fills up.
      Saved saved;
      while (!g_interrupted && FetchOne(p, s, dir, &saved) == Fetch::kFile) downloads.Add(saved);
    }
    if (rc == kExitOk) rc = Drain(p, s, dir, sim, &downloads, 0, false, 0);
  }
  downloads.Done();
  const std::vector<Saved>& files = downloads.files;
  if (g_interrupted) return kExitInterrupted;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t bytes = 0;
  for (const auto& f : files) bytes += f.bytes;
  const double perShot = shots ? seconds / shots : 0;
  if (o.json) {
    Json list = Json::array();
    for (const auto& f : files) list.push_back({{"path", f.path}, {"bytes", f.bytes}});
    PrintJson({{"shots", shots},
               {"files", list},
               {"bytes", bytes},
               {"seconds_per_shot", std::round(perShot * kMillisPerSecond) / kMillisPerSecond}});
  } else {
    for (const auto& f : files) std::printf("%s\n", f.path.c_str());
    std::printf("%zu files, %llu bytes", files.size(), static_cast<unsigned long long>(bytes));
    if (shots) std::printf(", %.2f s per shot", perShot);
    std::printf("\n");
  }
  return rc;
}

constexpr uint8_t kMarkerPrefix = 0xFF, kStartOfImage = 0xD8;
constexpr unsigned char kFirstPrintable = 0x20, kDelete = 0x7F;

bool StartsJpeg(const uint8_t* data, size_t size) {
  return size >= 2 && data[0] == kMarkerPrefix && data[1] == kStartOfImage;
}

// Names come from the file: control characters are shown, never sent to the terminal.
std::string Printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c < kFirstPrintable || c == kDelete) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// What one file told; `error` set when it could not be read at all.
struct ExifFacts {
  std::string error;
  std::optional<uint32_t> frame;
  std::optional<std::string> file, folder;
};

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* reason) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    *reason = std::strerror(errno);
    return false;
  }
  char chunk[1 << 16];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof(chunk), in)) > 0)
    data->insert(data->end(), chunk, chunk + n);
  const int error = std::ferror(in) ? errno : 0;
  std::fclose(in);
  if (error) *reason = std::strerror(error);
  return !error;
}

// The JPEG is the file itself, or for a raw image (any file that does not start as a JPEG,
// or every file with `raw`) the region its header names, as the plug-in reads it: by the
// header alone, whatever the file's magic or name.
ExifFacts ReadExifFacts(const std::string& path, bool raw) {
  ExifFacts facts;
  std::vector<uint8_t> data;
  if (!ReadWholeFile(path, &data, &facts.error)) return facts;
  size_t offset = 0, length = data.size();
  if ((raw || !StartsJpeg(data.data(), data.size())) &&
      !(brelon::exif::LocateEmbeddedJpeg(data.data(), data.size(), &offset, &length) &&
        StartsJpeg(data.data() + offset, length)))
    return facts;
  brelon::exif::CExifMetaInfo reader;
  uint32_t width = 0, height = 0;
  if (reader.SetSource(data.data() + offset, length) == 0 && reader.Validate(&width, &height) &&
      reader.ParseMetadata() == 0) {
    uint32_t frame = 0;
    if (reader.GetFrameNumber(&frame) == 0) facts.frame = frame;
    char16_t cameraPath[brelon::exif::kCameraPathCapacity] = {};
    char16_t file[brelon::kCameraNameUnits] = {}, folder[brelon::kCameraNameUnits] = {};
    if (reader.GetCameraPath(cameraPath) == 0 &&
        brelon::SplitCameraPath(cameraPath, file, folder) && file[0]) {
      facts.file = Utf8(file);
      facts.folder = Utf8(folder);
    }
  }
  reader.Close();
  reader.ReleaseAll();
  return facts;
}

int Exif(const Options& o) {
  brelon::exif::CExifMetaInfo::SetDebugCopyEnabled(false);
  int rc = kExitOk;
  Json records = Json::array();
  for (const std::string& path : o.args) {
    const ExifFacts f = ReadExifFacts(path, o.raw);
    if (!f.error.empty() || (!f.frame && !f.file)) rc = kExitFailure;
    if (o.json) {
      Json record = {{"path", path},
                     {"frame", f.frame ? Json(*f.frame) : Json()},
                     {"camera_file", f.file ? Json(*f.file) : Json()},
                     {"camera_folder", f.folder ? Json(*f.folder) : Json()}};
      if (!f.error.empty()) record["error"] = f.error;
      records.push_back(record);
    } else if (!f.error.empty()) {
      std::fprintf(stderr, "brelon-tether: cannot read %s: %s\n", path.c_str(), f.error.c_str());
    } else {
      const std::string frame = f.frame ? "frame " + std::to_string(*f.frame) : "no frame number";
      const std::string names =
          f.file ? "camera file " + Printable(*f.file) + ", folder " + Printable(*f.folder)
                 : "no camera path";
      std::printf("%s: %s, %s\n", path.c_str(), frame.c_str(), names.c_str());
    }
  }
  if (o.json) PrintJson(records);
  return rc;
}

int Preview(tether::Plugin& p, Session& s, const Options& o, tether::SimControlFn sim) {
  if (!p.CreateIF || !p.ReadImage) {
    std::fprintf(stderr, "brelon-tether: this plug-in offers no preview\n");
    return kExitFailure;
  }
  if (int rc = WaitForCamera(p, s, o.timeout)) return rc;
  void* object = nullptr;
  p.CreateIF(*s.context(), tether::kInterfaceObject, &object);
  auto* iface = static_cast<IBrelon*>(object);
  if (!iface) return kExitFailure;
  const int frames = o.countGiven ? o.count : 1;
  if (sim) {
    const std::string cmd =
        "{\"cmd\":\"preview\",\"camera\":0,\"frames\":" + std::to_string(frames) + "}";
    sim(cmd.c_str());
  }
  const fs::path base = o.outDir.empty() ? fs::path("preview.jpg") : fs::path(o.outDir);
  std::vector<uint8_t> frame(kPreviewCapacity);
  const auto deadline = Clock::now() + std::chrono::duration<double>(o.timeout);
  int saved = 0;
  while (saved < frames && !g_interrupted && Clock::now() < deadline) {
    uint32_t size = 0;
    uint8_t isRaw = 0;
    int32_t variant = 0;
    // A query call takes a waiting preview frame into the plug-in's preview slots.
    p.ReadImage(s.context(), nullptr, &size, &isRaw, &variant, nullptr, nullptr, nullptr);
    int32_t n = kPreviewCapacity;
    if (iface->TakePreview(frame.data(), &n) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    const std::string name =
        saved == 0 ? base.filename().string()
                   : base.stem().string() + "-" + std::to_string(saved) + base.extension().string();
    fs::path dir = base.parent_path().empty() ? fs::path(".") : base.parent_path();
    Saved out;
    if (!SaveFile(dir, name, frame.data(), static_cast<size_t>(n), &out)) break;
    std::printf("%s (%llu bytes)\n", out.path.c_str(), static_cast<unsigned long long>(out.bytes));
    ++saved;
  }
  iface->Release();
  if (g_interrupted) return kExitInterrupted;
  return saved == frames ? kExitOk : kExitFailure;
}

// "--sim" takes the next word as its configuration only when it names a .json file, so that
// "exif --sim a.jpg" keeps its file. Before parsing, each "--sim" gets its value attached:
// that file, or a mark for none; "--sim=FILE" takes any name.
constexpr const char* kSimOption = "--sim";
constexpr const char* kJsonExtension = ".json";
constexpr const char* kNoSimConfig = "-";

bool NamesJsonFile(const std::string& word) {
  std::string ext = fs::path(word).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == kJsonExtension;
}

// The arguments in the reversed order the parser takes them.
std::vector<std::string> ReversedArguments(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != kSimOption) continue;
    const bool config = i + 1 < args.size() && NamesJsonFile(args[i + 1]);
    args[i] += "=" + (config ? args[i + 1] : std::string(kNoSimConfig));
    if (config) args.erase(args.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
  return {args.rbegin(), args.rend()};
}

// Parses the command line into `o`. Returns the command's name, or sets `*exitCode` when the
// program is done (help, version: 0; any usage error: 2, with the parser's message).
std::string ParseCommandLine(int argc, char** argv, Options* o, int* exitCode) {
  CLI::App app{"Drives a camera through the Brelon plug-in as any host would.", kProgram};
  app.set_version_flag("--version", kVersion);
  app.require_subcommand(0, 1);
  // The global options are taken after the command too; "/path" is a file, also on Windows.
  app.fallthrough();
  app.allow_windows_style_options(false);
  app.footer("Exit: 0 ok, 1 camera or transfer failure, 2 usage, 3 no camera, 130 interrupted.");
  app.add_flag("-v,--verbose", g_verbose, "Prints the plug-in's events");
  app.add_option(kSimOption, o->simConfig,
                 "Uses the simulated camera, set up by CONFIG.json when that follows (or "
                 "--sim=FILE)")
      ->option_text("[CONFIG.json]");
  const CLI::Validator seconds(
      [](std::string& text) {
        double v = 0;
        return CLI::detail::lexical_cast(text, v) && std::isfinite(v) && v >= 0
                   ? std::string()
                   : "needs a number of seconds, 0 or more";
      },
      "SECONDS");
  const CLI::Range atLeastOne(1, std::numeric_limits<int>::max());
  std::vector<CLI::Option*> counts;
  const auto timeout = [&](CLI::App* c) {
    c->add_option("--timeout", o->timeout, "Seconds to wait for the camera (default 10)")
        ->check(seconds);
  };
  const auto downloads = [&](CLI::App* c, const char* countHelp) {
    counts.push_back(c->add_option("-n,--count", o->count, countHelp)->check(atLeastOne));
    c->add_option("-o", o->outDir, "Output folder (default: the storage folder setting)");
    c->add_option("--hook", o->hook,
                  "Runs CMD with each saved file's path as its last argument, once the file is "
                  "complete");
    c->add_flag("--json", o->json, "Prints the summary as one JSON object");
    timeout(c);
  };

  CLI::App* status = app.add_subcommand(
      "status",
      "Waits for the camera, then prints maker, model, address, connection kind and the "
      "exposure settings. Exit 3 when no camera answers before the time-out.");
  status->add_flag("--json", o->json, "Prints one JSON object");
  timeout(status);
  CLI::App* shoot = app.add_subcommand(
      "shoot",
      "Releases the shutter N times and downloads every file. Existing files are never "
      "overwritten.");
  downloads(shoot, "Shots (default 1)");
  shoot->add_option("--interval", o->interval, "Seconds between shots")->check(seconds);
  CLI::App* watch = app.add_subcommand(
      "watch", "Downloads every picture taken on the camera until Ctrl-C or N files.");
  downloads(watch, "Stops after N files");
  watch
      ->add_option("--press-every", o->pressEvery,
                   "Presses the simulated camera's shutter button every S seconds")
      ->check(seconds);
  CLI::App* exif = app.add_subcommand(
      "exif",
      "Prints the frame number and the camera's file and folder names of each JPEG or raw file. "
      "Exit 1 when a file gives neither.");
  exif->add_flag("--raw", o->raw, "Reads every file as a raw image: the JPEG its header names");
  exif->add_flag("--json", o->json, "Prints one JSON array");
  exif->add_option("FILE", o->args, "JPEG or raw files")->required();
  CLI::App* preview = app.add_subcommand(
      "preview", "Saves live-view frames (FILE, FILE-1, ...; default preview.jpg).");
  counts.push_back(
      preview->add_option("-n,--frames", o->count, "Frames (default 1)")->check(atLeastOne));
  preview->add_option("-o", o->outDir, "Output FILE");
  timeout(preview);
  CLI::App* settings = app.add_subcommand(
      "settings",
      "list | get NAME | set NAME VALUE: reads and writes the plug-in's settings, including the "
      "29 shortcuts.");
  // Everything after the command is its words, also values such as -1.
  settings->prefix_command();
  settings->fallthrough(false);

  std::vector<std::string> args = ReversedArguments(argc, argv);
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    *exitCode = app.exit(e) == static_cast<int>(CLI::ExitCodes::Success) ? kExitOk : kExitUsage;
    return "";
  }
  if (app.get_subcommands().empty()) {
    std::fprintf(stderr, "%s", app.help().c_str());
    *exitCode = kExitUsage;
    return "";
  }
  o->sim = app.count(kSimOption) > 0;
  if (o->simConfig == kNoSimConfig) o->simConfig.clear();
  for (const CLI::Option* c : counts) o->countGiven = o->countGiven || c->count() > 0;
  if (settings->parsed()) o->args = settings->remaining();
  return app.get_subcommands().front()->get_name();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int exitCode = kExitOk;
  const std::string command = ParseCommandLine(argc, argv, &o, &exitCode);
  if (command.empty()) return exitCode;
  if (command == "exif") return Exif(o);
  if (!o.simConfig.empty() && !fs::is_regular_file(o.simConfig)) {
    std::fprintf(stderr, "brelon-tether: no simulator configuration file %s\n",
                 o.simConfig.c_str());
    return kExitUsage;
  }
  const std::string dir = tether::ExecutableDirectory();
  const bool usesCamera = command != "settings";
#ifdef _WIN32
  // The plug-in always loads the ZEPA.DLL beside the host; the simulator is the one with a
  // control entry, so that is what decides between a real camera and the simulated one.
  const std::string simPath = dir + "ZEPA.DLL";
  const bool simBeside = tether::SimControl(simPath) != nullptr;
  if (o.sim && !simBeside) {
    std::fprintf(stderr, "brelon-tether: --sim needs the simulated ZEPA.DLL beside %s\n", kProgram);
    return kExitFailure;
  }
  if (!o.sim && simBeside) {
    if (usesCamera)
      std::fprintf(stderr, "notice: no camera SDK beside %s; using the simulator\n", kProgram);
    o.sim = true;
  }
#else
  const std::string simPath = dir + "libzepa.so";
  const char* sdk = std::getenv("BRELON_ZEPA_PATH");
  if (!o.sim && (!sdk || !*sdk)) {
    if (usesCamera) std::fprintf(stderr, "notice: no camera SDK configured; using the simulator\n");
    o.sim = true;
  }
  if (o.sim) tether::SetEnvironment("BRELON_ZEPA_PATH", simPath);
#endif
  if (o.pressEvery > 0 && !o.sim) {
    std::fprintf(stderr, "brelon-tether: --press-every works with the simulated camera only\n");
    return kExitUsage;
  }
  if (o.sim && !o.simConfig.empty()) tether::SetEnvironment("ZEPA_SIM_CONFIG", o.simConfig);

  tether::Plugin plugin;
  std::string error;
  if (!plugin.Load(dir, &error)) {
    std::fprintf(stderr, "brelon-tether: %s\n", error.c_str());
    return kExitFailure;
  }
  if (command == "settings") {
    if (!plugin.ReadProperty || !plugin.WriteProperty) {
      std::fprintf(stderr, "brelon-tether: this plug-in does not export ReadProperty\n");
      return kExitFailure;
    }
    return tether::RunSettings(plugin.ReadProperty, plugin.WriteProperty, o.args);
  }

  std::signal(SIGINT, OnSigint);
#ifdef SIGBREAK
  // Ctrl-Break: what a console sends to a program started in a process group of its own.
  std::signal(SIGBREAK, OnSigint);
#endif
  Session session(&plugin);
  if (session.Open() != 0) {
    std::fprintf(stderr, "brelon-tether: the plug-in could not start (camera SDK missing?)\n");
    return kExitFailure;
  }
  const tether::SimControlFn sim = o.sim ? tether::SimControl(simPath) : nullptr;
  int rc = kExitOk;
  if (command == "status") rc = Status(plugin, session, o);
  if (command == "shoot") rc = ShootOrWatch(plugin, session, o, sim, false);
  if (command == "watch") rc = ShootOrWatch(plugin, session, o, sim, true);
  if (command == "preview") rc = Preview(plugin, session, o, sim);
  session.Close();
  if (!g_tmpPath.empty()) {
    std::error_code ec;
    fs::remove(g_tmpPath, ec);
  }
  return g_interrupted ? kExitInterrupted : rc;
}
