// Recording a run (--record), replaying one (--drive X=FILE.krec) and
// making a virtual drive of a recording (export-drive), as the console
// shows them; the session wires them to the drives.
#pragma once

#include "app/console/console_json.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/session/recording_wiring.h"
#include "recording/replay.h"

namespace kestrune::console {

using session::MarkReplays;
using session::RecordingPathFor;
using session::ReplayDrives;
using session::UncheckedWarning;

// The divergence as the JSON document gives it.
Json DivergenceJson(const device::Divergence& divergence);

// export-drive: the whole command. Returns the exit code.
int RunExportDrive(const ConsoleOptions& options, const ConsoleStreams& io);

}  // namespace kestrune::console
