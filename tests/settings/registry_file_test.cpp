// The POSIX registry file: regedit's spelling written and read back; hand-edited files read line
// by line (a bad line costs its value, the file is copied aside once); its size limit, links.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <numeric>

#include "settings/test_registry.h"

namespace brelon::test {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = "Windows Registry Editor Version 5.00\n";
const std::string kKey = "[HKEY_CURRENT_USER\\T]\n";
constexpr uint32_t kRegBinary = 3;

std::vector<uint8_t> Bytes(const std::u16string& text) {  // with its terminator
  const auto* first = reinterpret_cast<const uint8_t*>(text.c_str());
  return std::vector<uint8_t>(first, first + (text.size() + 1) * sizeof(char16_t));
}

std::string Utf16(const std::u16string& text, bool bigEndian) {  // with its byte-order mark
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t u : text)
    bytes += {char(bigEndian ? u >> 8 : u), char(bigEndian ? u : u >> 8)};
  return bytes;
}

std::vector<std::string> CorruptCopies(const std::string& file) {
  std::vector<std::string> copies;
  for (const auto& entry : fs::directory_iterator(fs::path(file).parent_path())) {
    if (entry.path().string().rfind(file + ".corrupt-", 0) == 0) copies.push_back(entry.path());
  }
  return copies;
}

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override { profile_ = UseFreshProfile("regfile"); }
  std::string Rewritten() {
    PutDword(u"Z", u"z", 1);
    std::string text = ReadFile(profile_.registryFile);
    EXPECT_EQ(text.rfind(kHeader, 0), 0u);
    const std::string mine = "\n[HKEY_CURRENT_USER\\Z]\n\"z\"=dword:00000001\n";
    return text.substr(kHeader.size()).erase(text.find(mine) - kHeader.size(), mine.size());
  }
  Profile profile_;
};

TEST_F(RegistryFileTest, EveryValueIsWrittenInRegeditSpellingAndReadBackExactly) {
  const std::u16string bounds = u"\U00010000\uFFFF\u007F\u0080\u07FF\u0800\uD7FF\uE000\U0010FFFF";
  std::vector<uint8_t> binary(25);
  std::iota(binary.begin(), binary.end(), 0);
  const struct {
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
    std::string line;
  } values[] = {
      {u"", plat::kRegDword, {0xEF, 0xCD, 0xAB, 0x89}, "@=dword:89abcdef"},
      {u"q\"\\\u00e9", plat::kRegSz, Bytes(bounds + u"\"\\ "),
       "\"q\\\"\\\\\u00e9\"=\"\U00010000\uFFFF\x7F\u0080\u07FF\u0800\uD7FF\uE000\U0010FFFF"
       "\\\"\\\\ \""},
      {u"empty", plat::kRegSz, {0, 0}, "\"empty\"=\"\""},
      {u"ctl", plat::kRegSz, Bytes(u"a\tb"), "\"ctl\"=hex(1):61,00,09,00,62,00,00,00"},
      {u"high", plat::kRegSz, {0x61, 0, 0x00, 0xD8, 0, 0}, "\"high\"=hex(1):61,00,00,d8,00,00"},
      {u"low", plat::kRegSz, {0x00, 0xDC, 0x61, 0, 0, 0}, "\"low\"=hex(1):00,dc,61,00,00,00"},
      {u"nul", plat::kRegSz, Bytes(std::u16string(u"a\0b", 3)),
       "\"nul\"=hex(1):61,00,00,00,62,00,00,00"},
      {u"open", plat::kRegSz, {0x61, 0}, "\"open\"=hex(1):61,00"},
      {u"odd", plat::kRegSz, {0x61, 0, 0}, "\"odd\"=hex(1):61,00,00"},
      {u"bin", kRegBinary, binary,
       "\"bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
       "  18"},
      {u"none", kRegBinary, {}, "\"none\"=hex:"},
      {u"dw3", plat::kRegDword, {1, 2, 3}, "\"dw3\"=hex(4):01,02,03"},
      {u"big", 0x1B, {0xAB}, "\"big\"=hex(1b):ab"},
  };
  std::string section = "\n[HKEY_CURRENT_USER\\W]\n";
  for (const auto& v : values) {
    PutRaw(u"\\W\\", v.name.c_str(), v.type, v.data.data(), v.data.size());
    section += v.line + "\n";
  }
  EXPECT_EQ(ReadFile(profile_.registryFile), kHeader + section);
  for (const auto& v : values) {  // each read parses the file anew
    const StoredValue back = GetValue(u"W", v.name.c_str());
    EXPECT_TRUE(back.found && back.type == v.type && back.data == v.data) << v.line;
  }
}

