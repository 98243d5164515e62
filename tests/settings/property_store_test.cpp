// ReadProperty and WriteProperty: defaults written back to an empty key, read rules and the
// transfer rule, values of the wrong type or too large, an unusable key, a byte-by-byte round
// trip of every field, what is and is not stored, and the rules of the two shortcut keys.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/context.h"
#include "base/log.h"
#include "brelon/brelon.h"
#include "settings/sample_records.h"
#include "settings/shortcut_settings.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

using settings::kShortcuts;
using test::GetDword;
using test::GetText;
using test::GetValue;
using test::PutDword;
using test::PutRaw;
using test::PutText;
using test::PutTextAt;
using test::SampleRecord;
using test::TextAt;

constexpr uint8_t kPattern = 0xAB;
constexpr uint32_t kRegBinary = 3;

#define OFF(field) offsetof(_BRELON_PROPERTY, field)

class ReadPropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostOptionFlags(0);
    profile_ = test::UseFreshProfile();
  }
  // Reads into a record filled with kPattern, so that every byte left alone shows.
  static std::unique_ptr<_BRELON_PROPERTY> Read(int expected = BRELON_OK) {
    auto record = std::make_unique<_BRELON_PROPERTY>();
    std::memset(record.get(), kPattern, sizeof *record);
    EXPECT_EQ(ReadProperty(record.get()), expected);
    return record;
  }
  std::u16string OutputFolder() const {
    return std::filesystem::path(profile_.documents).u16string() + plat::PathSeparator() +
           u"ORVANTIS";
  }
  test::Profile profile_;
};

TEST_F(ReadPropertyTest, FreshProfileYieldsEveryDefaultAndStoresIt) {
  auto record = Read();
  const struct {
    const char16_t* name;
    int32_t read;
    uint32_t stored;
  } defaults[] = {
      {u"TransferJPEG", record->TransferJPEG, 1},
      {u"TransferRAW", record->TransferRAW, 1},
      {u"CardJPEG", record->CardJPEG, 1},
      {u"CardRAW", record->CardRAW, 1},
      {u"StorageSave", record->StorageSave, 0},
      {u"hgDispMode", record->hgDispMode, 0},
      {u"ConnectType", record->ConnectType, 1},
      {u"lvDispClickOpeMode", record->lvDispClickOpeMode, 0},
      {u"ProcessId", record->ProcessId, 0},
      {u"lvImageAreaBackColor", record->lvImageAreaBackColor, 0},
      {u"WiFiDetectionMethod", record->WiFiDetectionMethod, 0},
  };
  for (const auto& value : defaults) {
    EXPECT_EQ(value.read, static_cast<int32_t>(value.stored)) << (&value - defaults);
    EXPECT_EQ(GetDword(kSettingsKey, value.name), value.stored) << (&value - defaults);
  }
  EXPECT_EQ(record->Reserved4, 0);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), OutputFolder());
  EXPECT_EQ(GetText(kSettingsKey, u"StorageSavePath"), OutputFolder());
  EXPECT_TRUE(std::filesystem::is_directory(profile_.documents + "/ORVANTIS"));
  EXPECT_EQ(record->DisplayFramerate, kPattern);
  EXPECT_EQ(TextAt(record.get(), OFF(CameraIPAddress), 1060), u"");
  // The rest of the address area is reserved and left alone.
  EXPECT_EQ(test::Bytes(record.get())[OFF(CameraIPAddress) + 2], kPattern);

  const test::StoredValue address = GetValue(kSettingsKey, u"CameraIPAddress");
  EXPECT_TRUE(address.found);
  EXPECT_EQ(address.type, plat::kRegSz);
  EXPECT_EQ(address.data.size(), 2u);
  EXPECT_FALSE(GetValue(kSettingsKey, u"DisplayFramerate").found);
  EXPECT_FALSE(GetValue(kSettingsKey, u"UseSerialTag").found);  // LoadUseSerialTag's business

  // Both shortcut keys and arrays get the built-in texts, under 29 distinct names.
  std::set<std::u16string> names;
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    const char16_t* name = kShortcuts[slot].name;
    const std::u16string text = kShortcuts[slot].defaultText;
    names.insert(name);
    EXPECT_EQ(TextAt(record.get(), OFF(Shortcut) + slot * 128, 64), text) << slot;
    EXPECT_EQ(TextAt(record.get(), OFF(ShortcutDefault) + slot * 128, 64), text) << slot;
    EXPECT_EQ(GetText(kShortcutKey, name), text) << slot;
    EXPECT_EQ(GetText(kShortcutDefaultKey, name), text) << slot;
    EXPECT_EQ(GetValue(kShortcutKey, name).data.size(), (text.size() + 1) * 2) << slot;
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(BRELON_SHORTCUT_COUNT));
  EXPECT_EQ(std::u16string(kShortcuts[0].name) + u"=" + kShortcuts[0].defaultText, u"Shoot=F12");
  EXPECT_EQ(std::u16string(kShortcuts[13].name), u"Zoom1.0");
  EXPECT_EQ(std::u16string(kShortcuts[28].name) + u"=" + kShortcuts[28].defaultText,
            u"LiveviewPreview=L");
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::u16string(kShortcuts[22 + i].defaultText),
              std::u16string(u"Ctrl+") + u"\u2191\u2193\u2190\u2192"[i]);
  }
}

