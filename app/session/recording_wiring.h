// Recording a run, replaying one and making a virtual drive of a
// recording, wired to the drives a run names. docs/recording.md describes
// the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/session/run_request.h"
#include "device/volume_map.h"
#include "recording/recorder.h"
#include "recording/replay.h"
#include "simulator/drive_export.h"

namespace kestrune::session {

// Marks each drive that names a recording: a *.krec name, or a regular
// file that starts as a recording does (or as a flash file does, which the
// replay then refuses by name rather than as a device that is not there).
void MarkReplays(std::vector<DriveArgument>& drives);

// What is said of a recording too old to carry checksums, replayed or
// exported all the same.
std::string UncheckedWarning(const std::string& path);

// The recordings a run's drives name. Each serves every letter it
// recorded, so a run that tried C: and D: before its drive tries them again
// alike.
class ReplayDrives {
 public:
  // Reads each whole recording before anything is answered; `all`: the
  // run takes every drive at once, `builtIn`: the built-in drive stands on
  // its letter. False with `problem` set for a file that cannot be
  // replayed.
  bool Open(const std::vector<DriveArgument>& drives, bool all, bool builtIn, std::string& problem);
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

// The recording opener over `inner`, its file (the plan's recordFile, or,
// with `letters`, each letter's file) created. Null when the run records
// nothing, and when the files cannot be made, with `problem` set.
std::unique_ptr<device::RecordingVolumes> StartRecording(const RunRequest& plan,
                                                         const std::vector<std::string>& arguments,
                                                         device::VolumeOpener& inner,
                                                         const std::vector<char>& letters,
                                                         std::string& problem);

// The file a recording of every letter at once gives the drive of one
// letter: the letter before the name's extension ("run.krec" ->
// "run.E.krec"), or after a name without one.
std::string RecordingPathFor(const std::string& path, char letter);

// What making a virtual drive of a recording came to.
struct RecordingExport {
  bool done = false;
  // Why nothing was made, when it was not.
  std::string problem;
  // What is to be said of the recording, in order, made or not.
  std::vector<std::string> warnings;
  // The drive's letter in the recording, and the recording.
  char letter = 0;
  std::string source;
  // The drive made, and the commands of its letter the recording held.
  std::optional<sim::ExportedDrive> drive;
  uint32_t commands = 0;
};

// export-drive: the drive of the one recording `drives` names, written to
// `file` and its flash file beside it.
RecordingExport ExportRecordedDrive(const std::vector<DriveArgument>& drives,
                                    const std::string& file);

}  // namespace kestrune::session
