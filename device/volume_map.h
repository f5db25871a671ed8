// An opener that sends each drive letter to the opener that serves it, so
// one run can mix simulated drives and real devices.
#pragma once

#include <map>
#include <string>

#include "device/transport.h"

namespace kestrune::device {

class VolumeMap : public VolumeOpener {
 public:
  // `opener` must outlive this map. A later Map of the same letter wins.
  void Map(char letter, VolumeOpener& opener);
  // Serves every letter not mapped explicitly.
  void SetFallback(VolumeOpener* opener) { fallback_ = opener; }

  OpenResult Open(char letter) override;
  // True when any opener behind the map serves real devices.
  bool NeedsPrivilege() const override;
  // Asks the opener that serves `letter`, so simulated drives and device
  // nodes of one run are told apart.
  bool ServesRealDevice(char letter) const override;
  std::string UsbSerial(char letter) const override;
  std::string UsbPort(char letter) const override;
  std::string ReplayOf(char letter) const override;
  std::pair<std::string, std::string> ExportedFrom(char letter) const override;

 private:
  std::map<char, VolumeOpener*> openers_;
  VolumeOpener* fallback_ = nullptr;
};

}  // namespace kestrune::device