// Flags read as 0 or 1 and numbers as stored; with both transfers off the record turns both
// on. The registry keeps what it holds either way.
TEST_F(ReadPropertyTest, StoredFlagsNumbersAndTheTransferRule) {
  const struct {
    const char* name;
    std::vector<std::pair<const char16_t*, uint32_t>> stored;
    uint8_t jpeg, raw, storageSave;
    int32_t dispMode, connectType;
  } cases[] = {
      {"both transfers off", {{u"TransferJPEG", 0}, {u"TransferRAW", 0}}, 1, 1, 0, 0, 1},
      {"one transfer off", {{u"TransferJPEG", 0}}, 0, 1, 0, 0, 1},
      {"non-zero values",
       {{u"TransferJPEG", 5},
        {u"StorageSave", 0x100},
        {u"hgDispMode", 0xFFFFFFFF},
        {u"ConnectType", 0x31}},
       1,
       1,
       1,
       -1,
       0x31},
  };
  for (const auto& c : cases) {
    profile_ = test::UseFreshProfile();
    for (const auto& [name, value] : c.stored) PutDword(kSettingsKey, name, value);
    auto record = Read();
    EXPECT_EQ(record->TransferJPEG, c.jpeg) << c.name;
    EXPECT_EQ(record->TransferRAW, c.raw) << c.name;
    EXPECT_EQ(record->StorageSave, c.storageSave) << c.name;
    EXPECT_EQ(int32_t{record->hgDispMode}, c.dispMode) << c.name;
    EXPECT_EQ(int32_t{record->ConnectType}, c.connectType) << c.name;
    for (const auto& [name, value] : c.stored) {
      EXPECT_EQ(GetDword(kSettingsKey, name), value) << c.name;
    }
  }
}

TEST_F(ReadPropertyTest, DisplayFramerateIsReadButNeverDefaultedOrWritten) {
  PutDword(kSettingsKey, u"DisplayFramerate", 0);
  EXPECT_EQ(Read()->DisplayFramerate, 0);
  PutDword(kSettingsKey, u"DisplayFramerate", 9);
  auto record = Read();
  EXPECT_EQ(record->DisplayFramerate, 1);
  record->DisplayFramerate = 0;
  WriteProperty(record.get());
  EXPECT_EQ(GetDword(kSettingsKey, u"DisplayFramerate"), 9u);
}

