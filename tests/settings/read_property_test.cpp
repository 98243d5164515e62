// ReadProperty against an empty, a hand-edited and an unusable settings key: defaults written
// back, read rules, the transfer rule, and values that are of the wrong type or too large.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "brelon/brelon.h"
#include "core/context.h"
#include "settings/shortcut_settings.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

using test::GetDword;
using test::GetText;
using test::GetValue;
using test::PutDword;
using test::PutRaw;
using test::PutText;

constexpr uint8_t kPattern = 0xAB;
constexpr uint32_t kRegBinary = 3;

std::unique_ptr<_BRELON_PROPERTY> PatternRecord() {
  auto record = std::make_unique<_BRELON_PROPERTY>();
  std::memset(record.get(), kPattern, sizeof *record);
  return record;
}

const uint8_t* Bytes(const _BRELON_PROPERTY* p) {
  return reinterpret_cast<const uint8_t*>(p);
}

int32_t IntAt(const _BRELON_PROPERTY* p, size_t offset) {
  int32_t value;
  std::memcpy(&value, Bytes(p) + offset, sizeof value);
  return value;
}

std::u16string TextAt(const _BRELON_PROPERTY* p, size_t offset, size_t units) {
  std::u16string text;
  for (size_t i = 0; i < units; ++i) {
    char16_t c;
    std::memcpy(&c, Bytes(p) + offset + 2 * i, sizeof c);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

std::u16string ToU16(const std::string& s) {
  return std::filesystem::path(s).u16string();
}

std::u16string ExpectedOutputFolder(const test::Profile& profile) {
  return ToU16(profile.documents) + plat::PathSeparator() + u"ORVANTIS";
}

#define OFF(field) offsetof(_BRELON_PROPERTY, field)

class ReadPropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostOptionFlags(0);
    profile_ = test::UseFreshProfile();
  }
  test::Profile profile_;
};

TEST_F(ReadPropertyTest, FreshProfileYieldsEveryDefaultAndStoresIt) {
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  const uint8_t* b = Bytes(record.get());
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[1], 1);
  EXPECT_EQ(b[2], 1);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(b[4], 0);
  EXPECT_EQ(b[5], 0);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), ExpectedOutputFolder(profile_));
  EXPECT_TRUE(std::filesystem::is_directory(profile_.documents + "/ORVANTIS"));
  for (size_t offset : {OFF(hgDispMode), OFF(lvDispClickOpeMode), OFF(lvImageAreaBackColor),
                        OFF(ProcessId), OFF(WiFiDetectionMethod)}) {
    EXPECT_EQ(IntAt(record.get(), offset), 0) << offset;
  }
  EXPECT_EQ(IntAt(record.get(), OFF(ConnectType)), 1);
  EXPECT_EQ(b[OFF(DisplayFramerate)], kPattern);
  EXPECT_EQ(TextAt(record.get(), OFF(CameraIPAddress), 1060), u"");
  // The rest of the address area is reserved and left alone.
  EXPECT_EQ(b[OFF(CameraIPAddress) + 2], kPattern);

  const char16_t* key = kSettingsKey;
  EXPECT_EQ(GetDword(key, u"TransferJPEG"), 1u);
  EXPECT_EQ(GetDword(key, u"TransferRAW"), 1u);
  EXPECT_EQ(GetDword(key, u"CardJPEG"), 1u);
  EXPECT_EQ(GetDword(key, u"CardRAW"), 1u);
  EXPECT_EQ(GetDword(key, u"StorageSave"), 0u);
  EXPECT_EQ(GetDword(key, u"ConnectType"), 1u);
  EXPECT_EQ(GetDword(key, u"WiFiDetectionMethod"), 0u);
  for (const char16_t* name :
       {u"hgDispMode", u"lvDispClickOpeMode", u"lvImageAreaBackColor", u"ProcessId"}) {
    EXPECT_EQ(GetDword(key, name), 0u);
  }
  EXPECT_EQ(GetText(key, u"StorageSavePath"), ExpectedOutputFolder(profile_));
  const test::StoredValue address = GetValue(key, u"CameraIPAddress");
  EXPECT_TRUE(address.found);
  EXPECT_EQ(address.type, plat::kRegSz);
  EXPECT_EQ(address.data.size(), 2u);
  EXPECT_FALSE(GetValue(key, u"DisplayFramerate").found);
  EXPECT_FALSE(GetValue(key, u"UseSerialTag").found);  // LoadUseSerialTag's business
}

