#include "app/settings.h"

#include <optional>

#include "platform/platform.h"

namespace kestrune {

namespace {

bool SwitchedOn(const char* variable) {
  return platform::ReadEnvironmentVariable(variable) == std::optional<std::string>("1");
}

}  // namespace

Settings ReadSettings() {
  Settings settings;
  settings.imagesFolder = platform::ReadEnvironmentVariable(kImagesVariable).value_or("");
  settings.allowStandInImages = SwitchedOn(kAllowStandInsVariable);
  settings.simulatorRealTime = SwitchedOn(kSimRealTimeVariable);
  return settings;
}

}  // namespace kestrune
