// Shutter-speed table: every entry against what its label says (exposure time, label form) and
// against the camera's binary code grids, and the first-match lookups.
#include "sdk/shutter_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

namespace brelon {
namespace {

// The exposure time a label names, worked out from its text alone: "1/N", "S\"", "M'SS\"".
int64_t MicrosFromLabel(const std::string& text) {
  if (text == "BULB") return -1;
  if (text.rfind("1/", 0) == 0) return std::llround(1e6 / std::stod(text.substr(2)));
  const size_t minutes = text.find('\'');
  if (minutes == std::string::npos) return std::llround(std::stod(text) * 1e6);
  return (std::stoll(text.substr(0, minutes)) * 60 + std::stoll(text.substr(minutes + 1))) *
         1000000;
}

// Step k of a binary grid of `steps` steps a stop, in whole us: floor(1e6 * 2^(k / steps)).
int64_t GridCode(int k, int steps) {
  const int stops = k >= 0 ? k / steps : -((steps - 1 - k) / steps);
  const long double fraction = std::exp2(static_cast<long double>(k - stops * steps) / steps);
  return static_cast<int64_t>(std::floor(std::ldexp(1e6L * fraction, stops)));
}

TEST(ShutterTable, EveryEntryAgreesWithItsLabelAndLiesOnTheCamerasGrid) {
  // Positive codes step by 1/6 stop; negative ones are 1/6-stop steps or 1/15 stop either side.
  std::set<int64_t> sixths, fine;
  for (int k = -120; k <= 72; ++k) sixths.insert(GridCode(k, 6));
  for (int k = -600; k <= 360; ++k)
    if (const int r = (k % 5 + 5) % 5; r == 0 || r == 2 || r == 3) fine.insert(GridCode(k, 30));
  constexpr size_t kBulb = 115;  // between the two sections
  int minutes = 0;
  int64_t previousNegative = INT64_MAX;
  for (const ShutterSpeedEntry* e = ShutterTable(); e < ShutterTable() + kShutterTableSize; ++e) {
    const size_t i = e - ShutterTable();
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    ASSERT_NE(e->label, nullptr);
    const std::string text(e->label, e->label + std::char_traits<char16_t>::length(e->label));
    EXPECT_EQ(e->exposureMicros, MicrosFromLabel(text));
    // Lookups answer from the first entry with the code (1587401 is listed twice).
    const ShutterSpeedEntry* first = ShutterTable();
    while (first->code != e->code) ++first;
    int64_t micros = 0;
    EXPECT_TRUE(FindShutterSpeed(e->code) == first && ShutterLabel(e->code) == first->label &&
                ShutterExposureMicros(e->code, &micros) && micros == first->exposureMicros);
    if (text == "BULB" || i == kBulb) {
      EXPECT_TRUE(i == kBulb && e->code == -1);
    } else if (text.find('\'') != std::string::npos) {
      // The minute settings have codes of their own: 64000000 plus 30 a step, in order.
      EXPECT_EQ(e->code, 64000000 + 30 * ++minutes);
    } else {
      EXPECT_NEAR(std::abs(static_cast<double>(e->code)) / e->exposureMicros, 1.0, 0.15);
      if (i < kBulb) {  // between 32 and 64 s whole seconds too, coded as they are
        EXPECT_TRUE(sixths.count(e->code) ||
                    (e->code == e->exposureMicros && e->code > 32000000 && e->code < 64000000));
        continue;
      }
      EXPECT_TRUE(fine.count(-e->code)) << e->code;
      EXPECT_LT(-e->code, previousNegative) << "from the longest time to the shortest";
      previousNegative = -e->code;
    }
  }
  EXPECT_EQ(minutes, 6);
  for (int32_t code : {0, 245, -2, 64000000 + 1, INT32_MIN, INT32_MAX}) {  // unlisted codes
    int64_t micros = 12345;
    EXPECT_TRUE(!ShutterLabel(code) && !ShutterExposureMicros(code, &micros) && micros == 12345)
        << code;
  }
}

}  // namespace
}  // namespace brelon
