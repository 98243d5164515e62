// Shoot against the simulated camera: for each list of release modes, priority mode, mode-3301
// state and failing release, the result, the pictures in the camera on return and the exact
// calls Shoot makes (leaving mode 3301, taking the priority, the releases chosen).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "brelon/brelon.h"
#include "base/context.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

// The calls Shoot makes itself, with their words after the camera handle (a release's output
// addresses left out). The timed release's own queries belong to the loader.
std::string ShootCalls(const test::SimSession& sim) {
  std::string out;
  for (const test::TraceCall& call : sim.Trace()) {
    const std::string fn = call.fn.substr(5);
    if (fn != "GetPriorityMode" && fn != "SetPriorityMode" && fn != "Release" && fn != "SetProp")
      continue;
    out += " " + fn;
    const size_t words = fn == "SetProp" ? call.args.size() - 1 : fn == "GetPriorityMode" ? 0 : 1;
    for (size_t i = 1; i <= words; ++i) {
      char word[16];
      std::snprintf(word, sizeof word, "%c%x", i == 1 ? ':' : ',',
                    static_cast<uint32_t>(test::IntArg(call, i)));
      out += word;
    }
  }
  return out;
}

std::string Modes(int count) {  // a one-step mode and count - 1 half presses
  std::string list = "260";
  for (int i = 1; i < count; ++i) list += ",512";
  return R"("release_modes":[)" + list + "]";
}
std::string Fail(int nth, int error) {
  return R"({"fn":"ZEPK_Release","nth":)" + std::to_string(nth) + R"(,"error":)" +
         std::to_string(error) + "}";
}

TEST(ShootOnSimCamera, ChoosesTheReleasesFromTheCamerasListAndAnswersAsTheyGo) {
  plat::SetTimeScale(10);  // the simulated capture delay is real
  const std::string take = "0 2 GetPriorityMode SetPriorityMode:2 ";  // result, pictures, calls
  const std::string twoStep = take + "Release:200 Release:304 Release:4";
  const std::string refused = "-5 0 GetPriorityMode SetPriorityMode:2";
  const struct {
    std::string camera;  // over the simulator's default K-M3 with modes 0x104, 0x200, 0x304
    std::string faults;
    int32_t hostCount;  // -1: the host has not left the camera in mode 3301
    std::string want;
  } kCases[] = {
      // clang-format off
      {"", "", -1, twoStep},
      // The smallest of each press group by bits 8-15, compared signed; 0x1100 is in none.
      {R"("release_modes":[496,260,767,513,928,768,4352])", "", -1,
       "0 0 GetPriorityMode SetPriorityMode:2 Release:201 Release:300 Release:4"},
      {R"("release_modes":[260,-65280])", "", -1,
       "0 0 GetPriorityMode SetPriorityMode:2 Release:ffff0100"},
      // A mode outside the groups with bit 2 ends the sequence itself.
      {R"("release_modes":[260,512,772,12])", "", -1, take + "Release:200 Release:304"},
      {R"("release_modes":[260,512,772,9])", "", -1, twoStep},
      {R"("priority_mode":2,"release_modes":[12,260,20])", "", -1, "0 2 GetPriorityMode Release:104"},
      {Modes(511), "", -1, take + "Release:104"},
      {Modes(512), "", -1, refused},
      {R"("release_modes":[512,772])", "", -1, refused},
      // A slow picture with a code outside the shutter table: the wait gives up at once, and
      // a timed-out release counts as success.
      {R"("shutter_code":245,"capture":{"delay_ms":60000})", "", -1, "0 0" + twoStep.substr(3)},
      // The button never stays half pressed; the last failure decides the result.
      {"", Fail(2, 4102), -1, "-100 0" + twoStep.substr(3)},
      {"", Fail(2, 4102) + "," + Fail(3, 7), -1, "-5 0" + twoStep.substr(3)},
      {"", Fail(1, 7), -1, refused + " Release:200"},
      {R"("release_modes":[260])", Fail(1, 4102), -1, "-100 0" + take.substr(3) + "Release:104"},
      // Mode 3301 is left first; listed models also get a host count of one.
      {"", "", 0, "0 2 SetProp:3302,0 SetProp:3327,1,1" + twoStep.substr(3)},
      {"", "", 1, "0 2 SetProp:3302,0" + twoStep.substr(3)},
      {R"("model":"K-M1")", "", 0, "0 2 SetProp:3302,0" + twoStep.substr(3)},
      // clang-format on
  };
  for (const auto& c : kCases) {
    test::ConnectedContext camera(R"({"cameras":[{)" + c.camera + R"(}],"faults":[)" + c.faults +
                                  "]}");
    ASSERT_TRUE(camera.Connected());
    plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in between
    camera.Sim().ClearTrace();
    PluginContext* ctx = camera.Context();
    ctx->lMode3301 = c.hostCount >= 0;
    ctx->lHostCount = c.hostCount;
    const int32_t result = Shoot(camera.Handle());
    const int pictures = camera.Sim().Control(R"({"cmd":"pending","camera":0})");
    EXPECT_EQ(std::to_string(result) + " " + std::to_string(pictures) + ShootCalls(camera.Sim()),
              c.want)
        << c.camera << " " << c.faults << " " << c.hostCount;
    EXPECT_EQ(ctx->lRearm3301, c.hostCount >= 0 ? 1 : 0);
  }
  plat::SetTimeScale(1);
}

TEST(ShootWithoutCamera, NoContextOrNoConnectionGivesMinusFourAndCallsNothing) {
  EXPECT_EQ(Shoot(nullptr), BRELON_E_NO_CONTEXT);
  void* none = nullptr;
  EXPECT_EQ(Shoot(&none), BRELON_E_NO_CONTEXT);
  test::ConnectedContext idle(R"({"cameras":[]})", 200);
  ASSERT_EQ(idle.InitResult(), BRELON_OK);
  EXPECT_EQ(Shoot(idle.Handle()), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(ShootCalls(idle.Sim()), "");
}

}  // namespace
}  // namespace brelon
