// brelon-tether: the command-line host shipped with the plug-in. Drives a camera through the
// plug-in's exported functions only: status, shoot, exif, watch, preview and settings.
// Exit codes: 0 ok, 1 camera or transfer failure, 2 usage error, 3 no camera, 130 interrupted.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FD 2
#else
#include <unistd.h>
#define STDERR_FD STDERR_FILENO
#endif

#include "maker_note.h"
#include "plugin.h"
#include "settings_table.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kProgram = "brelon-tether";
constexpr const char* kVersion = "brelon-tether 1.0.0";
constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitNoCamera = 3;
constexpr int kExitInterrupted = 130;
constexpr int kNameUnits = 261;  // the plug-in writes names of up to 260 units plus NUL
constexpr int kPreviewCapacity = 1 << 20;
constexpr int kPollMs = 20;
constexpr int kConnectKindSettleMs = 1000;
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

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct Options {
  std::string command;
  std::vector<std::string> args;
  bool sim = false;
  std::string simConfig;
  double timeout = 10;
  int count = 1;
  bool countGiven = false;
  double interval = 0;
  double pressEvery = 0;
  std::string outDir;
  bool json = false;
  bool help = false;
};

const char* Usage(const std::string& command) {
  if (command == "status")
    return "usage: brelon-tether status [--timeout S] [--json] [--sim [CONFIG.json]] [-v]\n"
           "Waits for the camera, then prints maker, model, address, connection kind and the\n"
           "exposure settings. Exit 3 when no camera answers before the time-out.\n";
  if (command == "shoot")
    return "usage: brelon-tether shoot [-n N] [--interval S] [-o DIR] [--json] [--sim "
           "[CONFIG.json]]\n"
           "Releases the shutter N times and downloads every file into DIR (default: the\n"
           "storage folder setting). Existing files are never overwritten.\n";
  if (command == "exif")
    return "usage: brelon-tether exif [--json] FILE...\n"
           "Prints the frame number and the camera's file and folder names of each file.\n";
  if (command == "watch")
    return "usage: brelon-tether watch [-o DIR] [--count N] [--press-every S] [--sim "
           "[CONFIG.json]]\n"
           "Downloads every picture taken on the camera until Ctrl-C or N files.\n"
           "--press-every S presses the simulated camera's shutter button every S seconds.\n";
  if (command == "preview")
    return "usage: brelon-tether preview [-o FILE] [--frames N] [--sim [CONFIG.json]]\n"
           "Saves live-view frames (FILE, FILE-1, ...; default preview.jpg).\n";
  if (command == "settings")
    return "usage: brelon-tether settings list | get NAME | set NAME VALUE\n"
           "Reads and writes the plug-in's settings, including the 29 shortcuts.\n";
  return "usage: brelon-tether [--version] [--sim [CONFIG.json]] [-v] COMMAND [OPTIONS]\n"
         "Commands: status, shoot, exif, watch, preview, settings (COMMAND --help for each).\n"
         "--sim uses the simulated camera, set up by CONFIG.json (or --sim=FILE) if given.\n"
         "Exit: 0 ok, 1 camera or transfer failure, 2 usage, 3 no camera, 130 interrupted.\n";
}

bool ParseNumber(const std::string& text, double* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0 && *out >= 0;
}

// "--sim" takes the next word as its configuration only when it names a .json file, so that
// "exif --sim a.jpg" keeps its file; "--sim=CONFIG" takes any name.
constexpr const char* kSimEquals = "--sim=";
bool NamesJsonFile(const std::string& word) {
  const std::string ext = fs::path(word).extension().string();
  return ext.size() == 5 && std::tolower(static_cast<unsigned char>(ext[1])) == 'j' &&
         std::tolower(static_cast<unsigned char>(ext[2])) == 's' &&
         std::tolower(static_cast<unsigned char>(ext[3])) == 'o' &&
         std::tolower(static_cast<unsigned char>(ext[4])) == 'n';
}

bool ParseArgs(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](double* out) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], out)) {
        *error = a + " needs a non-negative number";
        return false;
      }
      ++i;
      return true;
    };
    double v = 0;
    if (a == "--version") {
      o->command = "version";
    } else if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "-v" || a == "--verbose") {
      g_verbose = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--sim" || a.rfind(kSimEquals, 0) == 0) {
      o->sim = true;
      if (a.size() > std::strlen(kSimEquals))
        o->simConfig = a.substr(std::strlen(kSimEquals));
      else if (i + 1 < argc && NamesJsonFile(argv[i + 1]))
        o->simConfig = argv[++i];
    } else if (a == "--timeout") {
      if (!value(&o->timeout)) return false;
    } else if (a == "-n" || a == "--count" || a == "--frames") {
      if (!value(&v) || v < 1 || v != static_cast<int>(v)) {
        *error = a + " needs a whole number of at least 1";
        return false;
      }
      o->count = static_cast<int>(v);
      o->countGiven = true;
    } else if (a == "--interval") {
      if (!value(&o->interval)) return false;
    } else if (a == "--press-every") {
      if (!value(&o->pressEvery)) return false;
    } else if (a == "-o") {
      if (i + 1 >= argc) {
        *error = "-o needs a path";
        return false;
      }
      o->outDir = argv[++i];
    } else if (a.size() > 1 && a[0] == '-' && o->command != "settings") {
      *error = "unknown option " + a;
      return false;
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      o->args.push_back(a);
    }
  }
  return true;
}

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
    std::printf("{");
    for (size_t i = 0; i < std::size(fields); ++i)
      std::printf("%s%s:%s", i ? "," : "", Json(fields[i][0]).c_str(), Json(fields[i][1]).c_str());
    std::printf("}\n");
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

