// WriteProperty and the shortcut texts: a byte-by-byte round trip of every field, what is and is
// not stored, and the rules of the two shortcut keys.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "brelon/brelon.h"
#include "core/context.h"
#include "settings/sample_records.h"
#include "settings/shortcut_settings.h"
#include "settings/test_registry.h"

namespace brelon {
namespace {

using settings::kShortcuts;
using test::GetDword;
using test::GetText;
using test::GetValue;
using test::PutText;

#define OFF(field) offsetof(_BRELON_PROPERTY, field)

using test::ExpectedAfterRoundTrip;
using test::FirstDifference;
using test::PutTextAt;
using test::SampleRecord;
using test::TextAt;

class WritePropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostOptionFlags(0);
    profile_ = test::UseFreshProfile();
  }
  test::Profile profile_;
};

TEST_F(WritePropertyTest, EveryFieldRoundTripsByteByByte) {
  for (int variant = 0; variant < 2; ++variant) {
    auto written = SampleRecord(variant);
    ASSERT_EQ(WriteProperty(written.get()), BRELON_OK);
    auto read = std::make_unique<_BRELON_PROPERTY>();
    std::memset(read.get(), 0, sizeof *read);
    ASSERT_EQ(ReadProperty(read.get()), BRELON_OK);
    auto expected = ExpectedAfterRoundTrip(written.get());
    EXPECT_EQ(FirstDifference(read.get(), expected.get(), sizeof *read), sizeof *read)
        << "variant " << variant;
  }
}

TEST_F(WritePropertyTest, StoresWindowsTypesAndSizes) {
  auto record = SampleRecord(1);
  WriteProperty(record.get());
  EXPECT_EQ(GetDword(kSettingsKey, u"CardJPEG"), 2u);
  EXPECT_EQ(GetDword(kSettingsKey, u"ProcessId"), 4243u);
  const test::StoredValue path = GetValue(kSettingsKey, u"StorageSavePath");
  EXPECT_EQ(path.type, plat::kRegSz);
  EXPECT_EQ(path.data.size(), (TextAt(record.get(), OFF(StorageSavePath), 261).size() + 1) * 2);
  const test::StoredValue flag = GetValue(kSettingsKey, u"StorageSave");
  EXPECT_EQ(flag.type, plat::kRegDword);
  EXPECT_EQ(flag.data.size(), 4u);
  EXPECT_EQ(GetText(kShortcutKey, u"AreaMoveUp"), u"Alt+\u2191");
}

TEST_F(WritePropertyTest, NeverStoresFramerateReservedByteOrDefaultTexts) {
  auto record = SampleRecord(0);
  WriteProperty(record.get());
  EXPECT_FALSE(GetValue(kSettingsKey, u"DisplayFramerate").found);
  EXPECT_FALSE(GetValue(kSettingsKey, u"Reserved4").found);
  EXPECT_FALSE(GetValue(kShortcutDefaultKey, u"Shoot").found);
}

TEST_F(WritePropertyTest, IgnoredCallerDefaultsAreReplacedByBuiltInOnes) {
  auto record = SampleRecord(0);
  PutText(kShortcutDefaultKey, u"Shoot", u"Hand-edited");
  WriteProperty(record.get());
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(ShortcutDefault), 64), u"F12");
  EXPECT_EQ(GetText(kShortcutDefaultKey, u"Shoot"), u"F12");
}

TEST(ShortcutTableTest, HoldsTwentyNineDistinctNamesWithBuiltInDefaults) {
  std::set<std::u16string> names;
  for (const auto& entry : kShortcuts) names.insert(entry.name);
  EXPECT_EQ(names.size(), static_cast<size_t>(BRELON_SHORTCUT_COUNT));
  EXPECT_EQ(std::u16string(kShortcuts[0].name), u"Shoot");
  EXPECT_EQ(std::u16string(kShortcuts[0].defaultText), u"F12");
  EXPECT_EQ(std::u16string(kShortcuts[13].name), u"Zoom1.0");
  EXPECT_EQ(std::u16string(kShortcuts[22].defaultText), u"Ctrl+\u2191");
  EXPECT_EQ(std::u16string(kShortcuts[23].defaultText), u"Ctrl+\u2193");
  EXPECT_EQ(std::u16string(kShortcuts[24].defaultText), u"Ctrl+\u2190");
  EXPECT_EQ(std::u16string(kShortcuts[25].defaultText), u"Ctrl+\u2192");
  EXPECT_EQ(std::u16string(kShortcuts[28].name), u"LiveviewPreview");
  EXPECT_EQ(std::u16string(kShortcuts[28].defaultText), u"L");
}

TEST_F(WritePropertyTest, FreshProfileFillsBothShortcutKeysAndArrays) {
  auto record = SampleRecord(0);
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  for (size_t slot = 0; slot < BRELON_SHORTCUT_COUNT; ++slot) {
    const std::u16string text = kShortcuts[slot].defaultText;
    EXPECT_EQ(TextAt(record.get(), OFF(Shortcut) + slot * 128, 64), text) << slot;
    EXPECT_EQ(TextAt(record.get(), OFF(ShortcutDefault) + slot * 128, 64), text) << slot;
    EXPECT_EQ(GetText(kShortcutKey, kShortcuts[slot].name), text) << slot;
    EXPECT_EQ(GetText(kShortcutDefaultKey, kShortcuts[slot].name), text) << slot;
    EXPECT_EQ(GetValue(kShortcutKey, kShortcuts[slot].name).data.size(), (text.size() + 1) * 2);
  }
}

TEST_F(WritePropertyTest, UserShortcutsSurviveAndADeletedOneIsRestored) {
  auto record = SampleRecord(0);
  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  PutText(kShortcutKey, u"Shoot", u"Ctrl+S");
  PutText(kShortcutKey, u"ZoomOut", u"Ctrl+-");
  test::DeleteValue(profile_, kShortcutKey, "ZoomIn");
  ASSERT_FALSE(GetValue(kShortcutKey, u"ZoomIn").found);

  ASSERT_EQ(ReadProperty(record.get()), BRELON_OK);
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut), 64), u"Ctrl+S");
  EXPECT_EQ(TextAt(record.get(), OFF(ShortcutDefault), 64), u"F12");
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut) + 12 * 128, 64), u"Ctrl+-");
  EXPECT_EQ(TextAt(record.get(), OFF(Shortcut) + 11 * 128, 64), u"Ctrl+.");
  EXPECT_EQ(GetText(kShortcutKey, u"ZoomIn"), u"Ctrl+.");
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
