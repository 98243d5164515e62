// Tests of brelon-tether run as a subprocess against the simulated camera: status, shoot,
// no-overwrite, settings round trip and refusals, exif, interruption and the no-camera
// time-out. Every run gets private registry, lock and log paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Result {
  int code = -1;
  std::string out;
};

fs::path CliPath() {
  return fs::read_symlink("/proc/self/exe").parent_path() / "brelon-tether";
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("brelon-cli-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    if (!fs::exists(CliPath())) GTEST_SKIP() << "brelon-tether not built";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Env() const {
    const std::string d = dir_.string();
    return "BRELON_REGISTRY_FILE='" + d + "/reg' BRELON_LOCK_DIR='" + d + "' BRELON_LOG_DIR='" + d +
           "' ";
  }

  Result Run(const std::string& args) const {
    const std::string cmd = Env() + "'" + CliPath().string() + "' " + args + " 2>&1";
    Result r;
    FILE* pipe = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) r.out.append(buf, n);
    const int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }

  fs::path dir_;
};

TEST_F(CliTest, StatusReportsTheSimulatedCamera) {
  const Result r = Run("status --sim --timeout 20");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("K-M3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ORVANTIS"), std::string::npos);
  EXPECT_NE(r.out.find("400"), std::string::npos);
}

TEST_F(CliTest, ShootThreeGivesRawAndJpegPerFrame) {
  const Result r = Run("shoot -n 3 --sim --timeout 20 -o '" + (dir_ / "shots").string() + "'");
  ASSERT_EQ(r.code, 0) << r.out;
  for (int i = 1; i <= 3; ++i) {
    char raw[32], jpg[32];
    std::snprintf(raw, sizeof(raw), "%08d.QRW", i);
    std::snprintf(jpg, sizeof(jpg), "%08d.JPG", i);
    ASSERT_TRUE(fs::exists(dir_ / "shots" / raw)) << r.out;
    EXPECT_EQ(fs::file_size(dir_ / "shots" / raw), 1000000u);
    std::ifstream in(dir_ / "shots" / jpg, std::ios::binary);
    unsigned char soi[2] = {};
    in.read(reinterpret_cast<char*>(soi), 2);
    EXPECT_EQ(soi[0], 0xFF);
    EXPECT_EQ(soi[1], 0xD8);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "shots"), fs::directory_iterator()), 6);
}

TEST_F(CliTest, ShootNeverOverwritesAnExistingFile) {
  fs::create_directories(dir_ / "shots");
  std::ofstream(dir_ / "shots" / "00000001.JPG") << "keep me";
  const Result r = Run("shoot -n 1 --sim --timeout 20 -o '" + (dir_ / "shots").string() + "'");
  ASSERT_EQ(r.code, 0) << r.out;
  std::ifstream kept(dir_ / "shots" / "00000001.JPG");
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "keep me");
  EXPECT_TRUE(fs::exists(dir_ / "shots" / "00000001-1.JPG")) << r.out;
  EXPECT_NE(r.out.find("00000001-1.JPG"), std::string::npos);
}

TEST_F(CliTest, SettingsSetThenGetRoundTrips) {
  ASSERT_EQ(Run("settings set hgDispMode 7").code, 0);
  EXPECT_EQ(Run("settings get hgDispMode").out, "7\n");
  ASSERT_EQ(Run("settings set Shoot Ctrl+S").code, 0);
  EXPECT_EQ(Run("settings get Shoot").out, "Ctrl+S\n");
  const Result list = Run("settings list");
  EXPECT_NE(list.out.find("LiveviewPreview=L"), std::string::npos) << list.out;
}

TEST_F(CliTest, SettingsRefuseUnknownNamesAndBadValuesWithoutWriting) {
  ASSERT_EQ(Run("settings set TransferJPEG 1").code, 0);
  const auto before = fs::last_write_time(dir_ / "reg");
  const std::string content = [&] {
    std::ifstream in(dir_ / "reg");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  EXPECT_EQ(Run("settings set NoSuchSetting 1").code, 2);
  EXPECT_EQ(Run("settings set TransferJPEG 5").code, 2);
  EXPECT_EQ(Run("settings set ConnectType abc").code, 2);
  EXPECT_EQ(Run("settings get NoSuchSetting").code, 2);
  std::ifstream in(dir_ / "reg");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
  (void)before;
}

TEST_F(CliTest, ExifReadsCameraNamesOfAShot) {
  ASSERT_EQ(Run("shoot -n 1 --sim --timeout 20 -o '" + dir_.string() + "'").code, 0);
  const Result r = Run("exif '" + (dir_ / "00000001.JPG").string() + "' '" +
                       (dir_ / "00000001.QRW").string() + "'");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("frame 1, camera file ORV_0001.JPG, folder 100ORVTS"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("ORV_0001.QRW"), std::string::npos);
}

TEST_F(CliTest, InterruptedShootLeavesNoTemporaryFileAndExits130) {
  const std::string cmd = Env() + "exec '" + CliPath().string() + "' watch --sim --timeout 20 " +
                          "-o '" + (dir_ / "shots").string() + "'";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Interrupt once files are flowing, so the signal lands in the middle of the transfer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline &&
         !(fs::exists(dir_ / "shots") && !fs::is_empty(dir_ / "shots")))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  for (const auto& e : fs::directory_iterator(dir_ / "shots"))
    EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}

TEST_F(CliTest, NoCameraEndsWithExitThreeAfterTheTimeout) {
  std::ofstream(dir_ / "none.json") << "{\"cameras\":[]}";
  const Result r = Run("status --timeout 1 --sim '" + (dir_ / "none.json").string() + "'");
  EXPECT_EQ(r.code, 3) << r.out;
}

TEST_F(CliTest, UnknownCommandIsAUsageError) {
  EXPECT_EQ(Run("frobnicate").code, 2);
  EXPECT_EQ(Run("shoot -n zero").code, 2);
  EXPECT_EQ(Run("--version").code, 0);
}

}  // namespace
