// A bench of USB sticks for tests of the watch, over umockdev's testbed:
// the program's libudev sees the sticks' sysfs entries and their events.
// Only for test programs run under umockdev's preload library.
#pragma once

#include <glib.h>
#include <umockdev.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace kestrune::test {

class UsbTestbed {
 public:
  UsbTestbed() : testbed_(umockdev_testbed_new()) {}
  ~UsbTestbed() { g_object_unref(testbed_); }
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Whether umockdev's preload library stands between the program and the
  // host's /sys and /dev (the testbed's own check passes once a testbed
  // exists, preloaded or not).
  static bool Mocked() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
  }

  // A stick on USB port `port` ("1-3") whose disk is /dev/<disk>; returns
  // the disk's sysfs path. The testbed sends each device's add event.
  // A port plugged before takes a new stick: the last one's USB device,
  // whose disk was unplugged, goes first.
  std::string Plug(const std::string& port, const std::string& disk, const std::string& serial) {
    if (const auto last = ports_.find(port); last != ports_.end()) {
      umockdev_testbed_remove_device(testbed_, last->second.c_str());
    }
    const std::string usb =
        Add("usb", port, nullptr, {"serial", serial}, {"DEVTYPE", "usb_device"});
    const std::string path =
        Add("block", disk, usb.c_str(), {"size", "7864320"}, {"DEVTYPE", "disk"}, "/dev/" + disk);
    ports_[port] = usb;
    ++disks_;
    return path;
  }
  // The sticks plugged in so far.
  size_t Disks() const { return disks_; }
  // A partition of a disk plugged in, or a disk on no USB device.
  std::string AddPartition(const std::string& diskPath, const std::string& name) {
    return Add("block", name, diskPath.c_str(), {"partition", "1"}, {"DEVTYPE", "partition"},
               "/dev/" + name);
  }
  std::string AddFixedDisk(const std::string& disk) {
    return Add("block", disk, nullptr, {"size", "1000"}, {"DEVTYPE", "disk"}, "/dev/" + disk);
  }

  void Unplug(const std::string& path) {
    umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, path.c_str());
  }

 private:
  struct Pair {
    const char* name;
    std::string value;
  };
  std::string Add(const char* subsystem, const std::string& name, const char* parent,
                  const Pair& attribute, const Pair& property, const std::string& node = {}) {
    gchar* path =
        node.empty()
            ? umockdev_testbed_add_device(testbed_, subsystem, name.c_str(), parent, attribute.name,
                                          attribute.value.c_str(), nullptr, property.name,
                                          property.value.c_str(), nullptr)
            : umockdev_testbed_add_device(testbed_, subsystem, name.c_str(), parent, attribute.name,
                                          attribute.value.c_str(), nullptr, property.name,
                                          property.value.c_str(), "DEVNAME", node.c_str(), nullptr);
    std::string text = path != nullptr ? path : "";
    g_free(path);
    return text;
  }

  UMockdevTestbed* testbed_;
  std::atomic<size_t> disks_{0};
  // The USB device last plugged into each port, by the port.
  std::map<std::string, std::string> ports_;
};

}  // namespace kestrune::test
