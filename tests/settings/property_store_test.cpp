// ReadProperty and WriteProperty: defaults, an unusable settings file, threads that lose no
// update, and a writer killed at any moment that leaves one whole record.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <sstream>

#include "base/context.h"
#include "base/log.h"
#include "platform/run_thread.h"
#include "settings/test_registry.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace brelon::test {
namespace {

namespace fs = std::filesystem;
using settings::kShortcuts;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kPattern = 0xAB;
constexpr size_t kSlotBytes = BRELON_SHORTCUT_UNITS * 2, kRecordBytes = sizeof(_BRELON_PROPERTY);
#define OFF(field) offsetof(_BRELON_PROPERTY, field)

// The record as ReadProperty presets it before it reads the key; every other byte kPattern.
std::unique_ptr<_BRELON_PROPERTY> Preset() {
  auto p = std::make_unique<_BRELON_PROPERTY>();
  std::memset(p.get(), kPattern, sizeof *p);
  p->TransferJPEG = p->TransferRAW = p->CardJPEG = p->CardRAW = 1;
  p->Reserved4 = p->StorageSave = 0;
  p->hgDispMode = p->lvDispClickOpeMode = p->lvImageAreaBackColor = p->ProcessId = 0;
  return p;
}

class PropertyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostOptionFlags(0);
    profile_ = UseFreshProfile();
  }
  static std::unique_ptr<_BRELON_PROPERTY> Read(int expected = BRELON_OK) {
    auto record = std::make_unique<_BRELON_PROPERTY>();
    std::memset(record.get(), kPattern, sizeof *record);
    EXPECT_EQ(ReadProperty(record.get()), expected);
    return record;
  }
  std::u16string OutputFolder() const {
    return fs::path(profile_.documents).u16string() + plat::PathSeparator() + u"ORVANTIS";
  }
  Profile profile_;
};

// Every default read and stored; a documents folder too deep for the default leaves it empty.
TEST_F(PropertyStoreTest, AFreshProfileReadsEveryDefaultAndStoresIt) {
  auto expected = Preset();
  expected->ConnectType = 1;
  expected->WiFiDetectionMethod = 0;
  PutTextAt(expected.get(), OFF(StorageSavePath), OutputFolder());
  PutTextAt(expected.get(), OFF(CameraIPAddress), u"");  // the rest of the area is reserved
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    PutTextAt(expected.get(), OFF(Shortcut) + slot * kSlotBytes, kShortcuts[slot].defaultText);
    PutTextAt(expected.get(), OFF(ShortcutDefault) + slot * kSlotBytes,
              kShortcuts[slot].defaultText);
  }
  EXPECT_EQ(FirstDifference(Read().get(), expected.get()), kRecordBytes);
  EXPECT_FALSE(GetValue(kSettingsKey, u"DisplayFramerate").found);
#if !defined(_WIN32)
  std::string deep = profile_.root + "/";
  deep.resize(259, 'd');  // the longest folder a Windows path holds: no room for ORVANTIS
  WriteFile(profile_.root + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + deep + "\"\n");
  fs::remove(profile_.registryFile);
  EXPECT_EQ(int{Read()->StorageSavePath[0]}, 0);
  EXPECT_FALSE(GetValue(kSettingsKey, u"StorageSavePath").found);
  EXPECT_TRUE(fs::is_directory(deep));
#endif
}

// A file neither readable nor makeable: nothing stored, -12, the preset, each reason logged once.
TEST_F(PropertyStoreTest, UnusableSettingsFileGivesMinus12AndThePresetAndLogsWhyOnce) {
#if defined(_WIN32)
  GTEST_SKIP() << "HKEY_CURRENT_USER cannot be made unwritable from a test";
#else
  SetEnv("BRELON_LOG_DIR", profile_.root.c_str());
  InitLog();
  WriteFile(profile_.root + "/blocker", "x");
  fs::create_directories(profile_.root + "/folder/registry.reg");
  fs::create_symlink("loop.reg", profile_.root + "/folder/loop.reg");
  const std::pair<std::string, int> cases[] = {{profile_.root + "/blocker/registry.reg", ENOTDIR},
                                               {profile_.root + "/folder/registry.reg", EISDIR},
                                               {profile_.root + "/folder/loop.reg", ELOOP}};
  auto ctx = std::make_unique<PluginContext>();
  for (const auto& [file, error] : cases) {
    SetEnv("BRELON_REGISTRY_FILE", file.c_str());
    WriteProperty(SampleRecord(0).get());
    EXPECT_EQ(FirstDifference(Read(BRELON_E_SETTINGS_KEY).get(), Preset().get()), kRecordBytes);
    ctx->lUseSerialTag = 1;
    LoadUseSerialTag(ctx.get());
    EXPECT_EQ(ctx->lUseSerialTag, 1);
  }
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(profile_.root + "/folder"), {}), 2);
  std::istringstream log(ReadFile(profile_.root + "/ov_plugin.log"));
  size_t logged = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find(profile_.root) == std::string::npos) continue;
    ASSERT_LT(logged, std::size(cases)) << line;
    EXPECT_NE(line.find(std::strerror(cases[logged++].second)), std::string::npos) << line;
  }
  EXPECT_EQ(logged, std::size(cases));
  SetEnv("BRELON_REGISTRY_FILE", profile_.registryFile.c_str());
  Read();  // the settings lock was let go