// A text that fits its area with its terminator is kept; a longer one counts as missing and is
// overwritten with the default.
TEST_F(ReadPropertyTest, TextsUpToTheirLimitsAreKeptAndLongerOnesReplaced) {
  const struct {
    const char16_t* key;
    const char16_t* name;
    size_t offset, units;
    std::u16string stored, expected;
  } cases[] = {
      {kSettingsKey, u"CameraIPAddress", OFF(CameraIPAddress), 1060, u"192.168.100.200",
       u"192.168.100.200"},
      {kSettingsKey, u"CameraIPAddress", OFF(CameraIPAddress), 1060, std::u16string(16, u'1'),
       u""},  // 34 bytes with its terminator: over 32
      {kSettingsKey, u"StorageSavePath", OFF(StorageSavePath), 261, std::u16string(259, u'q'),
       std::u16string(259, u'q')},
      {kSettingsKey, u"StorageSavePath", OFF(StorageSavePath), 261, std::u16string(260, u'p'),
       OutputFolder()},  // 522 bytes
      {kShortcutKey, u"Shoot", OFF(Shortcut), 64, std::u16string(63, u'k'),
       std::u16string(63, u'k')},
      {kShortcutKey, u"Shoot", OFF(Shortcut), 64, std::u16string(64, u's'), u"F12"},  // 130 bytes
  };
  for (const auto& c : cases) {
    PutText(c.key, c.name, c.stored);
    auto record = Read();
    EXPECT_EQ(TextAt(record.get(), c.offset, c.units), c.expected) << c.stored.size();
    EXPECT_EQ(GetText(c.key, c.name), c.expected) << c.stored.size();
    EXPECT_EQ(GetValue(c.key, c.name).data.size(), (c.expected.size() + 1) * 2);
    EXPECT_EQ(TextAt(record.get(), OFF(ShortcutDefault), 64), u"F12")
        << "a user text is no default";
  }
}

TEST_F(ReadPropertyTest, WrongValueTypesAndShortDwordsCountAsMissingAndAreRestored) {
  PutText(kSettingsKey, u"TransferJPEG", u"0");
  const uint8_t two[2] = {7, 0};
  PutRaw(kSettingsKey, u"ConnectType", kRegBinary, two, sizeof two);
  const uint8_t zero = 0;  // read as a DWORD, CardRAW would be off
  PutRaw(kSettingsKey, u"CardRAW", plat::kRegDword, &zero, 1);
  PutDword(kSettingsKey, u"CameraIPAddress", 0x0031);
  PutDword(kSettingsKey, u"StorageSavePath", 0x0041);
  PutDword(kShortcutKey, u"ZoomIn", 0x0041);
  PutText(kSettingsKey, u"DisplayFramerate", u"1");
  auto record = Read();

  EXPECT_EQ(record->TransferJPEG, 1);
  EXPECT_EQ(GetValue(kSettingsKey, u"TransferJPEG").type, plat::kRegDword);
  EXPECT_EQ(GetDword(kSettingsKey, u"TransferJPEG"), 1u);
  EXPECT_EQ(int32_t{record->ConnectType}, 1);
  EXPECT_EQ(GetValue(kSettingsKey, u"ConnectType").type, plat::kRegDword);
  EXPECT_EQ(record->CardRAW, 1);
  EXPECT_EQ(GetValue(kSettingsKey, u"CardRAW").data.size(), 4u);
  EXPECT_EQ(TextAt(record.get(), OFF(CameraIPAddress), 1060), u"");
  EXPECT_EQ(GetValue(kSettingsKey, u"CameraIPAddress").type, plat::kRegSz);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), OutputFolder());
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut) + 11 * 128, 64), u"Ctrl+.");
  EXPECT_EQ(GetText(kShortcutKey, u"ZoomIn"), u"Ctrl+.");
  EXPECT_EQ(GetText(kShortcutKey, u"Shoot"), u"F12") << "missing next to a present value";
  // Never written, so an unusable value simply leaves the caller's byte.
  EXPECT_EQ(record->DisplayFramerate, kPattern);
  EXPECT_EQ(GetValue(kSettingsKey, u"DisplayFramerate").type, plat::kRegSz);
}

