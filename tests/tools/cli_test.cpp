// brelon-tether as a child process on the simulated camera, natively and under Wine; each run
// with a private registry, lock and log.
#include <gtest/gtest.h>

#include <fstream>

#include "support/child_process.h"
#include "support/sim_harness.h"

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using Args = std::vector<std::string>;

namespace {

constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitNoCamera = 3;
constexpr int kExitInterrupted = 130, kPollMs = 10, kMaxPolls = 3000;  // 30 s: a slow Wine start
constexpr uintmax_t kSimRawBytes = 1000000;
constexpr const char* kSlowTransferConfig =  // each raw file slow to write: interrupted midway
    R"({"cameras":[{"capture":{"delay_ms":1,"raw_bytes":40000000}}]})";
constexpr int kLongFrame = 70001, kEmptyPathFrame = 18069;  // LONG; names with ESC, CR and DEL
constexpr const char* kLongFrameConfig =
    R"({"cameras":[{"capture":{"format":"jpeg","byte_order":"MM","first_frame":70001,)"
    R"("camera_path":"A:\\DCIM\\1\u001b[2J\\OR\rV\u007f.JPG"}}]})";
constexpr const char* kEmptyPathConfig =
    R"({"cameras":[{"capture":{"format":"jpeg","first_frame":18069,"camera_path":""}}]})";
constexpr size_t kRawHeaderOffsetAt = 84, kForeignJpegAt = 300;

struct Result {
  int code = -1;
  std::string out;
};

std::string ReadAll(const fs::path& path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()),
                     {});
}

fs::path CliPath() {
  const fs::path dir = testsupport::CurrentExecutableDir();
  return fs::exists(dir / "brelon-tether.exe") ? dir / "brelon-tether.exe" : dir / "brelon-tether";
}

std::string FrameName(int frame, const char* ext) {
  const std::string digits = std::to_string(frame);
  return std::string(8 - digits.size(), '0') + digits + "." + ext;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { registry_ = (dir_ = brelon::test::TempDir("cli")) / "reg"; }

  bool Start(ChildProcess* child, const Args& args, const fs::path& program = CliPath()) const {
    return child->Start(
        program, args,
        {"BRELON_REGISTRY_FILE=" + registry_.string(), "BRELON_LOCK_DIR=" + dir_.string(),
         "BRELON_LOG_DIR=" + dir_.string(), "ZEPA_SIM_TRACE=" + Path("trace")},
        dir_ / "out");
  }
  Result Finish(ChildProcess* child) const {
    Result r{child->Wait(), ReadAll(dir_ / "out")};
    std::erase(r.out, '\r');  // Windows: CR LF
    return r;
  }
  Result Run(const Args& args, const fs::path& program = CliPath()) const {
    ChildProcess child;
    return Start(&child, args, program) ? Finish(&child) : Result{};
  }
  std::string Config(const char* json, const std::string& name = "config.json") const {
    std::ofstream(dir_ / name) << json;
    return Path(name);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string CommandLine(const std::string& args) {
    return "\"" + CliPath().string() + "\" " + args;
  }
  static bool Windows() { return CliPath().extension() == ".exe"; }

  fs::path dir_, registry_;
};

// Raw and JPEG per frame, each handed once to the hook under its final name; never overwriting.
TEST_F(CliTest, ShootNeverOverwritesAndHandsEachSavedFileOnceToTheHook) {
  fs::create_directories(dir_ / "shots");
  std::ofstream(dir_ / "shots" / "00000001.JPG") << "keep me";
  const Result r = Run({"shoot", "-n", "3", "--json", "--sim", "--timeout", "20", "-o",
                        Path("shots"), "--hook", CommandLine("exif")});
  ASSERT_EQ(r.code, kExitOk) << r.out;
  EXPECT_EQ(ReadAll(dir_ / "shots" / "00000001.JPG"), "keep me");
  const auto size = [&](const std::string& name) { return fs::file_size(dir_ / "shots" / name); };
  uintmax_t bytes = 0;
  for (int frame = 1; frame <= 3; ++frame) {
    const std::string jpeg = frame == 1 ? "00000001-1.JPG" : FrameName(frame, "JPG");
    for (const std::string& name : {FrameName(frame, "QRW"), jpeg}) {
      EXPECT_EQ(Count(r.out, name + ": frame " + std::to_string(frame) + ","), 1u) << r.out;
      EXPECT_EQ(Count(r.out, name + R"(","bytes":)" + std::to_string(size(name))), 1u);
      bytes += size(name);
    }
    EXPECT_EQ(size(FrameName(frame, "QRW")), kSimRawBytes);
    EXPECT_EQ(ReadAll(dir_ / "shots" / jpeg).substr(0, 2), "\xFF\xD8");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "shots"), fs::directory_iterator()), 7);
  EXPECT_TRUE(Count(r.out, R"({"shots":3,"files":[{"path":)")) << r.out;
  EXPECT_TRUE(Count(r.out, R"(],"bytes":)" + std::to_string(bytes) + R"(,"seconds_per_shot":)"));
}

