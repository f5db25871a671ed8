#include "app/settings.h"

#include <optional>

#include "platform/folder.h"
#include "platform/platform.h"

namespace kestrune {

namespace {

bool SwitchedOn(const char* variable) {
  return platform::ReadEnvironmentVariable(variable) == std::optional<std::string>("1");
}

}  // namespace

std::string ImagesBesideProgram(const std::string& modulePath) {
  const size_t separator = modulePath.find_last_of("\\/");
  if (separator == std::string::npos) return {};
  return modulePath.substr(0, separator + 1) + kImagesBesideProgram;
}

std::string DialogImagesFolder(const Settings& settings, const std::string& besideProgram,
                               platform::Platform& platform) {
  if (!settings.imagesFolder.empty()) return settings.imagesFolder;
  if (besideProgram.empty()) return {};
  const platform::FolderOpening opening =
      platform.OpenFolder(besideProgram, platform::FolderRule::kPrivate);
  const bool there = opening.folder || opening.check.refusal != platform::FolderRefusal::kMissing;
  return there ? besideProgram : std::string();
}

Settings ReadSettings() {
  Settings settings;
  settings.imagesFolder = platform::ReadEnvironmentVariable(kImagesVariable).value_or("");
  settings.allowStandInImages = SwitchedOn(kAllowStandInsVariable);
  settings.simulatorRealTime = SwitchedOn(kSimRealTimeVariable);
  return settings;
}

}  // namespace kestrune