TEST_F(ReadPropertyTest, OverlongDocumentsFolderLeavesThePathEmptyAndUnstored) {
#if defined(_WIN32)
  GTEST_SKIP() << "the shell refuses documents folders beyond MAX_PATH itself";
#else
  std::string longFolder = profile_.root;
  while (longFolder.size() < 255) longFolder += "/abcdefghijklmnopqrstuvwxyz";
  test::WriteFile(profile_.root + "/.config/user-dirs.dirs",
                  "XDG_DOCUMENTS_DIR=\"" + longFolder + "\"\n");
  auto record = Read();
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), u"");
  EXPECT_FALSE(GetValue(kSettingsKey, u"StorageSavePath").found);
  EXPECT_FALSE(std::filesystem::exists(longFolder + "/ORVANTIS"));
#endif
}

// A settings file that can be neither read nor created (below a regular file, or a folder):
// a write stores nothing and the next read answers -12 with only the preset, and the log gets
// one line with the reason.
TEST_F(ReadPropertyTest, UnusableSettingsFileGivesMinus12OnlyThePresetAndOneLoggedReason) {
#if defined(_WIN32)
  GTEST_SKIP() << "HKEY_CURRENT_USER cannot be made unwritable from a test";
#else
  test::SetEnv("BRELON_LOG_DIR", profile_.root.c_str());
  InitLog();
  test::WriteFile(profile_.root + "/blocker", "x");
  std::filesystem::create_directories(profile_.root + "/folder/registry.reg");
  const struct {
    std::string file, reason;
  } cases[] = {
      {profile_.root + "/blocker/registry.reg", std::strerror(ENOTDIR)},
      {profile_.root + "/folder/registry.reg", std::strerror(EISDIR)},
  };
  for (const auto& c : cases) {
    test::SetEnv("BRELON_REGISTRY_FILE", c.file.c_str());
    WriteProperty(SampleRecord(0).get());
    auto record = Read(BRELON_E_SETTINGS_KEY);
    auto expected = std::make_unique<_BRELON_PROPERTY>();
    uint8_t* e = test::Bytes(expected.get());
    std::memset(e, kPattern, sizeof *expected);
    e[0] = e[1] = e[2] = e[3] = 1;
    e[4] = e[5] = 0;
    std::memset(e + OFF(hgDispMode), 0, 16);
    EXPECT_EQ(test::FirstDifference(record.get(), expected.get(), sizeof *record), sizeof *record);
    EXPECT_EQ(
        std::distance(std::filesystem::recursive_directory_iterator(profile_.root + "/folder"), {}),
        1)
        << "nothing created beside " << c.file;
  }
  std::istringstream log(test::ReadFile(profile_.root + "/ov_plugin.log"));
  std::vector<std::string> reasons;
  for (std::string line; std::getline(log, line);) {
    if (line.find(profile_.root) != std::string::npos) reasons.push_back(line);
  }
  ASSERT_EQ(reasons.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_NE(reasons[i].find(cases[i].reason), std::string::npos);

  // The settings lock was released: another thread's read completes.
  test::SetEnv("BRELON_REGISTRY_FILE", profile_.registryFile.c_str());
  Read();
#endif
}

TEST_F(ReadPropertyTest, UseSerialTagIsLoadedAndDefaulted) {
  auto ctx = std::make_unique<PluginContext>();
  ctx->lUseSerialTag = 5;
  LoadUseSerialTag(ctx.get());
  EXPECT_EQ(ctx->lUseSerialTag, 0);
  EXPECT_EQ(GetDword(kSettingsKey, u"UseSerialTag"), 0u);

  PutDword(kSettingsKey, u"UseSerialTag", 7);
  LoadUseSerialTag(ctx.get());
  EXPECT_EQ(ctx->lUseSerialTag, 1);

  PutText(kSettingsKey, u"UseSerialTag", u"1");
  LoadUseSerialTag(ctx.get());
  EXPECT_EQ(ctx->lUseSerialTag, 0);
  EXPECT_EQ(GetValue(kSettingsKey, u"UseSerialTag").type, plat::kRegDword);
#if !defined(_WIN32)
  test::WriteFile(profile_.root + "/blocker", "x");
  test::SetEnv("BRELON_REGISTRY_FILE", (profile_.root + "/blocker/registry.reg").c_str());
  ctx->lUseSerialTag = 1;
  LoadUseSerialTag(ctx.get());
  EXPECT_EQ(ctx->lUseSerialTag, 1);
#endif
}

class WritePropertyTest : public ReadPropertyTest {};

TEST_F(WritePropertyTest, EveryFieldRoundTripsByteByByte) {
  for (int variant = 0; variant < 2; ++variant) {
    auto written = SampleRecord(variant);
    ASSERT_EQ(WriteProperty(written.get()), BRELON_OK);
    auto read = std::make_unique<_BRELON_PROPERTY>();
    std::memset(read.get(), 0, sizeof *read);
    ASSERT_EQ(ReadProperty(read.get()), BRELON_OK);
    auto expected = test::ExpectedAfterRoundTrip(written.get());
    EXPECT_EQ(test::FirstDifference(read.get(), expected.get(), sizeof *read), sizeof *read)
        << "variant " << variant;
  }
}

// Values as stored (flags unnormalised, texts sized to their terminator); the frame rate, the
// reserved byte and the caller's default texts are never stored, and a hand-edited default is
// replaced by the built-in one on the next read.
TEST_F(WritePropertyTest, StoresWindowsTypesAndSizesButNotFramerateReservedByteOrDefaults) {
  auto record = SampleRecord(1);
  PutText(kShortcutDefaultKey, u"ZoomIn", u"Hand-edited");
  WriteProperty(record.get());
  EXPECT_EQ(test::GetDword(kSettingsKey, u"CardJPEG"), 2u);
  EXPECT_EQ(test::GetDword(kSettingsKey, u"ProcessId"), 4243u);
  const test::StoredValue path = GetValue(kSettingsKey, u"StorageSavePath");
  EXPECT_EQ(path.type, plat::kRegSz);
  EXPECT_EQ(path.data.size(), (TextAt(record.get(), OFF(StorageSavePath), 261).size() + 1) * 2);
  const test::StoredValue flag = GetValue(kSettingsKey, u"StorageSave");
  EXPECT_EQ(flag.type, plat::kRegDword);
  EXPECT_EQ(flag.data.size(), 4u);
  EXPECT_EQ(GetText(kShortcutKey, u"AreaMoveUp"), u"Alt+\u2191");
  EXPECT_FALSE(GetValue(kSettingsKey, u"DisplayFramerate").found);
  EXPECT_FALSE(GetValue(kSettingsKey, u"Reserved4").found);
  EXPECT_FALSE(GetValue(kShortcutDefaultKey, u"Shoot").found);

  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(ShortcutDefault) + 11 * 128, 64), u"Ctrl+.");
  EXPECT_EQ(GetText(kShortcutDefaultKey, u"ZoomIn"), u"Ctrl+.");
}

TEST_F(WritePropertyTest, UnterminatedTextsAreStoredWholeAndReadBackAsMissing) {
  auto record = SampleRecord(0);
  for (size_t i = 0; i < 64; ++i) PutTextAt(record.get(), OFF(Shortcut) + 2 * i, u"x");
  // The slot's last unit is overwritten by the next slot's first character: no terminator.
  PutTextAt(record.get(), OFF(Shortcut) + 128, u"Alt+J");
  WriteProperty(record.get());
  EXPECT_EQ(GetText(kShortcutKey, u"Shoot"), std::u16string(64, u'x'));
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut), 64), u"F12");
  EXPECT_EQ(GetText(kShortcutKey, u"Shoot"), u"F12");
}

#undef OFF

}  // namespace
}  // namespace brelon
