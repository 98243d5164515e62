// The POSIX registry file: its .reg text, escapes and non-ASCII round trips, values of other
// types kept exactly, hand edits with wrong types or sizes, damaged and foreign lines, the size
// limit, and a file kept behind a link.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "settings/sample_records.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

using test::GetText;
using test::GetValue;
using test::ReadFile;
using test::WriteFile;

constexpr char kHeaderLine[] = "Windows Registry Editor Version 5.00\n";
constexpr char kMainSection[] =
    "[HKEY_CURRENT_USER\\Software\\COM.ORVANTIS.TEK\\tether_orvantis]\n";

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostOptionFlags(0);
    profile_ = test::UseFreshProfile("regfile");
  }
  std::unique_ptr<_BRELON_PROPERTY> Read(int expected = BRELON_OK) {
    auto record = std::make_unique<_BRELON_PROPERTY>();
    std::memset(record.get(), 0, sizeof *record);
    EXPECT_EQ(ReadProperty(record.get()), expected);
    return record;
  }
  test::Profile profile_;
};

// Written by hand: byte-order mark, comment, CR LF, names in any case; values of the wrong type
// or size are restored.
TEST_F(RegistryFileTest, HandWrittenFileIsReadWithCaseInsensitiveNamesAndWrongTypesRestored) {
  WriteFile(profile_.registryFile,
            std::string("\xEF\xBB\xBF") + kHeaderLine + "\n; written by hand\r\n" +
                "[hkey_current_user\\SOFTWARE\\com.orvantis.tek\\TETHER_ORVANTIS]\r\n" +
                "\"transferjpeg\"=dword:0\r\n\"TransferRAW\"=\"0\"\r\n" +
                "\"CameraIPAddress\"=\"192.168.0.9\"\r\n\"hgDispMode\"=hex:05,00,00,00\r\n" +
                "\"StorageSave\"=hex(4):01,00,00,00,00,00,00,00\r\n");
  auto record = Read();
  EXPECT_EQ(record->TransferJPEG, 0);
  EXPECT_EQ(test::GetDword(kSettingsKey, u"TransferJPEG"), 0u);
  char16_t address[16];
  std::memcpy(address, reinterpret_cast<const uint8_t*>(record.get()) + 553, sizeof address);
  EXPECT_EQ(std::u16string(address), u"192.168.0.9");
  EXPECT_EQ(record->TransferRAW, 1);
  EXPECT_EQ(test::GetDword(kSettingsKey, u"TransferRAW"), 1u);
  EXPECT_EQ(GetValue(kSettingsKey, u"hgDispMode").type, plat::kRegDword);
  EXPECT_EQ(test::GetDword(kSettingsKey, u"hgDispMode"), 0u);
  EXPECT_EQ(record->StorageSave, 0);
  EXPECT_EQ(GetValue(kSettingsKey, u"StorageSave").data.size(), 4u);
  EXPECT_NE(ReadFile(profile_.registryFile).find("\"TransferRAW\"=dword:00000001"),
            std::string::npos);
}

// Regedit text: DWORDs, escaped UTF-8 strings, and values of other types or with control
// characters in hex, all read back exactly.
TEST_F(RegistryFileTest, WritesRegeditTextInWhichEveryTypeRoundTripsExactly) {
  test::PutText(kSettingsKey, u"StorageSavePath", u"C:\\Pictures \"raw\"");
  const uint8_t binary[5] = {0, 1, 2, 0xFE, 0xFF};
  test::PutRaw(kSettingsKey, u"Blob", 3, binary, sizeof binary);
  const char16_t controls[] = u"line1\nline2\ttab";
  test::PutRaw(kSettingsKey, u"Multi", plat::kRegSz, controls, sizeof controls);
  const char16_t unpaired[] = {u'a', 0xD800, u'b', 0};
  test::PutRaw(kSettingsKey, u"Odd", plat::kRegSz, unpaired, sizeof unpaired);
  const uint8_t longData[80] = {7};
  test::PutRaw(kSettingsKey, u"Long", 0x0B, longData, sizeof longData);
  Read();  // rewrites the file around them

  EXPECT_EQ(GetValue(kSettingsKey, u"Blob").data, std::vector<uint8_t>(binary, binary + 5));
  EXPECT_EQ(GetValue(kSettingsKey, u"Blob").type, 3u);
  const test::StoredValue multi = GetValue(kSettingsKey, u"Multi");
  EXPECT_EQ(multi.type, plat::kRegSz);
  EXPECT_EQ(multi.data.size(), sizeof controls);
  EXPECT_EQ(std::memcmp(multi.data.data(), controls, sizeof controls), 0);
  const test::StoredValue odd = GetValue(kSettingsKey, u"Odd");
  EXPECT_EQ(std::memcmp(odd.data.data(), unpaired, sizeof unpaired), 0);
  EXPECT_EQ(GetValue(kSettingsKey, u"Long").data, std::vector<uint8_t>(longData, longData + 80));
  EXPECT_EQ(GetText(kSettingsKey, u"StorageSavePath"), u"C:\\Pictures \"raw\"");
  const std::string text = ReadFile(profile_.registryFile);
  EXPECT_EQ(text.rfind(kHeaderLine, 0), 0u);
  EXPECT_NE(text.find(kMainSection), std::string::npos);
  EXPECT_NE(text.find("\"TransferJPEG\"=dword:00000001\n"), std::string::npos);
  EXPECT_NE(text.find("\"StorageSavePath\"=\"C:\\\\Pictures \\\"raw\\\"\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"AreaMoveUp\"=\"Ctrl+\xE2\x86\x91\"\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\COM.ORVANTIS.TEK\\tether_orvantis\\Shortcut]"),
            std::string::npos);
  EXPECT_NE(text.find("\"Blob\"=hex:00,01,02,fe,ff\n"), std::string::npos);
  EXPECT_NE(text.find("\"Multi\"=hex(1):"), std::string::npos);
}

