#include "app/console/console_record.h"

#include <cstdio>
#include <ostream>

#include "simulator/virtual_drive.h"

namespace kestrune::console {

Json DivergenceJson(const device::Divergence& divergence) {
  Json json = Json::object();
  json["command"] = divergence.command;
  json["recorded"] = divergence.recorded;
  json["run"] = divergence.sent;
  return json;
}

int RunExportDrive(const ConsoleOptions& options, const ConsoleStreams& io) {
  ExportEnd end(options, io.out, io.err);
  const session::RecordingExport made =
      session::ExportRecordedDrive(options.drives, options.exportFile);
  for (const std::string& warning : made.warnings) end.Say(warning);
  if (!made.done) return end.Fail(kExitUsage, made.problem);
  const sim::ExportedDrive& drive = *made.drive;
  char controller[8];
  std::snprintf(controller, sizeof controller, "0x%X", drive.description.controllerId);
  // With --json stdout holds the document alone.
  (options.json ? io.err : io.out)
      << made.letter << ": controller " << controller << ", ISP "
      << (drive.healthy ? "healthy" : "broken") << ", " << drive.pagesRead
      << " pages read: written to " << options.exportFile << " and "
      << sim::FlashPathFor(options.exportFile) << std::endl;
  end.Exported(made.letter, made.source, controller, drive.healthy, drive.pagesRead, made.commands);
  end.Wrote(options.exportFile);
  end.Wrote(sim::FlashPathFor(options.exportFile));
  return end.End(kExitDone);
}

}  // namespace kestrune::console
