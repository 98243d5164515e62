// Diagnostic log: the exact bytes of the stamp, the location block and the message, name
// shortening and cuts, and where records go before and after Init (debugger output only, then
// also the log file while its folder exists).
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

std::string Block(const std::string& file, int line, const char* function, uint32_t threadId) {
  char out[logfmt::kLocationBlockBytes];
  logfmt::FormatLocationBlock(file.c_str(), line, function, threadId, out);
  return out;
}

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

std::string OwnThreadId() {
  char id[16];
  std::snprintf(id, sizeof(id), "%04x", static_cast<unsigned>(plat::CurrentThreadId()));
  return id;
}

// A time stamp that reads as one, then exactly `rest`.
bool IsRecord(const std::string& record, const std::string& rest) {
  static const std::regex stamp(R"(\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d )");
  constexpr size_t kStampChars = sizeof("MM/DD hh:mm:ss.mmm ") - 1;
  return record.size() >= kStampChars && std::regex_match(record.substr(0, kStampChars), stamp) &&
         record.substr(kStampChars) == rest;
}

TEST(LogFormat, StampIsMonthFirstWithMillisecondsAndTrailingBlank) {
  char out[logfmt::kStampBytes];
  logfmt::FormatStamp({3, 7, 9, 5, 2, 41}, out);
  EXPECT_STREQ(out, "03/07 09:05:02.041 ");
  logfmt::FormatStamp({12, 31, 23, 59, 59, 999}, out);
  EXPECT_STREQ(out, "12/31 23:59:59.999 ");
}

TEST(LogFormat, LocationBlockIsEightyColumnsBetweenBarsThenThreadId) {
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
      // Two qualifiers keep the last part, one is kept whole; over forty characters keep "..."
      // and the last thirty-seven.
      {"x", 1, "Outer::Inner::Step", 1, Framed("x    1 - Step()", "0001")},
      {"x", 1, "::x::y", 1, Framed("x    1 - y()", "0001")},
      {"x", 1, "Outer::Inner::", 1, Framed("x    1 - ()", "0001")},
      {"x", 1, std::string(40, 'a'), 1, Framed("x    1 - " + std::string(40, 'a') + "()", "0001")},
      {"x", 1, "Obj_Brelon_ZEPKAPI::BRN_GetBackupSettings", 1,
       Framed("x    1 - ...Brelon_ZEPKAPI::BRN_GetBackupSettings()", "0001")},
      {"x", 1, "A::B::" + std::string(45, 'k'), 1,
       Framed("x    1 - ..." + std::string(37, 'k') + "()", "0001")},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Block(c.file, c.line, c.function.c_str(), c.id), c.block) << c.file << c.function;
  }
  EXPECT_STREQ(logfmt::BaseName("dir\\"), "");
  EXPECT_STREQ(logfmt::BaseName(nullptr), "");
  char name[logfmt::kFunctionNameBytes];
  logfmt::ShortFunctionName(nullptr, name);
  EXPECT_STREQ(name, "");
}

TEST(LogFormat, MessageLongerThanTheBufferIsCutAtItsLastByte) {
  EXPECT_EQ(Message("%s!", std::string(20000, 'm').c_str()), std::string(10239, 'm'));
  const std::string fits(10238, 'n');
  EXPECT_EQ(Message("%s!", fits.c_str()), fits + "!");
  EXPECT_EQ(Message(nullptr), "");
  EXPECT_EQ(Message("lAPICode=[0x%08x] lErrCode=[0x%08x]", 0xffffffffu, 0x1006u),
            "lAPICode=[0xffffffff] lErrCode=[0x00001006]");
}

// Windows's debugger output cannot be read back.
bool DebuggerOutputReadable() {
  testing::internal::CaptureStderr();
  plat::DebugOutput("probe");
  return kDebugOutputOn && testing::internal::GetCapturedStderr() == "probe";
}

// Overlong messages are cut as in LogFormat's message case.
TEST(LogRecord, DebuggerOutputGetsWholeRecords) {
  if (!DebuggerOutputReadable()) GTEST_SKIP() << "debugger output not readable here";
  testing::internal::CaptureStderr();
  WriteLog("..\\Source\\Brelon.cpp", "Init", 77, "Init start %d", 5);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(IsRecord(out, Framed("Brelon.cpp   77 - Init()", OwnThreadId()) + "Init start 5\n"))
      << out;
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
  if (!IsRecord(text.substr(0, split),
                Framed("b.cpp    2 - Late()", OwnThreadId()) + "after init\n") ||
      !IsRecord(text.substr(split),
                Framed("b.cpp    3 - Later()", OwnThreadId()) + "second record\n")) {
    std::exit(3);
  }
  std::filesystem::remove_all(dir);  // the plug-in never creates the folder
  WriteLog("a\\b.cpp", "Gone", 4, "folder gone");
  std::exit(std::filesystem::exists(dir) ? 4 : 0);
}

TEST(LogRecordDeathTest, FileGetsRecordsOnlyAfterInitAndOnlyWhileItsFolderExists) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string dir = test::TempDir("log");
  test::SetEnv("BRELON_LOG_DIR", dir.c_str());
  if (dir + "/ov_plugin.log" != plat::LogFilePath()) {
    test::SetEnv("BRELON_LOG_DIR", nullptr);
    GTEST_SKIP() << "the log file cannot be moved on this platform";
  }
  EXPECT_EXIT(CheckFileOutputFollowsInit(dir), testing::ExitedWithCode(0), "");
  test::SetEnv("BRELON_LOG_DIR", nullptr);
}

}  // namespace
}  // namespace brelon
