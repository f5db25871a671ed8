#include "platform/posix_platform.h"
#include "tests/support/images_test_platform.h"

namespace kestrune::testing {

std::unique_ptr<platform::Platform> CreateImagesHostPlatform(const std::filesystem::path& folder,
                                                             std::string& tempText) {
  platform::PosixOptions options;
  options.tempFolder = folder.string();
  options.cDriveFolder = folder.string();
  options.realSleep = false;
  auto host = std::make_unique<platform::PosixPlatform>(options);
  char text[260] = {};
  host->GetTempPath(text, sizeof text);  // "T:\", the temporary folder's drive
  tempText = text;
  return host;
}

}  // namespace kestrune::testing
