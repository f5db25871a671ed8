#include <ostream>

#include "app/console/console_list.h"

namespace kestrune::console {

int RunList(const ConsoleOptions& options, const ConsoleStreams& io, const std::string& sysfsRoot,
            const std::string& devRoot) {
  (void)options;
  (void)sysfsRoot;
  (void)devRoot;
  io.err << "kestrune: list reads the Linux sysfs; on Windows a drive is reached by its own "
            "letter"
         << std::endl;
  return kExitUsage;
}

}  // namespace kestrune::console
