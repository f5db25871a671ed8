// Where a run's drives come from: simulated drives (virtual-drive files
// and the built-in drive), device nodes, the host's own drives, and
// recordings put in by the front end; a recording and a trace are laid on
// top of whatever serves them. Both front ends build their drives here.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/session/run_request.h"
#include "device/trace.h"
#include "device/transport.h"
#include "device/volume_map.h"
#include "recording/recorder.h"
#include "simulator/virtual_drive.h"

namespace kestrune::session {

// The letter the built-in drive is served on, and the files beside which it
// keeps its flash and the lock that keeps it to one run.
inline constexpr char kBuiltInLetter = 'E';
inline constexpr const char* kBuiltInFlashFile = "kestrune-default-drive.flash";
inline constexpr const char* kBuiltInLockFile = "kestrune-default-drive.lock";

// A simulated drive of the run and the letter it is served on.
struct LoadedDrive {
  char letter;
  std::string path;  // empty for the built-in drive
  std::unique_ptr<sim::VirtualDrive> drive;
  // The file whose lock keeps the drive to this run: the drive file, or the
  // built-in drive's lock file beside its flash.
  std::string lockPath;

  std::string Name() const { return path.empty() ? std::string("(built-in)") : path; }
};

class DriveSource {
 public:
  // Loads the simulated drives the plan names (not its replays) and takes
  // its device nodes. False with `problem` set (and the loader's own words
  // in loadError()) when one cannot be loaded.
  bool Load(const RunRequest& plan, std::string& problem);
  const std::string& loadError() const { return loadError_; }

  // The letters' map: a front end maps its replays in here before Connect.
  device::VolumeMap& volumes() { return volumes_; }
  // Serves the simulated drives and the device nodes; with neither and
  // `othersMapped` false, the host's own drives serve every letter. Each
  // simulated drive opens only under its lock, as another run may use it.
  bool Connect(bool othersMapped, std::string& problem);

  // A recording over volumes(), whose openers it then serves.
  void Record(std::unique_ptr<device::RecordingVolumes> recording);
  // Records every drive into `path`; false with `problem` set when the file
  // cannot be made.
  bool RecordAll(const std::string& path, const device::RecordingHeader& header,
                 std::string& problem);
  device::RecordingVolumes* recording() { return recording_.get(); }
  // The recording's last word: what it could not keep. Empty without one.
  std::vector<std::string> FinishRecording();
  // Every command on top of the recording goes to the trace file `path`.
  bool Trace(const std::string& path, std::string& problem);

  // What the front end's drives are reached through.
  device::VolumeOpener& opener();
  std::vector<LoadedDrive>& drives() { return loaded_; }
  const std::map<char, std::string>& nodes() const { return nodes_; }
  // The simulated drives' letters, then the nodes'.
  std::vector<char> Letters() const;
  // Keeps every simulated drive's flash in its file; false when one is lost.
  bool SaveAll();

  // A drive plugged in during a watch: its node alone, on its letter,
  // traced when the run traces. Null with `problem` set.
  std::unique_ptr<device::VolumeOpener> OpenPlugged(char letter, const std::string& node,
                                                    std::string& problem);

 private:
  device::VolumeOpener& Recorded();

  std::vector<LoadedDrive> loaded_;
  std::map<char, std::string> nodes_;
  std::string loadError_;
  device::VolumeMap volumes_;
  sim::SimulatedVolumes simulated_;
  std::unique_ptr<device::VolumeOpener> devices_;
  std::unique_ptr<device::RecordingVolumes> recording_;
  // One trace file for every drive of the run; its lines carry their letter.
  device::TraceSink trace_;
  std::optional<device::TracingVolumes> tracing_;
};

}  // namespace kestrune::session