TEST_F(CliTest, ProgressBarOnATerminalEndsInTheFinalCount) {
  if (Windows() || !fs::exists("/usr/bin/script")) GTEST_SKIP() << "no POSIX terminal to run in";
  const Args args = {"-qec", CommandLine("shoot -n 2 --sim -o " + Path("shots")), "/dev/null"};
  ASSERT_EQ(Run(args, "/usr/bin/script").code, kExitOk);
  const std::string drawn = ReadAll(dir_ / "out"), bar = drawn.substr(0, drawn.find("\r\n"));
  EXPECT_EQ(bar.substr(bar.rfind('\r') + 1), "[" + std::string(30, '#') + "] 4 file(s)") << drawn;
}

TEST_F(CliTest, SettingsSetThenGetRoundTripsAndRefusalsChangeNothing) {
  for (const auto& [name, value] : {std::pair{"hgDispMode", "7"}, std::pair{"Shoot", "Ctrl+S"}}) {
    const std::string before = Run({"settings", "get", name}).out;
    ASSERT_EQ(Run({"settings", "set", name, value}).code, kExitOk) << name;
    EXPECT_EQ(Run({"settings", "get", name}).out, std::string(value) + "\n");
    // The registry is shared with other suites under Wine: put the old value back.
    Run({"settings", "set", name, before.substr(0, before.find('\n'))});
  }
  const Result list = Run({"settings", "list"});
  EXPECT_TRUE(Count(list.out, "LiveviewPreview=L")) << list.out;
  for (const Args& args : {Args{"settings", "set", "NoSuchSetting", "1"},
                           {"settings", "set", "TransferJPEG", "5"},
                           {"settings", "set", "ConnectType", "abc"},
                           {"settings", "get", "NoSuchSetting"},
                           {"settings", "set", "ConnectType"}})
    EXPECT_EQ(Run(args).code, kExitUsage) << args[2];
  EXPECT_EQ(Run({"settings", "list"}).out, list.out);

  if (Windows()) return;  // the Windows registry is no file
  // A damaged settings file is read as far as it goes and kept aside.
  std::ofstream(registry_) << "damaged\n[HKEY_CURRENT_USER\\Software\\COM.ORVANTIS.TEK\\"
                              "tether_orvantis]\n\"hgDispMode\"=dword:00000004\n";
  EXPECT_EQ(Run({"settings", "get", "hgDispMode"}).out, "4\n");
  EXPECT_TRUE(std::any_of(fs::directory_iterator(dir_), {}, [](const fs::directory_entry& e) {
    return Count(e.path().filename().string(), "reg.corrupt-");
  }));
  registry_ = dir_ / "folder";  // unusable: neither a write nor a read succeeds
  fs::create_directories(registry_);
  for (const Args& args :
       {Args{"settings", "set", "hgDispMode", "5"}, {"settings", "get", "hgDispMode"}}) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, kExitFailure) << r.out;
    EXPECT_TRUE(Count(r.out, registry_.string())) << r.out;
  }
}

