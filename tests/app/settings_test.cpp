#include "app/settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/scoped_env.h"

namespace kestrune {
namespace {

// What main() takes from the environment: a folder as it is named, and a
// switch only when it is "1".
struct SettingCase {
  const char* name;
  const char* variable;
  std::optional<std::string> value;
  const char* expected;  // Shown(settings)
};

std::string Shown(const Settings& s) {
  return "images=" + s.imagesFolder + " standins=" + (s.allowStandInImages ? "1" : "0") +
         " realtime=" + (s.simulatorRealTime ? "1" : "0");
}

class SettingsFromEnvironment : public ::testing::TestWithParam<SettingCase> {};

TEST_P(SettingsFromEnvironment, AreReadAsMainTakesThem) {
  const SettingCase& c = GetParam();
  testing::ScopedEnv images(kImagesVariable, std::nullopt);
  testing::ScopedEnv standIns(kAllowStandInsVariable, std::nullopt);
  testing::ScopedEnv realTime(kSimRealTimeVariable, std::nullopt);
  testing::ScopedEnv chosen(c.variable, c.value);
  EXPECT_EQ(Shown(ReadSettings()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, SettingsFromEnvironment,
    ::testing::Values(
        SettingCase{"None", kImagesVariable, std::nullopt, "images= standins=0 realtime=0"},
        SettingCase{"ImagesFolder", kImagesVariable, "/srv/isp images",
                    "images=/srv/isp images standins=0 realtime=0"},
        SettingCase{"StandInsOn", kAllowStandInsVariable, "1", "images= standins=1 realtime=0"},
        SettingCase{"StandInsYesIsNotOne", kAllowStandInsVariable, "yes",
                    "images= standins=0 realtime=0"},
        SettingCase{"RealTimeOn", kSimRealTimeVariable, "1", "images= standins=0 realtime=1"},
        SettingCase{"RealTimeZero", kSimRealTimeVariable, "0", "images= standins=0 realtime=0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune
