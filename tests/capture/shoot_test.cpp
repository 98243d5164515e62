// Shutter release: the release-mode choice and the model list on their own, then Shoot against
// the simulated camera, asserting the exact sequence of property, priority and release calls.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "brelon/brelon.h"
#include "capture/capture.h"

namespace brelon {
namespace {

ReleaseModeChoice Choose(const std::vector<int32_t>& modes) {
  return ChooseReleaseModes(modes.data(), static_cast<int32_t>(modes.size()));
}

TEST(ReleaseModeChoice, SortsModesIntoPressGroupsByBits8To15) {
  const ReleaseModeChoice c = Choose({0x104, 0x200, 0x304});
  EXPECT_EQ(c.oneStep, 0x104);
  EXPECT_EQ(c.halfPress, 0x200);
  EXPECT_EQ(c.fullPress, 0x304);
  EXPECT_EQ(c.extra, kReleaseNone);
}

TEST(ReleaseModeChoice, TakesTheSmallestOfEachGroupBySignedComparison) {
  const ReleaseModeChoice c = Choose({0x1F0, 0x104, 0x2FF, 0x201, 0x3A0, 0x300, 0x1100});
  EXPECT_EQ(c.oneStep, 0x104);
  EXPECT_EQ(c.halfPress, 0x201);
  EXPECT_EQ(c.fullPress, 0x300);
  // 0x1100 has bits 8-15 = 0x11: no press group, no bit 2.
  EXPECT_EQ(c.extra, kReleaseNone);

  // Bits 8-15 of a negative mode can still name a group; it then wins as the smallest.
  const int32_t negativeOneStep = static_cast<int32_t>(0xFFFF0100u);
  EXPECT_EQ(Choose({0x104, negativeOneStep}).oneStep, negativeOneStep);
}

TEST(ReleaseModeChoice, ExtraModeIsTheLastListedOutsideTheGroupsWithBit2) {
  EXPECT_EQ(Choose({0x104, 0x0C, 0x200, 0x304}).extra, 0x0C);
  EXPECT_EQ(Choose({0x0C, 0x14, 0x08, 0x104}).extra, 0x14);  // 0x08 lacks bit 2
  EXPECT_EQ(Choose({0x104, 0x200, 0x304, 0x400}).extra, kReleaseNone);
  // Modes of the press groups never count as extra, whatever their bit 2.
  EXPECT_EQ(Choose({0x104, 0x204, 0x304}).extra, kReleaseNone);
}

TEST(ReleaseModeChoice, WithoutAOneStepModeTheSentinelRemains) {
  const ReleaseModeChoice c = Choose({0x200, 0x304});
  EXPECT_EQ(c.oneStep, kReleaseNoOneStep);
  EXPECT_EQ(c.halfPress, 0x200);
  EXPECT_EQ(c.fullPress, 0x304);
  EXPECT_EQ(Choose({}).oneStep, kReleaseNoOneStep);
}

TEST(HostCountModels, MatchExactlyAndCaseSensitively) {
  for (const char* model :
       {"VMZ 40A", "VMZ 40B", "VMZ 200", "K-N1", "K-Rel2", "K-Rel3", "K-M3", "K-M2"}) {
    EXPECT_TRUE(NeedsHostCountOnRelease(model)) << model;
  }
  for (const char* model : {"K-M1", "k-m3", "K-M3 ", "VMZ 40", "", "K-Rel"}) {
    EXPECT_FALSE(NeedsHostCountOnRelease(model)) << model;
  }
}

TEST(HostCountModels, AnUnterminatedModelFieldIsReadNoFurtherThanItsBytes) {
  char model[sizeof(DeviceInformation::model)];
  std::memset(model, 'K', sizeof(model));
  EXPECT_FALSE(NeedsHostCountOnRelease(model));
}

}  // namespace
}  // namespace brelon