TEST_F(ReadPropertyTest, BothTransfersOffTurnOnInTheRecordOnly) {
  PutDword(kSettingsKey, u"TransferJPEG", 0);
  PutDword(kSettingsKey, u"TransferRAW", 0);
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(Bytes(record.get())[0], 1);
  EXPECT_EQ(Bytes(record.get())[1], 1);
  EXPECT_EQ(GetDword(kSettingsKey, u"TransferJPEG"), 0u);
  EXPECT_EQ(GetDword(kSettingsKey, u"TransferRAW"), 0u);
}

TEST_F(ReadPropertyTest, OneTransferOffStaysOff) {
  PutDword(kSettingsKey, u"TransferJPEG", 0);
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(Bytes(record.get())[0], 0);
  EXPECT_EQ(Bytes(record.get())[1], 1);
}

TEST_F(ReadPropertyTest, NonZeroFlagsReadAsOneAndNumbersAsStored) {
  PutDword(kSettingsKey, u"TransferJPEG", 5);
  PutDword(kSettingsKey, u"StorageSave", 0x100);
  PutDword(kSettingsKey, u"hgDispMode", 0xFFFFFFFF);
  PutDword(kSettingsKey, u"ConnectType", 0x31);
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(Bytes(record.get())[0], 1);
  EXPECT_EQ(Bytes(record.get())[5], 1);
  EXPECT_EQ(IntAt(record.get(), OFF(hgDispMode)), -1);
  EXPECT_EQ(IntAt(record.get(), OFF(ConnectType)), 0x31);
  EXPECT_EQ(GetDword(kSettingsKey, u"TransferJPEG"), 5u);  // the registry keeps its value
}

TEST_F(ReadPropertyTest, DisplayFramerateIsReadButNeverDefaultedOrWritten) {
  auto record = PatternRecord();
  PutDword(kSettingsKey, u"DisplayFramerate", 0);
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(Bytes(record.get())[OFF(DisplayFramerate)], 0);

  PutDword(kSettingsKey, u"DisplayFramerate", 9);
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(Bytes(record.get())[OFF(DisplayFramerate)], 1);

  record->DisplayFramerate = 0;
  WriteProperty(record.get());
  EXPECT_EQ(GetDword(kSettingsKey, u"DisplayFramerate"), 9u);
}

TEST_F(ReadPropertyTest, OversizedTextsCountAsMissingAndAreOverwritten) {
  const std::u16string sixteen(16, u'1');  // 34 bytes with its terminator: over 32
  PutText(kSettingsKey, u"CameraIPAddress", sixteen);
  PutText(kSettingsKey, u"StorageSavePath", std::u16string(260, u'p'));  // 522 bytes
  PutText(kShortcutKey, u"Shoot", std::u16string(64, u's'));             // 130 bytes
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(CameraIPAddress), 1060), u"");
  EXPECT_EQ(GetValue(kSettingsKey, u"CameraIPAddress").data.size(), 2u);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), ExpectedOutputFolder(profile_));
  EXPECT_EQ(GetText(kSettingsKey, u"StorageSavePath"), ExpectedOutputFolder(profile_));
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut), 64), u"F12");
  EXPECT_EQ(GetText(kShortcutKey, u"Shoot"), u"F12");
}

TEST_F(ReadPropertyTest, TextsAtTheirLimitsAreKept) {
  const std::u16string fifteen = u"192.168.100.200";
  const std::u16string path(259, u'q');
  const std::u16string key63(63, u'k');
  PutText(kSettingsKey, u"CameraIPAddress", fifteen);
  PutText(kSettingsKey, u"StorageSavePath", path);
  PutText(kShortcutKey, u"Shoot", key63);
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(CameraIPAddress), 1060), fifteen);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), path);
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut), 64), key63);
  EXPECT_EQ(GetText(kSettingsKey, u"StorageSavePath"), path);
}

TEST_F(ReadPropertyTest, WrongValueTypesCountAsMissingAndAreRestored) {
  PutText(kSettingsKey, u"TransferJPEG", u"0");
  const uint8_t two[2] = {7, 0};
  PutRaw(kSettingsKey, u"ConnectType", kRegBinary, two, sizeof two);
  PutDword(kSettingsKey, u"CameraIPAddress", 0x0031);
  PutDword(kSettingsKey, u"StorageSavePath", 0x0041);
  PutDword(kShortcutKey, u"ZoomIn", 0x0041);
  PutText(kSettingsKey, u"DisplayFramerate", u"1");
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);

  EXPECT_EQ(Bytes(record.get())[0], 1);
  EXPECT_EQ(GetValue(kSettingsKey, u"TransferJPEG").type, plat::kRegDword);
  EXPECT_EQ(GetDword(kSettingsKey, u"TransferJPEG"), 1u);
  EXPECT_EQ(IntAt(record.get(), OFF(ConnectType)), 1);
  EXPECT_EQ(GetValue(kSettingsKey, u"ConnectType").type, plat::kRegDword);
  EXPECT_EQ(TextAt(record.get(), OFF(CameraIPAddress), 1060), u"");
  EXPECT_EQ(GetValue(kSettingsKey, u"CameraIPAddress").type, plat::kRegSz);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), ExpectedOutputFolder(profile_));
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut) + 11 * 128, 64), u"Ctrl+.");
  EXPECT_EQ(GetText(kShortcutKey, u"ZoomIn"), u"Ctrl+.");
  // Never written, so an unusable value simply leaves the caller's byte.
  EXPECT_EQ(Bytes(record.get())[OFF(DisplayFramerate)], kPattern);
  EXPECT_EQ(GetValue(kSettingsKey, u"DisplayFramerate").type, plat::kRegSz);
}

