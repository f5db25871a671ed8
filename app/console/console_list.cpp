#include "app/console/console_list.h"

#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/console/console_json.h"
#include "app/console/console_summary.h"
#include "app/console/console_view.h"
#include "app/session/host_devices.h"
#include "app/session/host_disks.h"

namespace kestrune::console {

namespace {

// The letter a candidate gets in a run with these options: --drive and
// --simulate replace the sysfs letters, so a disk no --drive names gets none.
char LetterOf(const session::HostDisk& candidate, const ConsoleOptions& options) {
  for (const DriveArgument& drive : options.drives) {
    std::string problem;
    if (!drive.simulated && session::ResolveDriveNode(drive.path, problem) == candidate.node) {
      return drive.letter;
    }
  }
  return options.drives.empty() && !options.simulate ? candidate.letter : 0;
}

std::string SizeText(uint64_t bytes) {
  char text[48];
  std::snprintf(text, sizeof text, "%.2fMB", static_cast<double>(bytes) / 1024.0 / 1024.0);
  return text;
}

std::string Shown(const std::string& text) {
  return text.empty() ? std::string("-") : PrintableText(text);
}

}  // namespace

int RunList(const ConsoleOptions& options, const ConsoleStreams& io, const std::string& sysfsRoot,
            const std::string& devRoot) {
  std::vector<session::HostDisk> candidates;
  std::string problem;
  if (!session::ListHostDisks(sysfsRoot, devRoot, candidates, problem)) {
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

  const int code = candidates.empty() ? kExitNoDevice : kExitDone;
  if (options.json) {
    Json devices = Json::array();
    for (const session::HostDisk& c : candidates) {
      const char letter = LetterOf(c, options);
      devices.push_back({{"node", c.node},
                         {"letter", letter != 0 ? Json(std::string(1, letter)) : Json()},
                         {"vendor", c.vendor},
                         {"model", c.model},
                         {"serial", c.serial},
                         {"sizeBytes", c.sizeBytes},
                         {"removable", c.removable},
                         {"usbPath", c.usbPath}});
      // What Windows answered, kept for a bench's record.
      if (!c.instanceId.empty()) {
        devices.back()["windows"] = {{"instanceId", c.instanceId},
                                     {"parents", c.parents},
                                     {"locationPaths", c.locationPaths}};
      }
    }
    // list opens no drive: it shows no box and keeps no file.
    Json document = DocumentHead(options);
    document["devices"] = devices;
    document["messages"] = Json::array();
    document["files"] = Json::array();
    PrintDocument(io.out, std::move(document), {}, code);
  } else if (candidates.empty()) {
    // A bare header would read as a list that failed to fill.
    io.out << "No disk that may be a flash drive: " << session::HostDiskListName(sysfsRoot)
           << " lists no removable or USB SCSI disk." << std::endl;
  } else {
    std::vector<std::vector<std::string>> rows{
        {"letter", "node", "size", "removable", "usb", "vendor", "model", "serial"}};
    for (const session::HostDisk& c : candidates) {
      const char letter = LetterOf(c, options);
      rows.push_back({letter != 0 ? std::string(1, letter) + ":" : "-", Shown(c.node),
                      SizeText(c.sizeBytes), c.removable ? "yes" : "no", Shown(c.usbPath),
                      Shown(c.vendor), Shown(c.model), Shown(c.serial)});
    }
    PrintColumns(io.out, rows);
  }
  return code;
}

}  // namespace kestrune::console
