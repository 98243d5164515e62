// Diagnostic log: the exact bytes of stamp, location block and message, name shortening and
// cuts; records go to the debugger output at once and to the log file after Init.
#include "base/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "support/sim_harness.h"

namespace brelon {
namespace {

// POSIX debugger output is stderr, switched on by BRELON_DEBUG=1 before the first record.
const bool kDebugOutputOn = (test::SetEnv("BRELON_DEBUG", "1"), true);

// "|" + text padded to 80 columns + "|0x" + id + "|".
std::string Framed(const std::string& text, unsigned id = 1) {
  char tail[16];
  std::snprintf(tail, sizeof(tail), "|0x%04x|", id);
  return "|" + text + std::string(80 - text.size(), ' ') + tail;
}

std::string Unstamped(const std::string& text) {  // each time stamp replaced by "@"
  return std::regex_replace(text, std::regex(R"(\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d )"), "@");
}

TEST(LogFormat, StampBlockAndMessageHaveTheirExactBytes) {
  const std::string f30(30, 'f'), g40(40, 'g'), x29(29, 'x'), k45(45, 'k');
  const std::tuple<std::string, int, std::string, uint32_t, std::string> kCases[] = {
      {"..\\Source\\Brelon.cpp", 42, "Init", 0x1a, Framed("Brelon.cpp   42 - Init()", 0x1a)},
      {"a.cpp", 123456, "F", 0x12345, Framed("a.cpp 123456 - F()", 0x12345)},
      {f30, 12345, g40, 7, "|" + f30 + " 12345 - " + g40 + "(|0x0007|"},  // 81 columns lose ")"
      {"..\\Source\\" + x29 + "_long.cpp", 1, "F", 1, Framed(x29 + "_    1 - F()")},
      {"a\\b/c.cpp", 1, "F", 1, Framed("b/c.cpp    1 - F()")},  // a backslash wins
      {"src/core/log.cpp", 1, "F", 1, Framed("log.cpp    1 - F()")},
      {"dir\\", 1, "", 1, Framed("    1 - ()")},
      // Two qualifiers keep the last part, one is kept whole; over 40 characters keep "..." + 37.
      {"x", 1, "Outer::Inner::Step", 1, Framed("x    1 - Step()")},
      {"x", 1, "::x::y", 1, Framed("x    1 - y()")},
      {"x", 1, "One::Step", 1, Framed("x    1 - One::Step()")},
      {"x", 1, std::string(40, 'a'), 1, Framed("x    1 - " + std::string(40, 'a') + "()")},
      {"x", 1, "A::B::" + k45, 1, Framed("x    1 - ..." + k45.substr(8) + "()")},
  };
  for (const auto& [file, line, function, id, want] : kCases) {
    char block[logfmt::kLocationBlockBytes];
    logfmt::FormatLocationBlock(file.c_str(), line, function.c_str(), id, block);
    EXPECT_EQ(block, want) << file << " " << function;
  }
  char stamp[logfmt::kStampBytes];
  logfmt::FormatStamp({3, 7, 9, 5, 2, 41}, stamp);
  EXPECT_EQ(stamp + std::string(logfmt::BaseName(nullptr)), "03/07 09:05:02.041 ");
}

// Whole records go to the debugger output (unreadable on Windows) at once, and to the log file
// only once Init has set its path (no other test calls Init).
TEST(LogRecord, DebuggerGetsRecordsAlwaysTheFileOnlyAfterInit) {
  const std::string dir = test::TempDir("log"), file = dir + "/ov_plugin.log";
  const unsigned id = plat::CurrentThreadId();
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  testing::internal::CaptureStderr();
  plat::DebugOutput("probe ");
  WriteLog("a\\b.cpp", "Early", 1, "before init");
  const std::string early = testing::internal::GetCapturedStderr();
  if (kDebugOutputOn && early.starts_with("probe ")) {
    EXPECT_EQ(Unstamped(early), "probe @" + Framed("b.cpp    1 - Early()", id) + "before init\n");
  }
  if (file != plat::LogFilePath()) GTEST_SKIP() << "the log folder is fixed here";
  EXPECT_FALSE(std::filesystem::exists(file));
  InitLog();
  WriteLog("a\\b.cpp", "Late", 2, "after %s", "init");
  WriteLog("a\\b.cpp", "Long", 3, "%s!", std::string(20000, 'm').c_str());  // cut at 10239
  WriteLog("a\\b.cpp", "None", 4, nullptr);
  std::stringstream all;
  all << std::ifstream(file, std::ios::binary).rdbuf();
  EXPECT_EQ(Unstamped(all.str()), "@" + Framed("b.cpp    2 - Late()", id) + "after init\n@" +
                                      Framed("b.cpp    3 - Long()", id) + std::string(10239, 'm') +
                                      "\n@" + Framed("b.cpp    4 - None()", id) + "\n");
  std::filesystem::remove_all(dir);
  test::SetEnv("BRELON_LOG_DIR", nullptr);
}

}  // namespace
}  // namespace brelon