TEST_F(ReadPropertyTest, ShortDwordCountsAsMissing) {
  const uint8_t one = 0;
  PutRaw(kSettingsKey, u"CardRAW", plat::kRegDword, &one, sizeof one);
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(Bytes(record.get())[3], 1);
  EXPECT_EQ(GetValue(kSettingsKey, u"CardRAW").data.size(), 4u);
}

TEST_F(ReadPropertyTest, OverlongDocumentsFolderLeavesThePathEmptyAndUnstored) {
#if defined(_WIN32)
  GTEST_SKIP() << "the shell refuses documents folders beyond MAX_PATH itself";
#else
  std::string longFolder = profile_.root;
  while (longFolder.size() < 255) longFolder += "/abcdefghijklmnopqrstuvwxyz";
  test::WriteFile(profile_.root + "/.config/user-dirs.dirs",
                  "XDG_DOCUMENTS_DIR=\"" + longFolder + "\"\n");
  auto record = PatternRecord();
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(StorageSavePath), 261), u"");
  EXPECT_FALSE(GetValue(kSettingsKey, u"StorageSavePath").found);
  EXPECT_FALSE(std::filesystem::exists(longFolder));
#endif
}

TEST_F(ReadPropertyTest, UnopenableKeyGivesMinus12AndOnlyThePreset) {
#if defined(_WIN32)
  GTEST_SKIP() << "HKEY_CURRENT_USER cannot be made unwritable from a test";
#else
  // The registry's folder would have to be created below a regular file.
  test::WriteFile(profile_.root + "/blocker", "x");
  test::SetEnv("BRELON_REGISTRY_FILE", (profile_.root + "/blocker/registry.reg").c_str());
  auto record = PatternRecord();
  record->TransferJPEG = 0;
  record->StorageSave = 1;
  ASSERT_EQ(ReadProperty(record.get()), BRELON_E_SETTINGS_KEY);
  auto expected = PatternRecord();
  uint8_t* e = reinterpret_cast<uint8_t*>(expected.get());
  e[0] = e[1] = e[2] = e[3] = 1;
  e[4] = e[5] = 0;
  std::memset(e + OFF(hgDispMode), 0, 16);
  EXPECT_EQ(std::memcmp(record.get(), expected.get(), sizeof *record), 0);

  // The settings lock was released: another thread's read completes.
  test::SetEnv("BRELON_REGISTRY_FILE", profile_.registryFile.c_str());
  EXPECT_EQ(ReadProperty(record.get()), BRELON_OK);
#endif
}

TEST_F(ReadPropertyTest, UseSerialTagIsLoadedAndDefaulted) {
  PluginContext* ctx = new PluginContext();
  ctx->lUseSerialTag = 5;
  LoadUseSerialTag(ctx);
  EXPECT_EQ(ctx->lUseSerialTag, 0);
  EXPECT_EQ(GetDword(kSettingsKey, u"UseSerialTag"), 0u);

  PutDword(kSettingsKey, u"UseSerialTag", 7);
  LoadUseSerialTag(ctx);
  EXPECT_EQ(ctx->lUseSerialTag, 1);

  PutText(kSettingsKey, u"UseSerialTag", u"1");
  LoadUseSerialTag(ctx);
  EXPECT_EQ(ctx->lUseSerialTag, 0);
  EXPECT_EQ(GetValue(kSettingsKey, u"UseSerialTag").type, plat::kRegDword);
#if !defined(_WIN32)
  test::WriteFile(profile_.root + "/blocker", "x");
  test::SetEnv("BRELON_REGISTRY_FILE", (profile_.root + "/blocker/registry.reg").c_str());
  ctx->lUseSerialTag = 1;
  LoadUseSerialTag(ctx);
  EXPECT_EQ(ctx->lUseSerialTag, 1);
#endif
  delete ctx;
}

#undef OFF

}  // namespace
}  // namespace brelon