#endif
}

// How often a worker counted its own value up, or -1 when a read missed its last write.
int CountUp(int worker, Clock::time_point deadline) {
  const std::u16string name = u"Worker" + std::u16string(1, static_cast<char16_t>(u'A' + worker));
  auto record = SampleRecord(worker % 2);
  plat::RegKey* key = plat::RegistryOpenKey(kShortcutKey);
  uint32_t written = 0;
  bool failed = !key;
  while (!failed && Clock::now() < deadline) {
    uint32_t stored = 0, type = 0, size = sizeof stored;
    const plat::RegStatus status = plat::RegistryQuery(key, name.c_str(), &type, &stored, &size);
    failed = written != 0 && (status != plat::kRegOk || stored != written);
    ++written;
    failed |= plat::RegistrySet(key, name.c_str(), plat::kRegDword, &written, sizeof written) !=
              plat::kRegOk;
    if (worker % 2) failed |= WriteProperty(record.get()) + ReadProperty(record.get()) != 0;
  }
  plat::RegistryCloseKey(key);
  return failed ? -1 : static_cast<int>(written);
}

using ConcurrencyTest = PropertyStoreTest;

TEST_F(ConcurrencyTest, ThreadsLoseNoUpdateOfTheirOwnValues) {
  constexpr int kThreads = 4;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  int rounds[kThreads] = {};
  plat::Thread* threads[kThreads] = {};
  for (int i = 0; i < kThreads; ++i) {
    threads[i] = StartThread([&, i] { rounds[i] = CountUp(i, deadline); });
    ASSERT_NE(threads[i], nullptr);
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(plat::ThreadJoin(threads[i], plat::kInfinite), plat::WaitResult::kSignalled);
    plat::ThreadClose(threads[i]);
    EXPECT_GT(rounds[i], 0) << "worker " << i << " failed or never ran";
    const std::u16string name = u"Worker" + std::u16string(1, static_cast<char16_t>(u'A' + i));
    EXPECT_EQ(GetDword(kShortcutKey, name.c_str()), static_cast<uint32_t>(rounds[i]));
  }
}

TEST_F(ConcurrencyTest, WriterKilledAtAnyMomentLeavesOneWholeRecord) {
#if defined(_WIN32)
  GTEST_SKIP() << "process kills are exercised against the POSIX registry file";
#else
  constexpr int kCrashRounds = 200, kTimedWrites = 10, kKillSpanWrites = 4;
  const auto recordA = SampleRecord(0), recordB = SampleRecord(1);
  const auto expectedA = std::make_unique<_BRELON_PROPERTY>(),  // each as read after a clean write
      expectedB = std::make_unique<_BRELON_PROPERTY>();
  _BRELON_PROPERTY *a = recordA.get(), *b = recordB.get();
  for (auto [written, read] : {std::pair{a, expectedA.get()}, {b, expectedB.get()}}) {
    WriteProperty(written);
    ReadProperty(read);
  }
  // Kills spread over a few measured writes, so that slow builds too land them in and between.
  const Clock::time_point start = Clock::now();
  for (int i = 0; i <= kTimedWrites; ++i) WriteProperty(i % 2 ? b : a);
  const auto perWrite =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start) / kTimedWrites;
  std::mt19937 random(20240611);  // fixed seed: the same spread of kill moments on every run
  std::uniform_int_distribution<int64_t> delay(0, kKillSpanWrites * perWrite.count());
  auto loaded = std::make_unique<_BRELON_PROPERTY>();
  int seen[2] = {};
  for (int round = 0; round < kCrashRounds; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int n = 0;; ++n) {  // ready after a warm-up pair: a fresh child is slow at first
        WriteProperty(n % 2 ? a : b);
        if (n == 1 && write(ready[1], "1", 1) != 1) _exit(1);
      }
    }
    close(ready[1]);
    char started = 0;
    ASSERT_EQ(read(ready[0], &started, 1), 1);
    close(ready[0]);
    usleep(static_cast<useconds_t>(delay(random)));
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    std::memset(loaded.get(), 0, sizeof *loaded);
    ASSERT_EQ(ReadProperty(loaded.get()), BRELON_OK) << "round " << round;
    const size_t fromA = FirstDifference(loaded.get(), expectedA.get());
    const bool isB = FirstDifference(loaded.get(), expectedB.get()) == kRecordBytes;
    ASSERT_TRUE(fromA == kRecordBytes || isB) << "round " << round << ": mixed at " << fromA;
    ++seen[isB];
  }
  EXPECT_TRUE(seen[0] > 0 && seen[1] > 0) << "kills landed both between and inside the writes";
  for (const auto& entry : fs::directory_iterator(fs::path(profile_.registryFile).parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos);
  }
#endif
}

#undef OFF

}  // namespace
}  // namespace brelon::test
