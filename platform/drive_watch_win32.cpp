#include "platform/drive_watch.h"

namespace kestrune::platform {

std::unique_ptr<DriveWatch> WatchUsbDisks(bool includePresent, std::string& problem) {
  (void)includePresent;
  problem = "watching for drives plugged in needs Linux's udev";
  return nullptr;
}

}  // namespace kestrune::platform
