#include "simulator/sim_host.h"
#include "simulator/virtual_drive.h"

namespace kestrune::sim {

namespace {

// Closing the volume is when the drive's flash reaches its file, as a real
// drive's writes are on the medium once the handle is gone.
class DriveTransport final : public device::Transport {
 public:
  explicit DriveTransport(VirtualDrive& drive) : drive_(drive) {}
  ~DriveTransport() override { drive_.Save(); }

 protected:
  device::Result Carry(const device::Request& request) override { return drive_.Execute(request); }

 private:
  VirtualDrive& drive_;
};

}  // namespace

std::unique_ptr<device::Transport> MakeTransport(VirtualDrive& drive) {
  return std::make_unique<DriveTransport>(drive);
}

SimulatedVolumes::~SimulatedVolumes() {
  // Once the locks go another run may take the files: the drives, which
  // outlive this object, must not write them any more.
  for (auto& [letter, entry] : drives_) {
    if (!entry.lockPath.empty()) entry.drive->Unclaim();
  }
}

void SimulatedVolumes::AttachLocked(char letter, VirtualDrive& drive, std::string lockPath,
                                    bool createLockFile) {
  drive.Unclaim();
  drives_[letter] = {&drive, std::move(lockPath), createLockFile};
}

std::string SimulatedVolumes::UsbSerial(char letter) const {
  const auto it = drives_.find(letter);
  return it == drives_.end() ? std::string() : it->second.drive->Description().usbSerial;
}

std::pair<std::string, std::string> SimulatedVolumes::ExportedFrom(char letter) const {
  const auto it = drives_.find(letter);
  if (it == drives_.end()) return {};
  const DriveDescription& d = it->second.drive->Description();
  return {d.exportedFromFile, d.exportedFromSha256};
}

device::OpenResult SimulatedVolumes::Open(char letter) {
  const auto it = drives_.find(letter);
  if (it == drives_.end() || it->second.drive->Vanished()) return nullptr;
  VirtualDrive& drive = *it->second.drive;
  const std::string& lockPath = it->second.lockPath;
  if (!lockPath.empty()) {
    using Claim = device::DriveLocks::Claim;
    const bool create = it->second.createLockFile;
    const Claim claim =
        locks_.Acquire(lockPath, [&lockPath, create] { return LockFile(lockPath, create); });
    if (claim == Claim::kHeldElsewhere) return device::OpenResult::HeldBy(lockPath);
    if (claim == Claim::kFailed) return nullptr;
    if (claim == Claim::kFirst && !drive.Claim(nullptr)) {
      // The file the last holder left cannot be used: no drive.
      locks_.Release(lockPath);
      return nullptr;
    }
  }
  return MakeTransport(drive);
}

}  // namespace kestrune::sim
