// Diagnostic log: the exact bytes of the stamp, the location block and the message, name
// shortening and cuts, and where records go before and after Init (debugger output only, then
// also the log file).
#include "base/log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "support/test_env.h"

namespace brelon {
namespace {

// POSIX debugger output is stderr, switched on by BRELON_DEBUG=1 before the first record.
const bool kDebugOutputOn = (test::SetEnv("BRELON_DEBUG", "1"), true);

std::string Message(const char* format, ...) {
  static char out[logfmt::kMessageBytes];
  va_list args;
  va_start(args, format);
  logfmt::FormatLogMessage(out, format, args);
  va_end(args);
  return out;
}

// "|" + text padded to 80 columns + "|0x" + id + "|".
std::string Framed(const std::string& text, const std::string& id) {
  return "|" + text + std::string(80 - text.size(), ' ') + "|0x" + id + "|";
}

// A time stamp that reads as one, then exactly the record of this thread for `text`.
bool IsRecord(const std::string& record, const std::string& text, const std::string& message) {
  static const std::regex stamp(R"(\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d )");
  constexpr size_t kStampChars = sizeof("MM/DD hh:mm:ss.mmm ") - 1;
  char id[16];
  std::snprintf(id, sizeof(id), "%04x", static_cast<unsigned>(plat::CurrentThreadId()));
  return record.size() >= kStampChars && std::regex_match(record.substr(0, kStampChars), stamp) &&
         record.substr(kStampChars) == Framed(text, id) + message + "\n";
}

TEST(LogFormat, StampBlockAndMessageHaveTheirExactBytes) {
  const std::string f30(30, 'f'), g40(40, 'g'), x29(29, 'x');
  const struct {
    std::string file;
    int line;
    std::string function;
    uint32_t id;
    std::string block;
  } kCases[] = {
      {"..\\Source\\Brelon.cpp", 42, "Init", 0x1a, Framed("Brelon.cpp   42 - Init()", "001a")},
      // Wide line numbers widen the field; long ids stay whole.
      {"a.cpp", 123456, "F", 0x12345, Framed("a.cpp 123456 - F()", "12345")},
      {"a.cpp", -3, "F", 0, Framed("a.cpp   -3 - F()", "0000")},
      // 81 columns: the closing parenthesis falls off.
      {f30, 12345, g40, 7, "|" + f30 + " 12345 - " + g40 + "(|0x0007|"},
      // Base names keep thirty characters.
      {"..\\Source\\" + x29 + "_long.cpp", 1, "F", 1, Framed(x29 + "_    1 - F()", "0001")},
      // Backslash wins over a later slash; the slash counts only without any backslash.
      {"a\\b/c.cpp", 1, "F", 1, Framed("b/c.cpp    1 - F()", "0001")},
      {"src/core/log.cpp", 1, "F", 1, Framed("log.cpp    1 - F()", "0001")},
      {"a/b\\c.cpp", 1, "F", 1, Framed("c.cpp    1 - F()", "0001")},
      {"dir\\", 1, "", 1, Framed("    1 - ()", "0001")},
      // Two qualifiers keep the last part, one is kept whole; over forty characters keep "..."
      // and the last thirty-seven.
      {"x", 1, "Outer::Inner::Step", 1, Framed("x    1 - Step()", "0001")},
      {"x", 1, "::x::y", 1, Framed("x    1 - y()", "0001")},
      {"x", 1, "Outer::Inner::", 1, Framed("x    1 - ()", "0001")},
      {"x", 1, "One::Step", 1, Framed("x    1 - One::Step()", "0001")},
      {"x", 1, std::string(40, 'a'), 1, Framed("x    1 - " + std::string(40, 'a') + "()", "0001")},
      {"x", 1, "A::B::" + std::string(45, 'k'), 1,
       Framed("x    1 - ..." + std::string(37, 'k') + "()", "0001")},
  };
  for (const auto& c : kCases) {
    char block[logfmt::kLocationBlockBytes];
    logfmt::FormatLocationBlock(c.file.c_str(), c.line, c.function.c_str(), c.id, block);
    EXPECT_EQ(block, c.block) << c.file << " " << c.function;
  }
  EXPECT_STREQ(logfmt::BaseName(nullptr), "");
  char name[logfmt::kFunctionNameBytes];
  logfmt::ShortFunctionName(nullptr, name);
  EXPECT_STREQ(name, "");
  char stamp[logfmt::kStampBytes];
  logfmt::FormatStamp({3, 7, 9, 5, 2, 41}, stamp);
  EXPECT_STREQ(stamp, "03/07 09:05:02.041 ");
  // A message longer than the buffer is cut at its last byte.
  EXPECT_EQ(Message("%s!", std::string(20000, 'm').c_str()), std::string(10239, 'm'));
  EXPECT_EQ(Message("%s!", std::string(10238, 'n').c_str()), std::string(10238, 'n') + "!");
  EXPECT_EQ(Message(nullptr), "");
  EXPECT_EQ(Message("[0x%08x] [0x%08x]", 0xffffffffu, 0x1006u), "[0xffffffff] [0x00001006]");
}

// Windows's debugger output cannot be read back.
TEST(LogRecord, DebuggerOutputGetsWholeRecords) {
  testing::internal::CaptureStderr();
  plat::DebugOutput("probe");
  if (!kDebugOutputOn || testing::internal::GetCapturedStderr() != "probe") {
    GTEST_SKIP() << "debugger output not readable here";
  }
  testing::internal::CaptureStderr();
  WriteLog("..\\Source\\Brelon.cpp", "Init", 77, "Init start %d", 5);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(IsRecord(out, "Brelon.cpp   77 - Init()", "Init start 5")) << out;
}

// In a fresh process, so that no earlier test has set the log up; exit code = failed step.
void CheckFileOutputFollowsInit(const std::string& dir) {
  const std::string file = dir + "/ov_plugin.log";
  WriteLog("a\\b.cpp", "Early", 1, "before init");
  if (std::filesystem::exists(file)) std::exit(2);
  InitLog();
  WriteLog("a\\b.cpp", "Late", 2, "after init");
  WriteLog("a\\b.cpp", "Later", 3, "second %s", "record");
  std::stringstream all;
  all << std::ifstream(file, std::ios::binary).rdbuf();
  const std::string text = all.str();
  const size_t split = text.find('\n') + 1;
  if (!IsRecord(text.substr(0, split), "b.cpp    2 - Late()", "after init") ||
      !IsRecord(text.substr(split), "b.cpp    3 - Later()", "second record")) {
    std::exit(3);
  }
  std::exit(0);
}

TEST(LogRecordDeathTest, FileGetsRecordsOnlyAfterInit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string dir = test::TempDir("log");
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  if (dir + "/ov_plugin.log" == plat::LogFilePath()) {
    EXPECT_EXIT(CheckFileOutputFollowsInit(dir), testing::ExitedWithCode(0), "");
  }
  std::filesystem::remove_all(dir);
  test::SetEnv("BRELON_LOG_DIR", nullptr);
}

}  // namespace
}  // namespace brelon
