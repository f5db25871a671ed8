#include <ostream>

#include "app/console/console_json.h"
#include "app/console/console_list.h"

namespace kestrune::console {

int RunList(const ConsoleOptions& options, const ConsoleStreams& io, const std::string& sysfsRoot,
            const std::string& devRoot) {
  (void)sysfsRoot;
  (void)devRoot;
  const std::string problem =
      "list reads the Linux sysfs; on Windows a drive is reached by its own letter";
  io.err << "kestrune: " << problem << std::endl;
  if (options.json) {
    Json document = DocumentHead(options);
    document["devices"] = Json::array();
    document["messages"] = Json::array();
    document["files"] = Json::array();
    PrintDocument(io.out, std::move(document), {problem}, kExitUsage);
  }
  return kExitUsage;
}

}  // namespace kestrune::console