// Copies of a damaged file set aside beside it.
std::vector<std::string> CorruptCopies(const std::string& file) {
  std::vector<std::string> copies;
  const std::filesystem::path path(file);
  for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(path.filename().string() + ".corrupt-", 0) == 0) {
      copies.push_back(entry.path().string());
    }
  }
  return copies;
}

// One bad or foreign line among good values costs at most the value it holds; the file is
// copied aside once when it is damaged, never for what regedit itself writes or reads, and
// the next write keeps the keys of other hives.
TEST_F(RegistryFileTest, EveryReadableValueSurvivesABadOrForeignLine) {
  // A complete store, so that reading it changes nothing; the address moves to a second block
  // of the main key at the end, and another hive's key comes first.
  WriteProperty(test::SampleRecord(0).get());
  const auto stored = Read();
  const std::string address = "\"CameraIPAddress\"=\"10.0.0.1\"\n";
  const std::string foreign = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Elsewhere]\n\"Kept\"=hex:01,02,";
  std::string base = ReadFile(profile_.registryFile);
  base.erase(base.find(address), address.size());
  base.insert(base.find('\n') + 1, "\n" + foreign + "\\\n  03\n");
  base += std::string("\n") + kMainSection + address;

  enum Lost { kNothing, kDispMode, kAddress, kShortcuts };
  enum Encoding { kUtf8, kUtf16Le, kUtf16Be };
  const struct {
    const char* name;
    std::string from, to;  // every `from` in the file becomes `to`
    Lost lost;             // what takes its default
    bool damaged;
    Encoding encoding = kUtf8;
  } cases[] = {
      {"11-digit dword", "dword:00000003", "dword:00000000003", kDispMode, true},
      {"key deletion", address,
       address + "[-HKEY_CURRENT_USER\\Software\\COM.ORVANTIS.TEK\\tether_orvantis\\Shortcut]",
       kShortcuts, false},
      {"value deletion", address, address + "\"hgDispMode\"=-\n", kDispMode, false},
      {"escapes of Wine's regedit", address, address + "\"Wine\"=\"a\\nb\\0\"\n", kNothing, false},
      {"REGEDIT4 header", "Windows Registry Editor Version 5.00", "REGEDIT4 ", kNothing, false},
      {"CR line ends", "\n", "\r", kNothing, false},
      {"UTF-16BE", "", "", kNothing, false, kUtf16Be},
      {"UTF-16LE with CR LF", "\n", "\r\n", kNothing, false, kUtf16Le},
      {"comment with =hex and a backslash", "\"hgDispMode\"", "; =hex:00,\\\n\"hgDispMode\"",
       kNothing, false},
      {"cut inside a quoted text", "10.0.0.1\"\n", "10.0.", kAddress, true},
      {"bad UTF-8", "10.0.0.1", "10.0.\xC3\x28", kAddress, true},
      {"no header, a value outside any key", kHeaderLine, "\"orphan\"=dword:1\n", kNothing, true},
  };
  for (const auto& c : cases) {
    profile_ = test::UseFreshProfile("regfile-bad");
    std::string text = base;
    for (size_t at = 0; !c.from.empty() && (at = text.find(c.from, at)) != std::string::npos;
         at += c.to.size()) {
      text.replace(at, c.from.size(), c.to);
    }
    if (c.encoding != kUtf8) {
      std::string wide = c.encoding == kUtf16Le ? "\xFF\xFE" : "\xFE\xFF";
      for (const char16_t unit : std::filesystem::path(text).u16string()) {
        const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
        wide += c.encoding == kUtf16Le ? std::string{low, high} : std::string{high, low};
      }
      text = wide;
    }
    WriteFile(profile_.registryFile, text);

    auto expected = std::make_unique<_BRELON_PROPERTY>(*stored);
    uint8_t* bytes = test::Bytes(expected.get());
    if (c.lost == kDispMode) expected->hgDispMode = 0;
    if (c.lost == kAddress) std::memset(bytes + offsetof(_BRELON_PROPERTY, CameraIPAddress), 0, 32);
    if (c.lost == kShortcuts) {
      std::memcpy(bytes + offsetof(_BRELON_PROPERTY, Shortcut),
                  bytes + offsetof(_BRELON_PROPERTY, ShortcutDefault), sizeof expected->Shortcut);
    }
    for (int pass = 0; pass < 2; ++pass) {  // the second read finds nothing more to copy
      auto record = Read();
      EXPECT_EQ(test::FirstDifference(record.get(), expected.get(), sizeof *record), sizeof *record)
          << c.name;
      const std::vector<std::string> copies = CorruptCopies(profile_.registryFile);
      ASSERT_EQ(copies.size(), c.damaged ? 1u : 0u) << c.name;
      if (c.damaged) {
        EXPECT_EQ(ReadFile(copies[0]), text) << c.name;
      }
    }
    expected->hgDispMode = 9;
    WriteProperty(expected.get());
    EXPECT_NE(ReadFile(profile_.registryFile).find(foreign + "03\n"), std::string::npos) << c.name;
    EXPECT_EQ(Read()->hgDispMode, 9) << c.name;
  }
}