TEST_F(RegistryFileTest, WhatRegeditOrAHandEditWroteIsReadLineByLine) {
  const std::u16string wide =
      u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\T]\r\n"
      u"\"\u00e9\u2191\"=\"\u0080\u07FF\u0800\uFFFF\U00010000\U00050000\U0010FFFF\"\r\n\r\n";
  const std::string wideOut =
      "\n" + kKey + "\"\u00e9\u2191\"=\"\u0080\u07FF\u0800\uFFFF\U00010000\U00050000\U0010FFFF\"\n";
  const struct {
    const char* name;
    std::string file, expected;
    bool damaged;
  } cases[] = {
      {"every type, a foreign hive",
       kHeader + kKey +
           "@=\"d\"\n\"d\"=dword:89abcDEF\n\"s\"=\"a\\\\b\\\"c\"\n\"b\"=hex:0a,FF\n\"e\"=hex:\n"
           "\"x\"=hex(7):41,00,00,00\n\"w\"=\"a\\nb\\r\\0\"\n[HKEY_LOCAL_MACHINE\\S]\n\"k\"=hex:01",
       "\n" + kKey +
           "@=\"d\"\n\"d\"=dword:89abcdef\n\"s\"=\"a\\\\b\\\"c\"\n\"b\"=hex:0a,ff\n\"e\"=hex:\n"
           "\"x\"=hex(7):41,00,00,00\n\"w\"=hex(1):61,00,0a,00,62,00,0d,00,00,00,00,00\n"
           "\n[HKEY_LOCAL_MACHINE\\S]\n\"k\"=hex:01\n",
       false},
      {"blanks, comments, CR LF, names in any case",
       "\xEF\xBB\xBF" + kHeader +
           "\r\n  ; note\r\n[hkey_current_user\\t] \t\r\n\t\"az\" = dword:1 ; n\r\n"
           "[HKEY_CURRENT_USER\\T\\\\]\r\n\"AZ\"=dword:2\r\n",
       "\n[hkey_current_user\\t]\n\"AZ\"=dword:00000002\n", false},
      {"continued hex only",
       kHeader + kKey +
           "\"b\"=hex:01,02,\\\n  03,\\\n\t04\n; =hex:00,\\\n\"c\"=\"x\" ; \\\n\"d\"=dword:3\n",
       "\n" + kKey + "\"b\"=hex:01,02,03,04\n\"c\"=\"x\"\n\"d\"=dword:00000003\n", false},
      {"deletions",
       kHeader + kKey + "\"a\"=dword:1\n\"b\"=dword:2\n\"a\"=-\n\"c\"=-\n\"a\"=dword:4\n" +
           "[HKEY_CURRENT_USER\\T\\S]\n[HKEY_CURRENT_USER\\T\\S\\U]\n\"u\"=dword:6\n" +
           "[HKEY_CURRENT_USER\\T\\SS]\n\"v\"=dword:7\n[-HKEY_CURRENT_USER\\t\\s]\n",
       "\n" + kKey + "\"a\"=dword:00000004\n\"b\"=dword:00000002\n" +
           "\n[HKEY_CURRENT_USER\\T\\SS]\n\"v\"=dword:00000007\n",
       false},
      {"REGEDIT4, CR line ends", "REGEDIT4\r" + kKey + "\"a\"=dword:FFFFFFFF\r",
       "\n" + kKey + "\"a\"=dword:ffffffff\n", false},
      {"UTF-16LE", Utf16(wide, false), wideOut, false},
      {"UTF-16BE, an odd last byte", Utf16(wide + u"\"a\"=dword:1", true) + "2",
       wideOut + "\"a\"=dword:00000001\n", true},
      {"UTF-16LE, unpaired surrogates", Utf16(wide + u"\"s\"=\"a\xDC00\xDFFF\xD800\xE000\"", false),
       wideOut + "\"s\"=\"a\uFFFD\uFFFD\uFFFD\uE000\"\n", true},
      {"bad names", kHeader + kKey + "\"x\":dword:1\n\"e\"\nx=dword:1\n", "\n" + kKey, true},
      {"no header", kKey + "\"a\"=dword:1\n", "\n" + kKey + "\"a\"=dword:00000001\n", true},
      {"bad lines",
       kHeader + kKey +
           "\"n1\"=dword:000000001\n\"n2\"=dword:\n\"n3\"=dword:1x\n\"h1\"=hex:0g\n"
           "\"h2\"=hex:01,,02\n\"h3\"=hex:1\n\"h4\"=hex(:01\n\"h5\"=hex(1)01\n\"h6\"=hex:01 02\n"
           "\"q1\"=\"open\n\"q2\"=\"a\" x\n\"q3\"=\"\\q\"\n\"q4\"=\"a\\\n\"n\n"
           "\"u1\"=\"\xC0\xAF\"\n\"u2\"=\"\xED\xA0\x80\"\n\"u3\"=\"\xF4\x90\x80\x80\"\n"
           "\"u4\"=\"\xE2\x86\"\n\"u5\"=\"\x80\"\n\"u6\"=\"\xF8\x88\x80\x80\x80\"\n\"s\"=str\n"
           "\"u7\"=\"\xC3"
           "A\"\n\"u8\"=\"\xED\xBF\xBF\"\n"
           "\"ok\"=dword:1\n[HKEY_CURRENT_USER\\V\n\"v\"=dword:1\n[HKEYV]\n\"v\"=dword:1\n"
           "[HKE]\n[\xC3]\n",
       "\n" + kKey + "\"ok\"=dword:00000001\n", true},
  };
  for (const auto& c : cases) {
    profile_ = UseFreshProfile("regfile-read");
    WriteFile(profile_.registryFile, c.file);
    EXPECT_EQ(Rewritten(), c.expected) << c.name;
    PutDword(u"Z", u"z", 2);  // a file rewritten whole is not copied again
    const std::vector<std::string> copies = CorruptCopies(profile_.registryFile);
    ASSERT_EQ(copies.size(), c.damaged ? 1u : 0u) << c.name;
    EXPECT_EQ(c.damaged ? ReadFile(copies[0]) : c.file, c.file) << c.name;
    EXPECT_EQ(c.damaged ? copies[0].back() : 'Z', 'Z') << "no number when the name is free";
  }
  WriteFile(profile_.registryFile, "damaged");  // again at once: a second copy, its own name
  PutDword(u"Z", u"z", 3);
  EXPECT_EQ(CorruptCopies(profile_.registryFile).size(), 2u);
}