class Progress {
 public:
  explicit Progress(int expected) : tty_(isatty(STDERR_FD)), expected_(expected) {}
  void File(const Saved& f, int done) {
    if (tty_) {
      const int width = 30, filled = expected_ ? std::min(width, done * width / expected_) : 0;
      std::fprintf(stderr, "\r[%s%s] %d file(s)", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), done);
    } else {
      std::fprintf(stderr, "saved %s (%llu bytes)\n", f.path.c_str(),
                   static_cast<unsigned long long>(f.bytes));
    }
  }
  void Done() {
    if (tty_) std::fprintf(stderr, "\n");
  }

 private:
  bool tty_;
  int expected_;
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
          std::vector<Saved>* files, Progress* progress, int limit, bool forever,
          double pressEvery) {
  auto lastActivity = Clock::now();
  auto nextPress = Clock::now();
  while (!g_interrupted && (limit <= 0 || static_cast<int>(files->size()) < limit)) {
    if (pressEvery > 0 && sim && Clock::now() >= nextPress) {
      sim("{\"cmd\":\"press_shutter\",\"camera\":0}");
      nextPress = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(pressEvery));
    }
    Saved saved;
    const Fetch f = FetchOne(p, s, dir, &saved);
    if (f == Fetch::kFailed) return g_interrupted ? kExitInterrupted : kExitFailure;
    if (f == Fetch::kFile) {
      files->push_back(saved);
      progress->File(saved, static_cast<int>(files->size()));
    }
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
  std::vector<Saved> files;
  const auto start = Clock::now();
  int rc = kExitOk;
  int shots = 0;
  if (watch) {
    Progress progress(o.countGiven ? o.count : 0);
    rc = Drain(p, s, dir, sim, &files, &progress, o.countGiven ? o.count : 0, true, o.pressEvery);
    progress.Done();
  } else {
    Progress progress(o.count * 2);
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
      if (!isatty(STDERR_FD)) std::fprintf(stderr, "shot %d/%d\n", i + 1, o.count);
      // Fetch what is ready between shots so the camera buffer never fills up.
      Saved saved;
      while (!g_interrupted && FetchOne(p, s, dir, &saved) == Fetch::kFile) {
        files.push_back(saved);
        progress.File(saved, static_cast<int>(files.size()));
      }
    }
    if (rc == kExitOk) rc = Drain(p, s, dir, sim, &files, &progress, 0, false, 0);
    progress.Done();
  }
  if (g_interrupted) return kExitInterrupted;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t bytes = 0;
  for (const auto& f : files) bytes += f.bytes;
  const double perShot = shots ? seconds / shots : 0;
  if (o.json) {
    std::printf("{\"shots\":%d,\"files\":[", shots);
    for (size_t i = 0; i < files.size(); ++i)
      std::printf("%s{\"path\":%s,\"bytes\":%llu}", i ? "," : "", Json(files[i].path).c_str(),
                  static_cast<unsigned long long>(files[i].bytes));
    std::printf("],\"bytes\":%llu,\"seconds_per_shot\":%.3f}\n",
                static_cast<unsigned long long>(bytes), perShot);
  } else {
    for (const auto& f : files) std::printf("%s\n", f.path.c_str());
    std::printf("%zu files, %llu bytes", files.size(), static_cast<unsigned long long>(bytes));
    if (shots) std::printf(", %.2f s per shot", perShot);
    std::printf("\n");
  }
  return rc;
}

// Raw container: magic, then (big-endian) the embedded JPEG's offset and length.
constexpr char kRawMagic[] = "QRAW";
constexpr size_t kRawMagicSize = 4, kRawJpegOffsetAt = 84, kRawJpegLengthAt = 88;

uint32_t BigEndian32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 | uint32_t{d[at + 2]} << 8 | d[at + 3];
}

bool IsRawFile(const std::vector<uint8_t>& data) {
  return data.size() >= kRawMagicSize && std::memcmp(data.data(), kRawMagic, kRawMagicSize) == 0;
}

