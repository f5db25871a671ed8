#include "app/settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

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

// The dialog takes a folder named images beside its program, spelled as
// the program's own path is.
TEST(ImagesBesideProgram, IsSpelledAsTheProgramsPath) {
  EXPECT_EQ(ImagesBesideProgram("C:\\Tools\\Kestrune\\kestrune.exe"),
            "C:\\Tools\\Kestrune\\images");
  EXPECT_EQ(ImagesBesideProgram("/opt/kestrune/kestrune.exe"), "/opt/kestrune/images");
  EXPECT_EQ(ImagesBesideProgram("kestrune.exe"), "");
}

// The setting wins; else the folder beside the program once one stands
// there; else the images built into the program.
TEST(DialogImagesFolder, TakesTheSettingThenTheFolderBesideTheProgram) {
  namespace fs = std::filesystem;
  const fs::path base =
      fs::temp_directory_path() /
      ("kestrune-dialog-images-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(base);
  const std::string beside = ImagesBesideProgram((base / "kestrune.exe").string());
  const std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform();
  Settings settings;
  EXPECT_EQ(DialogImagesFolder(settings, beside, *host), "");
  fs::create_directory(base / "images");
  EXPECT_EQ(DialogImagesFolder(settings, beside, *host), (base / "images").string());
  settings.imagesFolder = (base / "elsewhere").string();
  EXPECT_EQ(DialogImagesFolder(settings, beside, *host), settings.imagesFolder);
  fs::remove_all(base);
}

}  // namespace
}  // namespace kestrune
