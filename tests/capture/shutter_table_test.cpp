// Shutter-speed table: every entry checked against what its label says (exposure time, code
// within the camera's rounding, label form), the section layout, and the first-match lookups
// that the condition report and the timed release rely on.
#include "sdk/shutter_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace brelon {
namespace {

// The exposure time a label names, worked out from its text alone: "1/N", "S\"", "M'SS\"".
int64_t MicrosFromLabel(const std::u16string& label) {
  if (label == u"BULB") return -1;
  const std::string text(label.begin(), label.end());
  if (text.rfind("1/", 0) == 0) return std::llround(1e6 / std::stod(text.substr(2)));
  if (const size_t minutes = text.find('\''); minutes != std::string::npos) {
    return (std::stoll(text.substr(0, minutes)) * 60 + std::stoll(text.substr(minutes + 1))) *
           1000000;
  }
  return std::llround(std::stod(text) * 1e6);
}

std::u16string Label(int32_t code) {
  const char16_t* label = ShutterLabel(code);
  return label ? std::u16string(label) : std::u16string(u"<none>");
}

int64_t Micros(int32_t code) {
  int64_t micros = 0;
  EXPECT_TRUE(ShutterExposureMicros(code, &micros)) << "code " << code;
  return micros;
}

TEST(ShutterTable, EveryEntryAgreesWithItsLabel) {
  size_t marked = 0;
  for (size_t i = 0; i < kShutterTableSize; ++i) {
    const ShutterSpeedEntry& e = ShutterTable()[i];
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    ASSERT_NE(e.label, nullptr);
    const std::u16string label = e.label;
    EXPECT_EQ(e.exposureMicros, MicrosFromLabel(label));
    // Codes are the camera's own binary exposure times: close to, but not, the nominal ones.
    // The minute settings have codes of their own, 64000000 plus 30 a step.
    const bool minuteCode =
        e.code > 64000000 && e.code <= 64000180 && (e.code - 64000000) % 30 == 0;
    if (label != u"BULB" && !minuteCode) {
      EXPECT_NEAR(std::abs(static_cast<double>(e.code)) / e.exposureMicros, 1.0, 0.15) << e.code;
    }
    // Exactly one seconds mark, at the end, on every label that is neither fraction nor bulb.
    const bool mark = label.back() == u'"';
    EXPECT_EQ(mark, label.rfind(u"1/", 0) != 0 && label != u"BULB");
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

TEST(ShutterTable, LookupsFindTheFirstMatchingCodeAndNothingForUnlistedOnes) {
  const struct {
    int32_t code;
    const char16_t* label;
    int64_t micros;
  } kCases[] = {
      {15, u"1/64000", 16},
      {-15, u"1/64000", 16},  // fastest, in both sections
      {-244, u"1/4000", 250},
      {976, u"1/1000", 1000},
      {44194, u"1/20", 50000},
      {49606, u"1/20", 50000},
      {64000030, u"2'00\"", 120000000},
      {64000180, u"60'00\"", 3600000000LL},  // beyond 32 bits
      {-1, u"BULB", -1},
      {1587401, u"1.5\"", 1500000},  // listed twice: the first wins
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Label(c.code), c.label) << c.code;
    EXPECT_EQ(Micros(c.code), c.micros) << c.code;
  }
  EXPECT_EQ(FindShutterSpeed(1587401) - ShutterTable(), 66);

  // Unlisted codes give nothing and leave the output alone.
  for (int32_t code : {0, 245, -2, 64000000 + 1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(ShutterLabel(code), nullptr) << code;
    int64_t micros = 12345;
    EXPECT_FALSE(ShutterExposureMicros(code, &micros)) << code;
    EXPECT_EQ(micros, 12345) << code;
  }
}

}  // namespace
}  // namespace brelon