TEST_F(RegistryFileTest, OversizedFileIsSetAsideWholeAndUnread) {
  constexpr uintmax_t kOversized = (uintmax_t{16} << 20) + 1;
  WriteFile(profile_.registryFile, kHeader + kKey + "\"a\"=dword:00000005\n");
  fs::resize_file(profile_.registryFile, kOversized);  // sparse: nothing written
  EXPECT_EQ(GetDword(u"T", u"a"), 0xDEADBEEFu);
  const std::vector<std::string> copies = CorruptCopies(profile_.registryFile);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(fs::file_size(copies[0]), kOversized);
}

// A file linked twice stays a link, its missing target made beside the link, no temporary kept.
TEST_F(RegistryFileTest, WritesGoThroughALink) {
  const fs::path link(profile_.registryFile), dotfiles = fs::path(profile_.root) / "dotfiles";
  fs::create_directories(link.parent_path());
  fs::create_symlink("s", link);
  fs::create_symlink("../dotfiles/settings.reg", link.parent_path() / "s");
  for (uint32_t value : {4, 7}) {
    PutDword(u"T", u"a", value);
    EXPECT_EQ(GetDword(u"T", u"a"), value);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(std::distance(fs::directory_iterator(link.parent_path()), {}), 3);  // with the lock
    EXPECT_EQ(std::distance(fs::directory_iterator(dotfiles), {}), 1);
  }
  EXPECT_TRUE(fs::is_regular_file(dotfiles / "settings.reg"));
}

}  // namespace
}  // namespace brelon::test

#endif  // !_WIN32
