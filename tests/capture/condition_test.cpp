// Camera-condition report: the text rules on their own (aperture, white balance, shutter kind),
// then GetCameraCondition against the simulated camera, checking the record, the result rule,
// the log lines and the copy-out in the not-connected and no-context cases.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "brelon/brelon.h"
#include "capture/capture.h"
#include "capture/shutter_table.h"

namespace brelon {
namespace {

std::u16string Aperture(int32_t hundredths) {
  char16_t text[kConditionTextUnits];
  FormatApertureText(hundredths, text, kConditionTextUnits);
  return text;
}

TEST(ApertureText, WholeNumbersDropTheDecimalFromTenUp) {
  EXPECT_EQ(Aperture(0), u"0");
  EXPECT_EQ(Aperture(100), u"1.0");
  EXPECT_EQ(Aperture(400), u"4.0");
  EXPECT_EQ(Aperture(1000), u"10");
  EXPECT_EQ(Aperture(1100), u"11");
  EXPECT_EQ(Aperture(1400), u"14");
}

TEST(ApertureText, TenthsAndHundredthsUseTheirShortestExactForm) {
  EXPECT_EQ(Aperture(280), u"2.8");
  EXPECT_EQ(Aperture(350), u"3.5");
  EXPECT_EQ(Aperture(1120), u"11.2");
  EXPECT_EQ(Aperture(1250), u"12.5");
  EXPECT_EQ(Aperture(125), u"1.25");
  EXPECT_EQ(Aperture(50), u"0.5");
}

TEST(ApertureText, SingleDigitHundredthsAreZeroPaddedSoTheyReadAsTheRightNumber) {
  EXPECT_EQ(Aperture(105), u"1.05");
  EXPECT_EQ(Aperture(1009), u"10.09");
  EXPECT_EQ(Aperture(7), u"0.07");
}

TEST(ApertureText, NegativeValuesCarryOneLeadingSign) {
  EXPECT_EQ(Aperture(-280), u"-2.8");
  EXPECT_EQ(Aperture(-1100), u"-11");
  EXPECT_EQ(Aperture(INT32_MIN), u"-21474836.48");
}

TEST(ApertureText, RespectsTheCallersCapacity) {
  char16_t text[3] = {u'x', u'x', u'x'};
  FormatApertureText(1250, text, 3);
  EXPECT_EQ(std::u16string(text), u"12");
}

TEST(WhiteBalanceText, NamesEveryListedModeAndNothingElse) {
  const struct {
    int32_t mode;
    const char16_t* text;
  } kCases[] = {{0x0002, u"AUTO"},  {0x0004, u"Daylight"},
                {0x0006, u"INC."},  {0x0008, u"UW"},
                {0x8001, u"FL1"},   {0x8002, u"FL2"},
                {0x8003, u"FL3"},   {0x8006, u"SHADE"},
                {0x8008, u"CUS.1"}, {0x8009, u"CUS.2"},
                {0x800A, u"CUS.3"}, {0x8007, u""},
                {5, u""},           {0, u""},
                {0x8004, u""},      {0x800B, u""},
                {-1, u""}};
  for (const auto& c : kCases) {
    EXPECT_EQ(std::u16string(WhiteBalanceLabel(c.mode)), c.text) << "mode " << c.mode;
  }
}

TEST(WhiteBalanceText, ColourTemperatureIsKelvinWithSuffix) {
  char16_t text[kConditionTextUnits];
  FormatColorTemperature(6500, text, kConditionTextUnits);
  EXPECT_EQ(std::u16string(text), u"6500K");
  FormatColorTemperature(2500, text, kConditionTextUnits);
  EXPECT_EQ(std::u16string(text), u"2500K");
}

TEST(ShutterKind, FollowsTheLabelForm) {
  EXPECT_EQ(ShutterTextKind(u"1/64000"), kShutterKindFraction);
  EXPECT_EQ(ShutterTextKind(u"1/2.5"), kShutterKindFraction);
  EXPECT_EQ(ShutterTextKind(u"1\""), kShutterKindSeconds);
  EXPECT_EQ(ShutterTextKind(u"2'00\""), kShutterKindSeconds);
  EXPECT_EQ(ShutterTextKind(u"BULB"), kShutterKindOther);
  EXPECT_EQ(ShutterTextKind(u""), kShutterKindOther);
}

TEST(ShutterKind, EveryTableLabelHasTheKindItsFormImplies) {
  const ShutterSpeedEntry* table = ShutterTable();
  int fractions = 0, seconds = 0, others = 0;
  for (size_t i = 0; i < kShutterTableSize; ++i) {
    switch (ShutterTextKind(table[i].label)) {
      case kShutterKindFraction:
        ++fractions;
        break;
      case kShutterKindSeconds:
        ++seconds;
        break;
      default:
        ++others;
        EXPECT_EQ(std::u16string(table[i].label), u"BULB");
    }
  }
  EXPECT_EQ(seconds, 156);
  EXPECT_EQ(others, 1);
  EXPECT_EQ(fractions + seconds + others, static_cast<int>(kShutterTableSize));
}

}  // namespace
}  // namespace brelon
