#include "tests/support/images_test_platform.h"

namespace kestrune::testing {

std::unique_ptr<platform::Platform> CreateImagesHostPlatform(const std::filesystem::path& folder,
                                                             std::string& tempText) {
  // Windows paths need no mapping; the wrapper reports this folder as the
  // temporary one.
  tempText = ImagesProgramSpelling(folder) + "\\";
  return platform::CreateHostPlatform();
}

}  // namespace kestrune::testing
