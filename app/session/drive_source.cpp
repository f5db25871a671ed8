#include "app/session/drive_source.h"

#include "app/session/host_devices.h"
#include "simulator/device_clock.h"
#include "simulator/drive_description.h"

namespace kestrune::session {

namespace {

// A drive plugged in during a watch: its node alone, on its letter, traced
// when the run traces.
class PluggedDrive : public device::VolumeOpener {
 public:
  PluggedDrive(std::unique_ptr<device::VolumeOpener> inner, const device::TraceSink& trace)
      : inner_(std::move(inner)) {
    if (trace) traced_.emplace(*inner_, trace);
  }
  device::OpenResult Open(char letter) override { return Used().Open(letter); }
  bool NeedsPrivilege() const override { return inner_->NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override { return inner_->ServesRealDevice(letter); }
  std::string UsbSerial(char letter) const override { return inner_->UsbSerial(letter); }
  std::string UsbPort(char letter) const override { return inner_->UsbPort(letter); }
  std::string ReplayOf(char letter) const override { return inner_->ReplayOf(letter); }
  std::pair<std::string, std::string> ExportedFrom(char letter) const override {
    return inner_->ExportedFrom(letter);
  }

 private:
  device::VolumeOpener& Used() {
    return traced_ ? static_cast<device::VolumeOpener&>(*traced_) : *inner_;
  }
  std::unique_ptr<device::VolumeOpener> inner_;
  std::optional<device::TracingVolumes> traced_;
};

}  // namespace

bool DriveSource::Load(const RunRequest& plan, std::string& problem) {
  if (plan.builtIn) {
    const std::string folder = plan.builtInFolder.empty() ? "." : plan.builtInFolder;
    auto builtIn = sim::VirtualDrive::FromDescription(sim::DefaultDescription(), &loadError_,
                                                      folder + "/" + kBuiltInFlashFile);
    if (!builtIn) {
      problem = "cannot load the built-in drive: " + loadError_;
      return false;
    }
    loaded_.push_back({kBuiltInLetter, "", std::move(builtIn), folder + "/" + kBuiltInLockFile});
  }
  for (const DriveArgument& named : plan.drives) {
    if (named.replay) continue;
    if (!named.simulated) {
      nodes_[named.letter] = named.path;
      continue;
    }
    const std::string& path = named.path;
    auto virtualDrive = sim::VirtualDrive::FromFile(path, &loadError_);
    if (!virtualDrive) {
      if (loadError_.empty()) loadError_ = "the virtual drive cannot be loaded";
      problem = "cannot load the virtual drive " + path + ": " + loadError_;
      return false;
    }
    loaded_.push_back({named.letter, path, std::move(virtualDrive), path});
  }
  if (plan.everyHostDrive && nodes_.empty() && loaded_.empty()) nodes_ = HostDriveNodes();
  if (plan.realTime) {
    for (LoadedDrive& drive : loaded_) drive.drive->SetClock(sim::WallClock());
  }
  return true;
}

bool DriveSource::Connect(bool othersMapped, std::string& problem) {
  for (LoadedDrive& drive : loaded_) {
    simulated_.AttachLocked(drive.letter, *drive.drive, drive.lockPath, drive.path.empty());
    volumes_.Map(drive.letter, simulated_);
  }
  if (nodes_.empty() && (!loaded_.empty() || othersMapped)) return true;
  devices_ = MakeHostDevices(nodes_, problem);
  if (!devices_) return false;
  if (nodes_.empty()) {
    volumes_.SetFallback(devices_.get());
  } else {
    for (const auto& [letter, path] : nodes_) volumes_.Map(letter, *devices_);
  }
  return true;
}

void DriveSource::Record(std::unique_ptr<device::RecordingVolumes> recording) {
  recording_ = std::move(recording);
}

bool DriveSource::RecordAll(const std::string& path, const device::RecordingHeader& header,
                            std::string& problem) {
  auto writer = device::RecordingWriter::Create(path, false, header, problem);
  if (!writer) return false;
  recording_ = std::make_unique<device::RecordingVolumes>(
      volumes_, [](char letter) { return HostDriveFacts(letter, {}); });
  recording_->RecordAll(std::move(writer));
  return true;
}

std::vector<std::string> DriveSource::FinishRecording() {
  return recording_ ? recording_->Finish() : std::vector<std::string>{};
}

bool DriveSource::Trace(const std::string& path, std::string& problem) {
  std::string why;
  trace_ = device::OpenTraceFile(path, &why);
  if (!trace_) {
    problem = "cannot write the trace file " + why;
    return false;
  }
  tracing_.emplace(Recorded(), trace_);
  return true;
}

device::VolumeOpener& DriveSource::Recorded() {
  return recording_ ? static_cast<device::VolumeOpener&>(*recording_) : volumes_;
}

device::VolumeOpener& DriveSource::opener() {
  return tracing_ ? static_cast<device::VolumeOpener&>(*tracing_) : Recorded();
}

std::vector<char> DriveSource::Letters() const {
  std::vector<char> letters;
  for (const LoadedDrive& drive : loaded_) letters.push_back(drive.letter);
  for (const auto& [letter, node] : nodes_) letters.push_back(letter);
  return letters;
}

bool DriveSource::SaveAll() {
  bool saved = true;
  for (LoadedDrive& drive : loaded_) saved = drive.drive->Save() && saved;
  return saved;
}

std::unique_ptr<device::VolumeOpener> DriveSource::OpenPlugged(char letter, const std::string& node,
                                                               std::string& problem) {
  std::unique_ptr<device::VolumeOpener> devices = MakeHostDevices({{letter, node}}, problem);
  if (!devices) return nullptr;
  return std::make_unique<PluggedDrive>(std::move(devices), trace_);
}

}  // namespace kestrune::session