// Too large to be a settings file: set aside whole without being read; every value is default.
TEST_F(RegistryFileTest, OversizedFileIsSetAsideUnread) {
  constexpr uintmax_t kOversized = (uintmax_t{16} << 20) + 1;
  WriteFile(profile_.registryFile,
            std::string(kHeaderLine) + kMainSection + "\"hgDispMode\"=dword:00000005\n");
  std::filesystem::resize_file(profile_.registryFile, kOversized);  // sparse: nothing written
  EXPECT_EQ(Read()->hgDispMode, 0);
  const std::vector<std::string> copies = CorruptCopies(profile_.registryFile);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(copies[0]), kOversized);
}

// A settings file linked from elsewhere (a dotfiles folder) stays a link: the first write
// creates the missing target beside its relative path, later ones replace it there, and
// neither folder keeps a temporary file.
TEST_F(RegistryFileTest, WritesGoThroughALinkToItsTarget) {
  namespace fs = std::filesystem;
  const fs::path link(profile_.registryFile);
  fs::create_directories(link.parent_path());
  fs::create_symlink("../dotfiles/settings.reg", link);
  const auto names = [](const fs::path& folder) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  };
  for (int32_t mode : {4, 7}) {
    auto record = test::SampleRecord(0);
    record->hgDispMode = mode;
    WriteProperty(record.get());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Read()->hgDispMode, mode);
    EXPECT_EQ(names(link.parent_path()),
              (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
    EXPECT_EQ(names(fs::path(profile_.root) / "dotfiles"), std::set<std::string>{"settings.reg"});
  }
}

TEST_F(RegistryFileTest, DefaultLocationFollowsXdgConfigHome) {
  test::SetEnv("BRELON_REGISTRY_FILE", nullptr);
  const std::string config = profile_.root + "/xdg";
  test::SetEnv("XDG_CONFIG_HOME", config.c_str());
  Read();
  EXPECT_TRUE(std::filesystem::exists(config + "/brelon/registry.reg"));
  test::SetEnv("XDG_CONFIG_HOME", nullptr);
  test::SetEnv("HOME", profile_.root.c_str());
  Read();
  EXPECT_TRUE(std::filesystem::exists(profile_.root + "/.config/brelon/registry.reg"));
}

TEST_F(RegistryFileTest, UnchangedReadLeavesTheFileAlone) {
  Read();
  struct stat before;
  ASSERT_EQ(stat(profile_.registryFile.c_str(), &before), 0);
  Read();
  struct stat after;
  ASSERT_EQ(stat(profile_.registryFile.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // a rewrite would have renamed a new file in
}

// Leaves a full store (texts with escapes and non-ASCII characters, a text with control
// characters, a long binary value) at $BRELON_EXPORT_REGISTRY_FILE for
// tests/settings/wine_regedit_import.sh, which imports it into Wine's registry and compares.
TEST(RegistryExportTest, WritesTheSampleStoreWhereAsked) {
  const char* target = std::getenv("BRELON_EXPORT_REGISTRY_FILE");
  if (!target || !*target) GTEST_SKIP() << "set BRELON_EXPORT_REGISTRY_FILE to export";
  test::UseFreshProfile("export");
  std::filesystem::remove(target);
  test::SetEnv("BRELON_REGISTRY_FILE", target);
  auto record = test::SampleRecord(1);
  WriteProperty(record.get());
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  const char16_t controls[] = u"line1\nline2\ttab";
  test::PutRaw(kSettingsKey, u"Multi", plat::kRegSz, controls, sizeof controls);
  uint8_t blob[80];
  for (size_t i = 0; i < sizeof blob; ++i) blob[i] = static_cast<uint8_t>(i * 7);
  test::PutRaw(kSettingsKey, u"Blob", 3, blob, sizeof blob);
  EXPECT_TRUE(std::filesystem::exists(target));
}

}  // namespace
}  // namespace brelon

#endif  // !_WIN32