// The frame number from the maker note; a raw file's embedded JPEG is handed out by the
// plug-in, once its header is known to point inside the file (the plug-in trusts it).
std::string FrameOf(IBrelon* iface, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> jpeg;
  const uint8_t* region = data.data();
  size_t size = data.size();
  if (IsRawFile(data)) {
    if (data.size() < kRawJpegLengthAt + 4) return "";
    const uint64_t offset = BigEndian32(data, kRawJpegOffsetAt);
    const uint64_t length = BigEndian32(data, kRawJpegLengthAt);
    if (offset + length > data.size()) return "";
    int32_t n = static_cast<int32_t>(length);
    jpeg.resize(length);
    if (iface->ExtractEmbeddedJpeg(data.data(), 0, jpeg.data(), &n) != 0 || n <= 0) return "";
    region = jpeg.data();
    size = static_cast<size_t>(n);
  }
  uint32_t frame = 0;
  return tether::ReadMakerNoteFrame(region, size, &frame) ? std::to_string(frame) : "";
}

int Exif(tether::Plugin& p, Session& s, const Options& o) {
  if (o.args.empty()) {
    std::fprintf(stderr, "%s", Usage("exif"));
    return kExitUsage;
  }
  IBrelon* iface = nullptr;
  if (p.CreateIF) {
    void* object = nullptr;
    p.CreateIF(*s.context(), tether::kInterfaceObject, &object);
    iface = static_cast<IBrelon*>(object);
  }
  if (!iface) {
    std::fprintf(stderr,
                 "brelon-tether: this plug-in offers no interface object; "
                 "use brelon-exifcheck\n");
    return kExitFailure;
  }
  int rc = kExitOk;
  if (o.json) std::printf("[");
  for (size_t i = 0; i < o.args.size(); ++i) {
    const std::string& path = o.args[i];
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    char file[4 * kNameUnits] = {}, folder[4 * kNameUnits] = {};
    const bool ok =
        iface->ReadImageInfoFromFile(path.c_str(), file, folder, IsRawFile(data) ? 1 : 0) == 1;
    if (!ok) rc = kExitFailure;
    const std::string frame = FrameOf(iface, data);
    if (o.json) {
      std::printf("%s{\"path\":%s,\"frame\":%s,\"camera_file\":%s,\"camera_folder\":%s}",
                  i ? "," : "", Json(path).c_str(), frame.empty() ? "null" : frame.c_str(),
                  ok ? Json(file).c_str() : "null", ok ? Json(folder).c_str() : "null");
    } else if (ok) {
      std::printf("%s: frame %s, camera file %s, folder %s\n", path.c_str(),
                  frame.empty() ? "?" : frame.c_str(), file, folder);
    } else {
      std::printf("%s: no camera names found\n", path.c_str());
    }
  }
  if (o.json) std::printf("]\n");
  iface->Release();
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseArgs(argc, argv, &o, &error)) {
    std::fprintf(stderr, "brelon-tether: %s\n%s", error.c_str(), Usage(o.command));
    return kExitUsage;
  }
  if (o.command == "--version" || o.command == "version") {
    std::printf("%s\n", kVersion);
    return kExitOk;
  }
  const char* known[] = {"status", "shoot", "exif", "watch", "preview", "settings"};
  if (o.help && (o.command.empty() ||
                 std::find(std::begin(known), std::end(known), o.command) != std::end(known))) {
    std::printf("%s", Usage(o.command));
    return kExitOk;
  }
  if (std::find(std::begin(known), std::end(known), o.command) == std::end(known)) {
    if (!o.command.empty())
      std::fprintf(stderr, "brelon-tether: unknown command %s\n", o.command.c_str());
    std::fprintf(stderr, "%s", Usage(""));
    return kExitUsage;
  }

  if (!o.simConfig.empty() && !fs::is_regular_file(o.simConfig)) {
    std::fprintf(stderr, "brelon-tether: no simulator configuration file %s\n",
                 o.simConfig.c_str());
    return kExitUsage;
  }
  const std::string dir = tether::ExecutableDirectory();
  const bool usesCamera = o.command != "settings" && o.command != "exif";
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
  if (o.sim) setenv("BRELON_ZEPA_PATH", simPath.c_str(), 1);
#endif
  if (o.pressEvery > 0 && !o.sim) {
    std::fprintf(stderr, "brelon-tether: --press-every works with the simulated camera only\n");
    return kExitUsage;
  }
  if (o.sim && !o.simConfig.empty()) {
#ifdef _WIN32
    _putenv_s("ZEPA_SIM_CONFIG", o.simConfig.c_str());
#else
    setenv("ZEPA_SIM_CONFIG", o.simConfig.c_str(), 1);
#endif
  }

  tether::Plugin plugin;
  if (!plugin.Load(dir, &error)) {
    std::fprintf(stderr, "brelon-tether: %s\n", error.c_str());
    return kExitFailure;
  }
  if (o.command == "settings") {
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
  if (o.command == "status") rc = Status(plugin, session, o);
  if (o.command == "shoot") rc = ShootOrWatch(plugin, session, o, sim, false);
  if (o.command == "watch") rc = ShootOrWatch(plugin, session, o, sim, true);
  if (o.command == "exif") rc = Exif(plugin, session, o);
  if (o.command == "preview") rc = Preview(plugin, session, o, sim);
  session.Close();
  if (!g_tmpPath.empty()) {
    std::error_code ec;
    fs::remove(g_tmpPath, ec);
  }
  return g_interrupted ? kExitInterrupted : rc;
}
