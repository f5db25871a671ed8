// The device link as the tests use it: allocations that fail on demand, and
// a count of the volumes opened through it and not yet closed. Header-only,
// so the fuzz targets can check the second too.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "device/link.h"
#include "device/transport.h"

namespace kestrune::testing {

// Passes everything on to `inner` and counts the transports it handed out
// that are still alive: a link destroys a volume's transport as it closes it.
class CountingVolumes : public device::VolumeOpener {
 public:
  explicit CountingVolumes(device::VolumeOpener& inner) : inner_(inner) {}

  device::OpenResult Open(char letter) override {
    device::OpenResult opened = inner_.Open(letter);
    if (!opened) return opened;
    return std::make_unique<Counted>(std::move(opened.transport), open_);
  }
  bool NeedsPrivilege() const override { return inner_.NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override { return inner_.ServesRealDevice(letter); }
  std::string UsbSerial(char letter) const override { return inner_.UsbSerial(letter); }
  std::string UsbPort(char letter) const override { return inner_.UsbPort(letter); }
  std::string ReplayOf(char letter) const override { return inner_.ReplayOf(letter); }

  size_t open() const { return open_; }

 private:
  class Counted : public device::Transport {
   public:
    Counted(std::unique_ptr<device::Transport> inner, size_t& open)
        : inner_(std::move(inner)), open_(open) {
      ++open_;
    }
    ~Counted() override { --open_; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

   protected:
    device::Result Carry(const device::Request& request) override {
      return inner_->Execute(request);
    }

   private:
    std::unique_ptr<device::Transport> inner_;
    size_t& open_;
  };

  device::VolumeOpener& inner_;
  size_t open_ = 0;
};

namespace detail {
// Made before the link it serves, and gone after it.
struct CountingBase {
  explicit CountingBase(device::VolumeOpener& inner) : counting(inner) {}
  CountingVolumes counting;
};
}  // namespace detail

class TestLink : private detail::CountingBase, public device::DeviceLink {
 public:
  explicit TestLink(device::VolumeOpener& opener) : CountingBase(opener), DeviceLink(counting) {}

  // When set and it returns true for a size, AllocBuffer fails.
  std::function<bool(size_t)> failAllocation;

  device::HeapBlock AllocBuffer(size_t size, size_t alignment) override {
    if (failAllocation && failAllocation(size)) return {};
    return DeviceLink::AllocBuffer(size, alignment);
  }

  // Volumes opened through this link and not yet closed (operations close
  // what they open).
  size_t OpenVolumeCount() const { return counting.open(); }
};

}  // namespace kestrune::testing
