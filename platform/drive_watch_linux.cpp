#include <libudev.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "platform/drive_watch.h"

namespace kestrune::platform {

namespace {

struct UdevRelease {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevRelease>;

std::string Text(const char* value) { return value != nullptr ? value : ""; }

std::string StickText(const char* value) {
  return BoundedDriveText(value != nullptr ? std::string_view(value) : std::string_view());
}

// The USB device that carries a whole disk; null for a partition, a disk
// on another bus, or one without a node.
udev_device* UsbDeviceOf(udev_device* disk) {
  if (udev_device_get_devnode(disk) == nullptr) return nullptr;
  if (Text(udev_device_get_devtype(disk)) != "disk") return nullptr;
  // Owned by `disk`: not to be unreferenced.
  return udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_device");
}

DriveEvent Added(udev_device* disk, udev_device* usb) {
  DriveEvent event;
  event.kind = DriveEvent::Kind::kAdded;
  event.node = Text(udev_device_get_devnode(disk));
  event.hostName = Text(udev_device_get_syspath(disk));
  event.serial = StickText(udev_device_get_sysattr_value(usb, "serial"));
  event.model = StickText(udev_device_get_sysattr_value(disk, "device/model"));
  if (event.model.empty()) {
    event.model = StickText(udev_device_get_property_value(disk, "ID_MODEL"));
  }
  // The kernel names a USB device by its place on the bus, so the name
  // stays with the port whichever stick is plugged in there; it needs none
  // of the udev rules that set ID_PATH.
  event.port = StickText(udev_device_get_sysname(usb));
  return event;
}

class UdevWatch : public DriveWatch {
 public:
  UdevWatch(UdevPtr<udev> context, UdevPtr<udev_monitor> monitor)
      : udev_(std::move(context)), monitor_(std::move(monitor)) {}

  // The USB disks there now: told as added before any event, or only
  // counted when they are to be left alone.
  void TellPresent(bool tell) {
    const UdevPtr<udev_enumerate> listing(udev_enumerate_new(udev_.get()));
    if (!listing) return;
    udev_enumerate_add_match_subsystem(listing.get(), "block");
    udev_enumerate_add_match_property(listing.get(), "DEVTYPE", "disk");
    if (udev_enumerate_scan_devices(listing.get()) < 0) return;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(listing.get())) {
      const UdevPtr<udev_device> disk(
          udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry)));
      if (disk && tell) Consider(disk.get(), "add");
      if (disk && !tell && UsbDeviceOf(disk.get()) != nullptr) ++leftPresent_;
    }
  }

  std::optional<DriveEvent> Next(uint32_t waitMilliseconds) override {
    if (queued_.empty()) Receive(waitMilliseconds);
    if (queued_.empty()) return std::nullopt;
    DriveEvent event = std::move(queued_.front());
    queued_.pop_front();
    return event;
  }
  size_t LeftPresent() const override { return leftPresent_; }

 private:
  void Receive(uint32_t waitMilliseconds) {
    pollfd watched{udev_monitor_get_fd(monitor_.get()), POLLIN, 0};
    // An interrupt ends the wait early; the caller looks at why.
    if (poll(&watched, 1, static_cast<int>(waitMilliseconds)) <= 0) return;
    // Several events may wait behind one wake-up.
    for (;;) {
      const UdevPtr<udev_device> disk(udev_monitor_receive_device(monitor_.get()));
      if (!disk) return;
      Consider(disk.get(), Text(udev_device_get_action(disk.get())));
    }
  }

  void Consider(udev_device* disk, const std::string& action) {
    const std::string name = Text(udev_device_get_syspath(disk));
    if (action == "add") {
      udev_device* usb = UsbDeviceOf(disk);
      // One disk told once, though the listing and an event both name it.
      if (usb == nullptr || !known_.insert(name).second) return;
      queued_.push_back(Added(disk, usb));
    } else if (action == "remove" && known_.erase(name) > 0) {
      // The disk is gone from sysfs: only its event's own facts are left.
      DriveEvent event;
      event.kind = DriveEvent::Kind::kRemoved;
      event.node = Text(udev_device_get_devnode(disk));
      event.hostName = name;
      queued_.push_back(std::move(event));
    }
  }

  UdevPtr<udev> udev_;
  UdevPtr<udev_monitor> monitor_;
  std::deque<DriveEvent> queued_;
  std::set<std::string> known_;
  size_t leftPresent_ = 0;
};

}  // namespace

std::unique_ptr<DriveWatch> WatchUsbDisks(bool includePresent, std::string& problem) {
  UdevPtr<udev> context(udev_new());
  if (!context) {
    problem = "cannot reach udev: " + std::string(std::strerror(errno));
    return nullptr;
  }
  UdevPtr<udev_monitor> monitor(udev_monitor_new_from_netlink(context.get(), "udev"));
  if (!monitor ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", "disk") < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0) {
    problem = "cannot watch udev's events: " + std::string(std::strerror(errno));
    return nullptr;
  }
  // The monitor listens before the listing is read, so that no disk falls
  // between the two.
  auto watch = std::make_unique<UdevWatch>(std::move(context), std::move(monitor));
  watch->TellPresent(includePresent);
  return watch;
}

}  // namespace kestrune::platform
