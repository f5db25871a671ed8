// Drives as they are plugged in and pulled out: the host tells of each
// whole USB disk that appears or goes. Only the host's own events count;
// nothing here opens a drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::platform {

struct DriveEvent {
  enum class Kind : uint8_t { kAdded, kRemoved };
  Kind kind = Kind::kAdded;
  // The disk's device node ("/dev/sdb"), and the host's own name for the
  // disk, the same in its add and its remove ("/sys/devices/.../block/sdb").
  std::string node;
  std::string hostName;
  // Serial and model as the host describes the USB device; empty when it
  // names none.
  std::string serial;
  std::string model;
  // The USB port the stick is plugged into, as the kernel names the USB
  // device: bus, then the port at each hub ("1-1.2"). The same for every
  // stick plugged into that port, and empty in a remove.
  std::string port;
  // The letter the host gives the stick's volume, where it gives one
  // (Windows); 0 elsewhere.
  char letter = 0;
};

// The longest serial, model and port an event carries: what the host says
// of a stick is the stick's own word, and is cut to printable ASCII of at
// most this length.
inline constexpr size_t kDriveTextLimit = 64;

// `text` as an event carries what a stick says of itself: printable ASCII
// only, blanks around it and control bytes dropped, at most the limit long.
inline std::string BoundedDriveText(std::string_view text) {
  std::string bounded;
  for (const char c : text) {
    if (bounded.size() >= kDriveTextLimit) break;
    if (c > ' ' && c < 0x7f) bounded += c;
    if (c == ' ' && !bounded.empty()) bounded += c;
  }
  while (!bounded.empty() && bounded.back() == ' ') bounded.pop_back();
  return bounded;
}

class DriveWatch {
 public:
  virtual ~DriveWatch() = default;
  // The next event, waiting up to `waitMilliseconds` for one; nullopt when
  // none came. A disk that was present before the watch began is told as
  // added only when the watch was opened to include them.
  virtual std::optional<DriveEvent> Next(uint32_t waitMilliseconds) = 0;
  // How many USB disks were present when the watch began and are left
  // alone, as it was not opened to include them.
  virtual size_t LeftPresent() const { return 0; }
};

// Watches the host's whole USB disks. Null, with `problem` set, where the
// host cannot be watched.
std::unique_ptr<DriveWatch> WatchUsbDisks(bool includePresent, std::string& problem);

}  // namespace kestrune::platform
