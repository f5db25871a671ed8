#include "device/volume_map.h"

#include <cctype>

namespace kestrune::device {
namespace {
char Upper(char letter) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}
}  // namespace

void VolumeMap::Map(char letter, VolumeOpener& opener) { openers_[Upper(letter)] = &opener; }

OpenResult VolumeMap::Open(char letter) {
  auto found = openers_.find(Upper(letter));
  if (found != openers_.end()) return found->second->Open(letter);
  return fallback_ != nullptr ? fallback_->Open(letter) : nullptr;
}

bool VolumeMap::ServesRealDevice(char letter) const {
  auto found = openers_.find(Upper(letter));
  if (found != openers_.end()) return found->second->ServesRealDevice(letter);
  return fallback_ != nullptr && fallback_->ServesRealDevice(letter);
}

std::string VolumeMap::UsbPort(char letter) const {
  auto found = openers_.find(Upper(letter));
  if (found != openers_.end()) return found->second->UsbPort(letter);
  return fallback_ != nullptr ? fallback_->UsbPort(letter) : std::string();
}

std::string VolumeMap::UsbSerial(char letter) const {
  auto found = openers_.find(Upper(letter));
  if (found != openers_.end()) return found->second->UsbSerial(letter);
  return fallback_ != nullptr ? fallback_->UsbSerial(letter) : std::string();
}

std::string VolumeMap::ReplayOf(char letter) const {
  auto found = openers_.find(Upper(letter));
  if (found != openers_.end()) return found->second->ReplayOf(letter);
  return fallback_ != nullptr ? fallback_->ReplayOf(letter) : std::string();
}

std::pair<std::string, std::string> VolumeMap::ExportedFrom(char letter) const {
  auto found = openers_.find(Upper(letter));
  if (found != openers_.end()) return found->second->ExportedFrom(letter);
  return fallback_ != nullptr ? fallback_->ExportedFrom(letter)
                              : std::pair<std::string, std::string>();
}

bool VolumeMap::NeedsPrivilege() const {
  for (const auto& [letter, opener] : openers_) {
    if (opener->NeedsPrivilege()) return true;
  }
  return fallback_ != nullptr && fallback_->NeedsPrivilege();
}

}  // namespace kestrune::device
