// Shutter-speed table: the whole table against the reference listing, entry by entry, and the
// first-match lookups that the condition report and the timed release rely on.
#include "capture/shutter_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace brelon {
namespace {

struct Expected {
  int32_t code;
  int64_t micros;
  const char16_t* label;
};

constexpr Expected kExpected[] = {
#include "shutter_table_expected.inc"
};

std::u16string Label(int32_t code) {
  const char16_t* label = ShutterLabel(code);
  return label ? std::u16string(label) : std::u16string(u"<none>");
}

int64_t Micros(int32_t code) {
  int64_t micros = 0;
  EXPECT_TRUE(ShutterExposureMicros(code, &micros)) << "code " << code;
  return micros;
}

TEST(ShutterTable, MatchesReferenceListingEntryByEntry) {
  static_assert(std::size(kExpected) == kShutterTableSize);
  const ShutterSpeedEntry* table = ShutterTable();
  for (size_t i = 0; i < kShutterTableSize; ++i) {
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    EXPECT_EQ(table[i].code, kExpected[i].code);
    EXPECT_EQ(table[i].exposureMicros, kExpected[i].micros);
    ASSERT_NE(table[i].label, nullptr);
    EXPECT_EQ(std::u16string(table[i].label), std::u16string(kExpected[i].label));
  }
}

TEST(ShutterTable, SecondsMarkOnEveryLabelThatIsNeitherFractionNorBulb) {
  size_t marked = 0;
  for (size_t i = 0; i < kShutterTableSize; ++i) {
    std::u16string label = ShutterTable()[i].label;
    bool fraction = label.rfind(u"1/", 0) == 0;
    bool bulb = label == u"BULB";
    bool mark = !label.empty() && label.back() == u'"';
    EXPECT_EQ(mark, !fraction && !bulb) << "entry " << i + 1;
    // Exactly one mark, at the end.
    EXPECT_EQ(label.find(u'"'), mark ? label.size() - 1 : std::u16string::npos);
    marked += mark;
  }
  EXPECT_EQ(marked, 156u);
}

TEST(ShutterTable, SectionsAreOrderedByExposureTimeWithBulbBetween) {
  const ShutterSpeedEntry* table = ShutterTable();
  for (size_t i = 1; i < 115; ++i) {
    EXPECT_GE(table[i].exposureMicros, table[i - 1].exposureMicros) << "entry " << i + 1;
    EXPECT_GT(table[i].code, 0);
  }
  EXPECT_EQ(table[115].code, -1);
  EXPECT_EQ(table[115].exposureMicros, -1);
  for (size_t i = 117; i < kShutterTableSize; ++i) {
    EXPECT_LE(table[i].exposureMicros, table[i - 1].exposureMicros) << "entry " << i + 1;
    EXPECT_LT(table[i].code, 0);
  }
}

TEST(ShutterTable, FastestSpeedFoundInBothSections) {
  EXPECT_EQ(Label(15), u"1/64000");
  EXPECT_EQ(Micros(15), 16);
  EXPECT_EQ(Label(-15), u"1/64000");
  EXPECT_EQ(Micros(-15), 16);
}

TEST(ShutterTable, TruncatedPowerOfTwoCodeMapsToNominalTime) {
  EXPECT_EQ(Label(244), u"1/4000");
  EXPECT_EQ(Micros(244), 250);
  EXPECT_EQ(Label(-244), u"1/4000");
  EXPECT_EQ(Micros(-244), 250);
  EXPECT_EQ(Label(976), u"1/1000");
  EXPECT_EQ(Micros(976), 1000);
}

TEST(ShutterTable, MinuteCodesCarryMinuteLabels) {
  EXPECT_EQ(Label(64000030), u"2'00\"");
  EXPECT_EQ(Micros(64000030), 120000000);
  EXPECT_EQ(Label(64000180), u"60'00\"");
  EXPECT_EQ(Micros(64000180), 3600000000LL);  // beyond 32 bits
}

TEST(ShutterTable, BulbHasNoExposureTime) {
  EXPECT_EQ(Label(-1), u"BULB");
  EXPECT_EQ(Micros(-1), -1);
}

TEST(ShutterTable, DuplicateCodeAlwaysYieldsTheFirstEntry) {
  const ShutterSpeedEntry* entry = FindShutterSpeed(1587401);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry - ShutterTable(), 66);  // entry 67
  EXPECT_EQ(std::u16string(entry->label), u"1.5\"");
  EXPECT_EQ(entry->exposureMicros, 1500000);
  EXPECT_EQ(Label(1587401), u"1.5\"");
  EXPECT_EQ(Micros(1587401), 1500000);
}

TEST(ShutterTable, DuplicateLabelsKeepTheirOwnCodes) {
  EXPECT_EQ(Label(44194), u"1/20");
  EXPECT_EQ(Label(49606), u"1/20");
}

TEST(ShutterTable, UnlistedCodesGiveNothingAndLeaveOutputAlone) {
  for (int32_t code : {0, 245, -2, 64000000 + 1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(FindShutterSpeed(code), nullptr) << code;
    EXPECT_EQ(ShutterLabel(code), nullptr) << code;
    int64_t micros = 12345;
    EXPECT_FALSE(ShutterExposureMicros(code, &micros)) << code;
    EXPECT_EQ(micros, 12345) << code;
  }
}

}  // namespace
}  // namespace brelon
