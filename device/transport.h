// One SCSI request to a drive, and the transports that carry it: Windows
// pass-through, Linux SG_IO and the simulated drive all sit behind this.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace kestrune::device {

// Which carrier of the link a command travels on. kIn also carries the
// commands without data (transfer length 0).
enum class Carrier : uint8_t { kIn, kOut };

struct Request {
  const uint8_t* cdb = nullptr;
  uint8_t cdbLength = 0;  // 6, 10 or 12; never more than 16
  Carrier carrier = Carrier::kIn;
  uint32_t transferLength = 0;  // bytes
  uint32_t timeoutSeconds = 0;
  uint8_t* data = nullptr;  // transferLength bytes (in: receives, out: sends)
  // The caller needs every byte: a buffered data-in that came back short
  // leaves `data` untouched, as a failed one does.
  bool wholeTransfer = false;
};

// How a request ended, classified once, by the transport.
enum class Outcome : uint8_t {
  kGood,            // accepted and SCSI status 0
  kScsiStatus,      // completed with a non-zero SCSI status (CHECK CONDITION ...)
  kTransportError,  // refused by the host adapter or driver, or timed out
  kOsError,         // the operating system refused the request
};

inline constexpr size_t kMaxSenseLength = 32;

struct Result {
  Outcome outcome = Outcome::kOsError;
  uint8_t scsiStatus = 0;
  // Bytes of the data phase not transferred (0 when all were).
  uint32_t residual = 0;
  // Sense data returned with the status, senseLength bytes of it.
  std::array<uint8_t, kMaxSenseLength> sense{};
  uint8_t senseLength = 0;
  // What the system said besides (not recorded, not replayed): its error
  // code for a request it refused (errno; GetLastError), and the host
  // adapter's and driver's status for a transport error, where it gives
  // them (SG_IO).
  int systemError = 0;
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
  bool Succeeded() const { return outcome == Outcome::kGood; }
  // Succeeded, and every byte of the data phase was moved.
  bool Complete() const { return Succeeded() && residual == 0; }
};

// Data-in transfers below this size are buffered: their bytes reach the
// caller only when the request succeeded.
inline constexpr uint32_t kBufferedLimit = 512;
// The CDB field of every pass-through interface holds 16 bytes.
inline constexpr uint8_t kMaxCdbLength = 16;

// A request a transport may carry: a CDB of 1 to kMaxCdbLength bytes, one of
// the two carriers, and a data buffer whenever there are bytes to move.
bool IsValidRequest(const Request& request);

// An open volume.
class Transport {
 public:
  virtual ~Transport() = default;
  // The one road a request takes to any transport: one that is not valid is
  // refused (kOsError) before it reaches the volume, and a buffered data-in
  // lands in a buffer of its own first, so that a request that does not
  // succeed (or, for a whole transfer, does not complete) leaves `data`
  // untouched whatever the transport wrote. A residual or sense length the
  // transport reports beyond the request's bounds is cut to them.
  Result Execute(const Request& request);

 protected:
  // Carries a valid request. For a buffered data-in, `data` is that buffer
  // of the base, handed on only after success.
  virtual Result Carry(const Request& request) = 0;
};

// What an open of a drive letter gave: the volume, or no volume and, when
// another run holds the drive, who that is.
struct OpenResult {
  OpenResult() = default;
  OpenResult(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): no volume
  template <typename T, typename = std::enable_if_t<std::is_convertible_v<T*, Transport*>>>
  OpenResult(std::unique_ptr<T> opened)  // NOLINT(google-explicit-constructor)
      : transport(std::move(opened)) {}
  // No volume: another run holds the drive, named by its device node or file.
  static OpenResult HeldBy(std::string drive) {
    OpenResult result;
    result.holder = std::move(drive);
    return result;
  }

  explicit operator bool() const { return transport != nullptr; }
  friend bool operator==(const OpenResult& result, std::nullptr_t) { return !result.transport; }

  std::unique_ptr<Transport> transport;
  // Set only when the drive was not opened because another run holds it.
  // Such a drive is left out, never waited for.
  std::string holder;
};

// Opens the volume behind a drive letter.
class VolumeOpener {
 public:
  virtual ~VolumeOpener() = default;
  // No transport when there is no volume behind `letter`, it cannot be
  // opened for reading and writing, or another run holds it (then named).
  virtual OpenResult Open(char letter) = 0;
  // True when a volume this opener serves is a real device, for which vendor
  // commands need administrator rights.
  virtual bool NeedsPrivilege() const = 0;
  // True when `letter` reaches a real device through pass-through, where
  // only real ISP images may be written. An opener that serves one kind of
  // volume answers alike for every letter.
  virtual bool ServesRealDevice(char letter) const {
    (void)letter;
    return NeedsPrivilege();
  }
  // The serial number the drive behind `letter` gives as a USB device, as
  // the system reports it; empty when it gives none or the system does not
  // say. Backups are told apart by it between sticks of one model.
  virtual std::string UsbSerial(char letter) const {
    (void)letter;
    return {};
  }
  // The USB port the drive behind `letter` is plugged into, as the system
  // names it ("2-1.4": bus 2, hub port 1, its port 4); empty where the
  // system does not say.
  virtual std::string UsbPort(char letter) const {
    (void)letter;
    return {};
  }
  // When `letter` is served by the replay of a recording, that recording's
  // SHA-256 (lower-case hex); empty for a drive that is really there. What
  // a replay reads is the recorded stick's, but was never read from it now.
  virtual std::string ReplayOf(char letter) const {
    (void)letter;
    return {};
  }
  // When `letter` is a simulated drive made from a recording, the
  // recording's file name and SHA-256; empty otherwise.
  virtual std::pair<std::string, std::string> ExportedFrom(char letter) const {
    (void)letter;
    return {};
  }
};

// Classification text for traces ("good", "check condition 02", ...).
std::string DescribeResult(const Result& result);

}  // namespace kestrune::device
