#include "simulator/virtual_drive.h"

namespace kestrune::sim {

namespace {

// Closing the volume is when the drive's flash reaches its file, as a real
// drive's writes are on the medium once the handle is gone.
class DriveTransport final : public device::Transport {
 public:
  explicit DriveTransport(VirtualDrive& drive) : drive_(drive) {}
  ~DriveTransport() override { drive_.Save(); }
  device::Result Execute(const device::Request& request) override {
    return drive_.Execute(request);
  }

 private:
  VirtualDrive& drive_;
};

}  // namespace

std::unique_ptr<device::Transport> MakeTransport(VirtualDrive& drive) {
  return std::make_unique<DriveTransport>(drive);
}

std::unique_ptr<device::Transport> SimulatedVolumes::Open(char letter) {
  const auto it = drives_.find(letter);
  if (it == drives_.end() || it->second->Vanished()) return nullptr;
  return MakeTransport(*it->second);
}

}  // namespace kestrune::sim