TEST_F(CliTest, ExifPrintsWhatEachFileHoldsWhateverItsNameOrMagicAndNothingForOthers) {
  ASSERT_EQ(Run({"shoot", "-n", "2", "--sim", "--timeout", "20", "-o", Path("")}).code, kExitOk);
  fs::rename(dir_ / FrameName(2, "JPG"), dir_ / "renamed.jpg");
  fs::rename(dir_ / FrameName(2, "QRW"), dir_ / FrameName(9, "QRW"));
  // Another camera's raw file: only the header's big-endian offset and length lead to its JPEG.
  const std::string jpeg = ReadAll(dir_ / FrameName(1, "JPG"));
  std::string raw = "FRGN" + std::string(kForeignJpegAt - 4, '\0') + jpeg;
  for (int i = 0; i < 4; ++i) {
    raw[kRawHeaderOffsetAt + i] = static_cast<char>(kForeignJpegAt >> (24 - 8 * i));
    raw[kRawHeaderOffsetAt + 4 + i] = static_cast<char>(jpeg.size() >> (24 - 8 * i));
  }
  std::ofstream(dir_ / "foreign.dat", std::ios::binary) << raw;
  ASSERT_EQ(Run({"shoot", "--sim", Config(kLongFrameConfig), "-o", Path("")}).code, kExitOk);
  ASSERT_EQ(Run({"shoot", "--sim", Config(kEmptyPathConfig), "-o", Path("")}).code, kExitOk);

  const Result r =
      Run({"exif", "--sim", Path("renamed.jpg"), Path(FrameName(9, "QRW")), Path("foreign.dat"),
           Path(FrameName(kLongFrame, "JPG")), Path(FrameName(kEmptyPathFrame, "JPG"))});
  EXPECT_EQ(r.code, kExitOk) << r.out;
  for (const std::string& line :
       {std::string("renamed.jpg: frame 2, camera file ORV_0002.JPG, folder 100ORVTS\n"),
        FrameName(9, "QRW") + ": frame 2, camera file ORV_0002.QRW, folder 100ORVTS\n",
        std::string("foreign.dat: frame 1, camera file ORV_0001.JPG, folder 100ORVTS\n"),
        FrameName(kLongFrame, "JPG") +
            ": frame 70001, camera file OR\\x0dV\\x7f.JPG, folder 1\\x1b[2J\n",
        FrameName(kEmptyPathFrame, "JPG") + ": frame 18069, no camera path\n"})
    EXPECT_TRUE(Count(r.out, line)) << line << r.out;
  // Read as a raw, a JPEG leads nowhere; a file that cannot be read says why.
  const Result asRaw = Run({"exif", "--raw", Path("renamed.jpg"), Path("missing.jpg")});
  EXPECT_EQ(asRaw.code, kExitFailure);
  EXPECT_TRUE(Count(asRaw.out, "renamed.jpg: no frame number, no camera path\n")) << asRaw.out;
  EXPECT_TRUE(Count(asRaw.out, "cannot read " + Path("missing.jpg") + ": ")) << asRaw.out;
  // As JSON; other cameras' files and broken ones: one record each, without a frame or names.
  Args args = {"exif", "--json", Path("renamed.jpg")};
  for (const auto& e : fs::directory_iterator(BRELON_TEST_CORPUS_DIR))
    if (e.path().extension() != ".tsv") args.push_back(e.path().string());
  args.push_back(Path("missing.jpg"));
  const Result other = Run(args);
  EXPECT_EQ(other.code, kExitFailure) << other.out;
  EXPECT_TRUE(Count(other.out, R"("frame":2,"camera_file":"ORV_0002.JPG")")) << other.out;
  EXPECT_EQ(Count(other.out, R"("frame":null,"camera_file":null)"), args.size() - 3) << other.out;
  EXPECT_EQ(Count(other.out, R"("error":")"), 1u) << other.out;  // only the missing file
}

TEST_F(CliTest, InterruptedShootCallsExitLeavesNoTemporaryFileAndExits130) {
  ChildProcess child;
  ASSERT_TRUE(Start(&child, {"shoot", "-n", "20", "--timeout", "20", "--sim",
                             Config(kSlowTransferConfig), "-o", Path("shots")}));
  std::error_code missing;
  for (int i = 0; i < kMaxPolls && (fs::is_empty(dir_ / "shots", missing) || missing); ++i)
    testsupport::SleepRealMs(kPollMs);
  // Under Wine without a console (how the Windows suites run) no console event can be sent.
  if (!child.Interrupt()) GTEST_SKIP() << "no console to deliver an interrupt to the child's group";
  const Result r = Finish(&child);
  EXPECT_EQ(r.code, kExitInterrupted) << r.out;
  for (const auto& e : fs::directory_iterator(dir_ / "shots"))
    EXPECT_NE(e.path().extension(), ".tmp") << e.path();
  EXPECT_TRUE(Count(ReadAll(dir_ / "trace"), R"("fn":"ZEPK_Exit")"));
}

TEST_F(CliTest, ExitCodesOfUsageErrorsAMissingCameraAndRunsOfEachCommandWatchToo) {
  const std::string none = Config(R"({"cameras":[]})", "none.json");
  const struct {
    Args args;
    int code;
    std::vector<std::string> parts;  // each once in the output
  } cases[] = {{{"frobnicate"}, kExitUsage, {}},
               {{"shoot", "-n", "zero"}, kExitUsage, {}},
               {{"exif"}, kExitUsage, {}},
               {{"status", "--sim=" + Path("missing.json")}, kExitUsage, {}},
               {{"--version"}, kExitOk, {}},
               {{"shoot", "--help"}, kExitOk, {}},
               {{"status", "--timeout", "1", "--sim", none}, kExitNoCamera, {"within 1 s"}},
               {{"status", "--sim", "--timeout", "20"},
                kExitOk,
                {"ORVANTIS", "K-M3", "192.0.2.10", "usb", "1/1000", "400"}},
               {{"preview", "--frames", "2", "--sim", "--timeout", "20", "-o", Path("live.jpg")},
                kExitOk,
                {Path("live.jpg") + " (", Path("live-1.jpg") + " ("}},
               {{"status", "--json", "--timeout", "20"},
                kExitOk,
                {R"({"manufacturer":"ORVANTIS","model":"K-M3",)"}},
               {{"watch", "--count", "2", "--press-every", "0.2", "--timeout", "20", "--sim",
                 Config(R"({"cameras":[{"capture":{"format":"jpeg"}}]})"), "-o", Path("w"),
                 "--hook", CommandLine("frobnicate")},
                kExitOk,
                {"00000001.JPG: exit status 2", "00000002.JPG: exit status 2"}}};
  for (const auto& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args[0];
    for (const std::string& part : c.parts) EXPECT_EQ(Count(r.out, part), 1u) << part << r.out;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "w"), fs::directory_iterator()), 2);
}

}  // namespace
