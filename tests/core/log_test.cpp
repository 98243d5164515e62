// Diagnostic log: the exact bytes of each record piece (time stamp, location block, message),
// function-name and base-name shortening, the cut of an over-long message, and where records
// go before and after Init (debugger output only, then also the log file when its folder exists).
#include "core/log.h"

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

// The POSIX debugger output is stderr, switched on once per process by BRELON_DEBUG=1; it must
// be set before the first record is written.
const bool kDebugOutputOn = (test::SetEnv("BRELON_DEBUG", "1"), true);

std::string Short(const char* name) {
  char out[logfmt::kFunctionNameBytes];
  logfmt::ShortFunctionName(name, out);
  return out;
}

std::string Block(const char* file, int line, const char* function, uint32_t threadId) {
  char out[logfmt::kLocationBlockBytes];
  logfmt::FormatLocationBlock(file, line, function, threadId, out);
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

// The thread id as the block prints it.
std::string OwnThreadId() {
  char id[16];
  std::snprintf(id, sizeof(id), "%04x", static_cast<unsigned>(plat::CurrentThreadId()));
  return id;
}

// One record: a time stamp that reads as one, then exactly `rest`.
constexpr size_t kStampChars = sizeof("MM/DD hh:mm:ss.mmm ") - 1;
bool IsRecord(const std::string& record, const std::string& rest) {
  static const std::regex stamp(R"(\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d )");
  return record.size() >= kStampChars && std::regex_match(record.substr(0, kStampChars), stamp) &&
         record.substr(kStampChars) == rest;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST(LogFormat, StampIsMonthFirstWithMillisecondsAndTrailingBlank) {
  char out[logfmt::kStampBytes];
  logfmt::FormatStamp({/*month=*/3, /*day=*/7, /*hour=*/9, /*minute=*/5, /*second=*/2,
                       /*millisecond=*/41},
                      out);
  EXPECT_STREQ(out, "03/07 09:05:02.041 ");
  logfmt::FormatStamp({12, 31, 23, 59, 59, 999}, out);
  EXPECT_STREQ(out, "12/31 23:59:59.999 ");
}

TEST(LogFormat, LocationBlockIsEightyColumnsBetweenBarsThenThreadId) {
  EXPECT_EQ(Block("..\\Source\\Brelon.cpp", 42, "Init", 0x1a),
            Framed("Brelon.cpp   42 - Init()", "001a"));
  // Line numbers beyond four digits widen the field; ids beyond four digits are kept whole.
  EXPECT_EQ(Block("a.cpp", 123456, "F", 0x12345), Framed("a.cpp 123456 - F()", "12345"));
  EXPECT_EQ(Block("a.cpp", -3, "F", 0), Framed("a.cpp   -3 - F()", "0000"));
}

TEST(LogFormat, LocationTextLongerThanEightyColumnsIsCut) {
  const std::string file(30, 'f');
  const std::string function(40, 'g');
  // 30 + 1 + 5 + 3 + 40 + 2 = 81 columns: the closing parenthesis falls off.
  std::string expected = file + " 12345 - " + function + "(";
  ASSERT_EQ(expected.size(), 80u);
  EXPECT_EQ(Block(file.c_str(), 12345, function.c_str(), 7), "|" + expected + "|0x0007|");
}

TEST(LogFormat, BaseNameLongerThanThirtyCharactersIsCut) {
  const std::string file = "..\\Source\\" + std::string(29, 'x') + "_long.cpp";
  EXPECT_EQ(Block(file.c_str(), 1, "F", 1), Framed(std::string(29, 'x') + "_    1 - F()", "0001"));
}

TEST(LogFormat, BaseNameIsAfterLastBackslashElseLastSlashElseWhole) {
  EXPECT_STREQ(logfmt::BaseName("..\\Source\\Brelon.cpp"), "Brelon.cpp");
  EXPECT_STREQ(logfmt::BaseName("src/core/log.cpp"), "log.cpp");
  // A backslash wins over a later slash: only without any backslash is the slash used.
  EXPECT_STREQ(logfmt::BaseName("a\\b/c.cpp"), "b/c.cpp");
  EXPECT_STREQ(logfmt::BaseName("a/b\\c.cpp"), "c.cpp");
  EXPECT_STREQ(logfmt::BaseName("plain.cpp"), "plain.cpp");
  EXPECT_STREQ(logfmt::BaseName("dir\\"), "");
  EXPECT_STREQ(logfmt::BaseName(nullptr), "");
}

// Two qualifiers keep only the last part, one is kept whole; then anything over forty
// characters keeps three dots and its last thirty-seven.
TEST(LogFormat, FunctionNamesAreShortenedByQualifierThenByLength) {
  const std::string forty(40, 'a');
  const struct {
    std::string name;
    std::string shortened;
  } kCases[] = {
      {"Outer::Inner::Step", "Step"},
      {"a::b::c::d", "d"},
      {"Outer::Inner::", ""},
      {"::x::y", "y"},
      {"Obj_Brelon_ZEPKAPI::BRN_GetPriorityMode", "Obj_Brelon_ZEPKAPI::BRN_GetPriorityMode"},
      {forty, forty},
      {"ABCDEFGH" + std::string(37, 'z'), "..." + std::string(37, 'z')},
      {"Q" + forty, "..." + std::string(37, 'a')},
      {"A::B::" + std::string(45, 'k'), "..." + std::string(37, 'k')},
      {"Obj_Brelon_ZEPKAPI::BRN_GetBackupSettings", "...Brelon_ZEPKAPI::BRN_GetBackupSettings"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Short(c.name.c_str()), c.shortened) << c.name;
  EXPECT_EQ(Short(nullptr), "");
  EXPECT_EQ(Block("x", 1, "Obj_Brelon_ZEPKAPI::BRN_SetExposureBias", 1),
            Framed("x    1 - Obj_Brelon_ZEPKAPI::BRN_SetExposureBias()", "0001"));
}

TEST(LogFormat, MessageLongerThanTheBufferIsCutAtItsLastByte) {
  const std::string big(20000, 'm');
  const std::string cut = Message("%s!", big.c_str());
  EXPECT_EQ(cut.size(), logfmt::kMessageBytes - 1);
  EXPECT_EQ(cut, std::string(10239, 'm'));
  const std::string fits(10238, 'n');
  EXPECT_EQ(Message("%s!", fits.c_str()), fits + "!");
  EXPECT_EQ(Message(nullptr), "");
  EXPECT_EQ(Message("lAPICode=[0x%08x] lErrCode=[0x%08x]", 0xffffffffu, 0x1006u),
            "lAPICode=[0xffffffff] lErrCode=[0x00001006]");
}

// The POSIX debugger output can be read back from stderr; Windows's goes to the debugger.
bool DebuggerOutputReadable() {
  testing::internal::CaptureStderr();
  plat::DebugOutput("probe");
  return kDebugOutputOn && testing::internal::GetCapturedStderr() == "probe";
}

// The whole record as the debugger output receives it: stamp, block, message, line feed.
TEST(LogRecord, DebuggerOutputHoldsTheFourPiecesInOrder) {
  if (!DebuggerOutputReadable()) GTEST_SKIP() << "debugger output not readable here";
  testing::internal::CaptureStderr();
  WriteLog("..\\Source\\Brelon.cpp", "Init", 77, "Init start %d", 5);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(IsRecord(out, Framed("Brelon.cpp   77 - Init()", OwnThreadId()) + "Init start 5\n"))
      << out;
}

TEST(LogRecord, OverlongMessageIsWrittenCutAndTheCallReturns) {
  if (!DebuggerOutputReadable()) GTEST_SKIP() << "debugger output not readable here";
  testing::internal::CaptureStderr();
  const std::string big(12000, 'q');
  WriteLog("f.cpp", "Big", 1, "%s", big.c_str());
  const std::string out = testing::internal::GetCapturedStderr();
  const size_t bar = out.rfind('|');
  ASSERT_NE(bar, std::string::npos);
  EXPECT_EQ(out.substr(bar + 1), std::string(10239, 'q') + "\n");
}

// Before InitLog there is no file output; after it, records go to the file as long as its
// folder exists (the plug-in never creates it). Runs in a fresh process, so that no earlier
// test can have set the log up already.
void CheckFileOutputFollowsInit(const std::string& dir) {
  const std::string file = dir + "/ov_plugin.log";
  WriteLog("a\\b.cpp", "Early", 1, "before init");
  if (std::filesystem::exists(file)) std::exit(2);
  InitLog();
  WriteLog("a\\b.cpp", "Late", 2, "after init");
  WriteLog("a\\b.cpp", "Later", 3, "second %s", "record");
  const std::string text = ReadFile(file);
  const std::string late = Framed("b.cpp    2 - Late()", OwnThreadId()) + "after init\n";
  const std::string later = Framed("b.cpp    3 - Later()", OwnThreadId()) + "second record\n";
  const size_t split = text.find('\n') + 1;
  if (!IsRecord(text.substr(0, split), late) || !IsRecord(text.substr(split), later)) {
    std::exit(3);
  }
  // Without the folder the record still reaches the debugger output and nothing is created.
  std::filesystem::remove_all(dir);
  WriteLog("a\\b.cpp", "Gone", 4, "folder gone");
  if (std::filesystem::exists(dir)) std::exit(4);
  std::exit(0);
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
