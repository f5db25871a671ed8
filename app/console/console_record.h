// Recording a run (--record), replaying one (--drive X=FILE.krec) and
// making a virtual drive of a recording (export-drive), as the console
// offers them. docs/recording.md describes the file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/console/console_json.h"
#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/dialog.h"
#include "recording/recorder.h"
#include "recording/replay.h"
#include "device/volume_map.h"

namespace kestrune::console {

// Marks each --drive that names a recording: a *.krec name, or a regular
// file that starts as a recording does (or as a flash file does, which the
// replay then refuses by name rather than as a device that is not there).
void MarkReplays(std::vector<DriveArgument>& drives);

// What is said of a recording too old to carry checksums, replayed or
// exported all the same.
std::string UncheckedWarning(const std::string& path);

// The recordings --drive names. Each serves every letter it recorded, so a
// run that tried C: and D: before its drive tries them again alike.
class ReplayDrives {
 public:
  // Reads each whole recording before anything is answered. False with
  // `problem` set for a file that cannot be replayed.
  bool Open(const ConsoleOptions& options, std::string& problem);
  void MapInto(device::VolumeMap& volumes);
  bool empty() const { return replays_.empty(); }
  // The recordings that carry no checksums (version 1), by the names given.
  const std::vector<std::string>& Unchecked() const { return unchecked_; }
  // The run is over: where a replay left its recording, if one did.
  std::optional<device::Divergence> Finish();

 private:
  std::vector<std::unique_ptr<device::ReplayVolumes>> replays_;
  std::vector<std::string> unchecked_;
};

// The divergence as the JSON document gives it.
Json DivergenceJson(const device::Divergence& divergence);

// --record: the recording opener over `inner`, its file (or with --all,
// `letters`' files) created. Null when the run records nothing, and when
// the files cannot be made, with `problem` set.
std::unique_ptr<device::RecordingVolumes> StartRecording(const ConsoleOptions& options,
                                                         const std::vector<std::string>& arguments,
                                                         device::VolumeOpener& inner,
                                                         const std::vector<char>& letters,
                                                         std::string& problem);

// The file --record gives the drive of one letter with --all: the letter
// before the name's extension ("run.krec" -> "run.E.krec"), or after a name
// without one.
std::string RecordingPathFor(const std::string& path, char letter);

// export-drive: the whole command. Returns the exit code.
int RunExportDrive(const ConsoleOptions& options, const ConsoleStreams& io);

}  // namespace kestrune::console
