#include "device/sgio_linux.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>

namespace kestrune::device {
namespace {

// The driver byte proper: the low nibble of driver_status. The high nibble
// carries only suggestions.
constexpr uint16_t kDriverMask = 0x0F;
// Set by the driver when sense data came back with the status.
constexpr uint16_t kDriverSense = 0x08;

class SgioTransport : public Transport {
 public:
  explicit SgioTransport(int fd) : fd_(fd) {}
  ~SgioTransport() override { ::close(fd_); }
  SgioTransport(const SgioTransport&) = delete;
  SgioTransport& operator=(const SgioTransport&) = delete;

 protected:
  Result Carry(const Request& request) override {
    uint8_t cdb[kMaxCdbLength] = {};
    std::memcpy(cdb, request.cdb, request.cdbLength);
    std::array<uint8_t, kMaxSenseLength> sense{};

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.cmd_len = request.cdbLength;
    header.cmdp = cdb;
    header.mx_sb_len = static_cast<unsigned char>(sense.size());
    header.sbp = sense.data();
    header.dxfer_len = request.transferLength;
    if (request.transferLength == 0) {
      header.dxfer_direction = SG_DXFER_NONE;
    } else {
      header.dxfer_direction =
          request.carrier == Carrier::kIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
      header.dxferp = request.data;
    }
    uint64_t milliseconds = uint64_t{request.timeoutSeconds} * 1000;
    header.timeout = static_cast<unsigned>(
        std::min<uint64_t>(milliseconds, std::numeric_limits<unsigned>::max()));

    int rc;
    do {
      rc = ::ioctl(fd_, SG_IO, &header);
    } while (rc < 0 && errno == EINTR);
    const int error = rc != 0 ? errno : 0;
    Result result = ClassifySgIo(rc, header.status, header.host_status, header.driver_status);
    if (rc != 0) {
      result.systemError = error;
      return result;
    }
    result.hostStatus = header.host_status;
    result.driverStatus = header.driver_status;
    result.residual = header.resid > 0 ? static_cast<uint32_t>(header.resid) : 0;
    result.sense = sense;
    result.senseLength = header.sb_len_wr;
    return result;
  }

 private:
  int fd_;
};

}  // namespace

Result ClassifySgIo(int ioctlResult, uint8_t scsiStatus, uint16_t hostStatus,
                    uint16_t driverStatus) {
  if (ioctlResult != 0) return {Outcome::kOsError, 0};
  uint16_t driver = driverStatus & kDriverMask;
  if (hostStatus != 0) return {Outcome::kTransportError, scsiStatus};
  // Sense data that accompanies a non-zero status is the status' own news.
  if (driver == kDriverSense && scsiStatus != 0) return {Outcome::kScsiStatus, scsiStatus};
  if (driver != 0) return {Outcome::kTransportError, scsiStatus};
  if (scsiStatus != 0) return {Outcome::kScsiStatus, scsiStatus};
  return {Outcome::kGood, 0};
}

std::unique_ptr<Transport> MakeSgioTransport(int fd) { return std::make_unique<SgioTransport>(fd); }

SgioVolumes::SgioVolumes(SgioOptions options)
    : genericRoot_(std::move(options.genericRoot)),
      classBlockRoot_(std::move(options.classBlockRoot)) {
  if (!options.explicitMap.empty()) {
    // A partition stands for its disk; one whose disk cannot be found keeps
    // an empty node, which no open reaches.
    for (const auto& [letter, path] : options.explicitMap) {
      std::string problem;
      volumes_[letter] = WholeDiskNode(path, problem, classBlockRoot_);
    }
    return;
  }
  for (const SgioCandidate& candidate : ListSgioCandidates(options)) {
    if (candidate.letter != 0) volumes_[candidate.letter] = candidate.node;
  }
}

OpenResult SgioVolumes::Open(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  auto found = volumes_.find(upper);
  if (found == volumes_.end() || found->second.empty()) return nullptr;
  const std::string& node = found->second;
  const std::string lockNode = LockNodeFor(node, genericRoot_);
  const DriveLocks::Claim claim = locks_.Acquire(
      lockNode, [&lockNode] { return platform::LockNode(lockNode, kSharedLockWait); });
  if (claim == DriveLocks::Claim::kHeldElsewhere) return OpenResult::HeldBy(lockNode);
  if (claim != DriveLocks::Claim::kFirst && claim != DriveLocks::Claim::kAgain) return nullptr;
  // The disk node keeps the lock; the generic node carries the commands, so
  // a short timeout stays short. A disk without one is sent to directly.
  const std::string generic = GenericNodeOf(node, classBlockRoot_);
  int fd = generic.empty() ? -1 : ::open(generic.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  // What was opened is asked, not its name: a name that reached a
  // partition after all (its disk's partition table read again meanwhile)
  // is no way to the drive, whose lock is its disk's.
  if (fd >= 0 && IsScsiPartition(fd)) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    // No drive was opened, so none is kept from other runs.
    if (claim == DriveLocks::Claim::kFirst) locks_.Release(lockNode);
    return nullptr;
  }
  return MakeSgioTransport(fd);
}

std::string SgioVolumes::AskSysfs(char letter,
                                  std::string (*ask)(const std::string&, const SysfsRoots&)) const {
  const auto found =
      volumes_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
  if (found == volumes_.end()) return {};
  SysfsRoots where;
  where.genericRoot = genericRoot_;
  where.classBlockRoot = classBlockRoot_;
  return ask(found->second, where);
}

std::string SgioVolumes::UsbSerial(char letter) const { return AskSysfs(letter, UsbSerialOfNode); }

std::string SgioVolumes::UsbPort(char letter) const { return AskSysfs(letter, UsbPortOfNode); }

bool ParseVolumeMapping(const std::string& text, std::map<char, std::string>& map) {
  if (text.size() < 3 || text[1] != '=' || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  map[static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])))] = text.substr(2);
  return true;
}

}  // namespace kestrune::device
