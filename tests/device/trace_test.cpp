#include "device/trace.h"

#include <gtest/gtest.h>

#include <vector>

#include "device/commands.h"
#include "device/volume_map.h"
#include "tests/support/scripted_transport.h"

namespace kestrune::device {
namespace {

using testing::ScriptedVolumes;

TEST(TraceTest, WritesOneLinePerCommandWithItsOutcome) {
  ScriptedVolumes volumes;
  volumes.Attach('E')
      .Then({Outcome::kGood, 0})
      .Then({Outcome::kScsiStatus, 2})
      .Then({Outcome::kGood, 0})
      .Then({Outcome::kOsError, 0});
  std::vector<std::string> lines;
  TracingVolumes tracing(volumes, [&](const std::string& line) { lines.push_back(line); });
  DeviceLink link(tracing);
  VolumeHandle handle = kNoVolume;
  ASSERT_TRUE(link.OpenVolume('E', handle));
  uint8_t buffer[65536];
  EXPECT_TRUE(Inquiry(link, buffer, 180, handle));
  EXPECT_FALSE(ReadCapacity(link, buffer, 8, handle));
  EXPECT_TRUE(InitFlash(link, 4, handle));
  EXPECT_FALSE(WriteFlashPages(link, 0x100, 32, 65536, buffer, handle));

  std::vector<std::string> expected = {
      "E: 12 00 00 00 b4 00 | in 180 | timeout 20 | good",
      "E: 25 00 00 00 00 00 00 00 00 00 | in 8 | timeout 2 | status 02",
      "E: fd 11 04 00 00 00 00 00 00 00 | none 0 | timeout 20000 | good",
      "E: fa 00 00 00 01 00 00 00 20 00 | out 65536 | timeout 5000 | refused",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(tracing.NeedsPrivilege());
}

TEST(TraceTest, FailedOpenIsPassedOnUntraced) {
  ScriptedVolumes volumes;
  volumes.Attach('E');
  int lines = 0;
  TracingVolumes tracing(volumes, [&](const std::string&) { ++lines; });
  EXPECT_EQ(tracing.Open('X'), nullptr);
  EXPECT_EQ(lines, 0);
}

TEST(VolumeMapTest, SendsEachLetterToItsOpener) {
  ScriptedVolumes simulated;
  simulated.Attach('E');
  simulated.Attach('F');
  ScriptedVolumes real;
  real.Attach('E');
  real.Attach('G');
  real.needsPrivilege = true;
  VolumeMap map;
  map.Map('e', simulated);
  EXPECT_FALSE(map.NeedsPrivilege());
  map.Map('G', real);
  EXPECT_TRUE(map.NeedsPrivilege());

  EXPECT_NE(map.Open('E'), nullptr);
  EXPECT_EQ(simulated.openAttempts.size(), 1u);
  EXPECT_EQ(map.Open('F'), nullptr);  // not mapped, no fallback
  EXPECT_NE(map.Open('G'), nullptr);
  EXPECT_EQ(real.openAttempts.size(), 1u);
  map.SetFallback(&simulated);
  EXPECT_NE(map.Open('F'), nullptr);
  EXPECT_EQ(simulated.openAttempts.size(), 2u);
}

// Stand-in images are refused per letter, so a run that mixes simulated
// drives and device nodes must tell each letter's kind, also through the
// trace that wraps the map.
TEST(VolumeMapTest, TellsEachLetterWhetherItIsARealDevice) {
  ScriptedVolumes simulated;
  ScriptedVolumes real;
  real.needsPrivilege = true;
  VolumeMap map;
  map.Map('E', simulated);
  map.Map('g', real);
  TracingVolumes tracing(map, [](const std::string&) {});
  EXPECT_FALSE(tracing.ServesRealDevice('E'));
  EXPECT_TRUE(tracing.ServesRealDevice('G'));
  EXPECT_FALSE(tracing.ServesRealDevice('H')) << "no opener, no device";
  map.SetFallback(&real);
  EXPECT_TRUE(tracing.ServesRealDevice('H'));
  EXPECT_FALSE(tracing.ServesRealDevice('e'));
}

}  // namespace
}  // namespace kestrune::device
