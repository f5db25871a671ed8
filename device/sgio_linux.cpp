#include "device/sgio_linux.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

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
    Result result = ClassifySgIo(rc, header.status, header.host_status, header.driver_status);
    if (rc != 0) return result;
    result.residual = header.resid > 0 ? static_cast<uint32_t>(header.resid) : 0;
    result.sense = sense;
    result.senseLength = header.sb_len_wr;
    return result;
  }

 private:
  int fd_;
};

// A descriptor kept open for its flock alone.
class NodeLock : public HeldLock {
 public:
  explicit NodeLock(int fd) : fd_(fd) {}
  ~NodeLock() override { ::close(fd_); }
  NodeLock(const NodeLock&) = delete;
  NodeLock& operator=(const NodeLock&) = delete;

 private:
  int fd_;
};

std::string ReadFirstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Drive texts in sysfs are padded with blanks, as INQUIRY pads them.
std::string Trimmed(std::string text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && blank(static_cast<unsigned char>(text.back()))) text.pop_back();
  size_t first = 0;
  while (first < text.size() && blank(static_cast<unsigned char>(text[first]))) ++first;
  return text.substr(first);
}

// A USB device as the kernel names it: bus, '-', then ports joined by '.'
// ("2-1.4"). Interfaces ("2-1.4:1.0") and hosts ("usb2") are not.
bool IsUsbDeviceName(const std::string& name) {
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == name.size()) return false;
  bool digitBefore = false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') {
      digitBefore = true;
    } else if ((c == '.' && i > dash) || i == dash) {
      if (!digitBefore) return false;
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

// The deepest USB device on the way from the bus to the disk: the stick
// itself, whose name is its place on the bus.
std::filesystem::path UsbDevice(const std::filesystem::path& entry) {
  std::error_code error;
  std::filesystem::path real = std::filesystem::canonical(entry / "device", error);
  if (error) real = std::filesystem::canonical(entry, error);
  if (error) return {};
  std::filesystem::path walked;
  std::filesystem::path found;
  for (const auto& part : real) {
    walked /= part;
    if (IsUsbDeviceName(part.string())) found = walked;
  }
  return found;
}

bool IsRemovableOrUsb(const std::filesystem::path& entry) {
  if (ReadFirstLine(entry / "removable") == "1") return true;
  std::error_code error;
  std::filesystem::path real = std::filesystem::canonical(entry, error);
  if (!error && real.string().find("/usb") != std::string::npos) return true;
  real = std::filesystem::canonical(entry / "device", error);
  return !error && real.string().find("/usb") != std::string::npos;
}

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

std::vector<SgioCandidate> ListSgioCandidates(const SgioOptions& options) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(options.sysfsRoot, error)) {
    std::string name = entry.path().filename().string();
    if (name.size() < 3 || name.compare(0, 2, "sd") != 0) continue;
    if (!std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
      continue;
    }
    if (IsRemovableOrUsb(entry.path())) names.push_back(name);
  }
  // Kernel order: sdz comes before sdaa.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  std::vector<SgioCandidate> candidates;
  char letter = 'C';
  for (const std::string& name : names) {
    const std::filesystem::path entry = std::filesystem::path(options.sysfsRoot) / name;
    SgioCandidate candidate;
    candidate.letter = letter <= 'Z' ? letter++ : 0;
    candidate.node = options.devRoot + "/" + name;
    candidate.vendor = Trimmed(ReadFirstLine(entry / "device" / "vendor"));
    candidate.model = Trimmed(ReadFirstLine(entry / "device" / "model"));
    candidate.removable = ReadFirstLine(entry / "removable") == "1";
    // The size file counts 512-byte sectors whatever the disk's own sector.
    const std::string sectors = ReadFirstLine(entry / "size");
    char* end = nullptr;
    const unsigned long long count = std::strtoull(sectors.c_str(), &end, 10);
    if (end != sectors.c_str() && count <= std::numeric_limits<uint64_t>::max() / 512) {
      candidate.sizeBytes = count * 512;
    }
    const std::filesystem::path usb = UsbDevice(entry);
    if (!usb.empty()) {
      candidate.usbPath = usb.filename().string();
      candidate.serial = Trimmed(ReadFirstLine(usb / "serial"));
    }
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

std::string ResolveDeviceNode(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  std::filesystem::path node = std::filesystem::canonical(path, error);
  return error ? path : node.string();
}

std::string WholeDiskNode(const std::string& path, std::string& problem,
                          const std::string& classBlockRoot) {
  const std::filesystem::path node(ResolveDeviceNode(path));
  const std::string name = node.filename().string();
  const std::filesystem::path entry = std::filesystem::path(classBlockRoot) / name;
  std::error_code error;
  if (name.empty() || !std::filesystem::exists(entry / "partition", error)) return node.string();
  // A partition's entry lies inside its disk's: .../block/sdb/sdb1.
  const std::filesystem::path disk = std::filesystem::canonical(entry, error).parent_path();
  const std::string diskName = error ? std::string() : disk.filename().string();
  const std::filesystem::path diskNode = node.parent_path() / diskName;
  if (diskName.empty() || std::filesystem::exists(disk / "partition", error) ||
      !std::filesystem::exists(diskNode, error)) {
    problem = path +
              " is a partition, and the disk it belongs to cannot be found; name the "
              "whole disk";
    return {};
  }
  return diskNode.string();
}

std::string LockNodeFor(const std::string& node, const std::string& genericRoot) {
  const std::filesystem::path path(node);
  const std::string name = path.filename().string();
  if (name.size() < 3 || name.compare(0, 2, "sg") != 0 ||
      !std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return node;
  }
  std::error_code error;
  for (const auto& disk : std::filesystem::directory_iterator(
           std::filesystem::path(genericRoot) / name / "device" / "block", error)) {
    const std::filesystem::path sibling = path.parent_path() / disk.path().filename();
    if (std::filesystem::exists(sibling, error)) return sibling.string();
  }
  return node;
}

std::string UsbSerialOfNode(const std::string& node, const SgioOptions& options) {
  const std::string name = std::filesystem::path(ResolveDeviceNode(node)).filename().string();
  if (name.empty() || name == "." || name == "..") return {};
  const bool generic = name.compare(0, 2, "sg") == 0;
  const std::filesystem::path entry =
      std::filesystem::path(generic ? options.genericRoot : options.classBlockRoot) / name;
  const std::filesystem::path usb = UsbDevice(entry);
  return usb.empty() ? std::string() : Trimmed(ReadFirstLine(usb / "serial"));
}

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

LockAttempt LockDeviceNode(const std::string& node) {
  // Its own descriptor: the lock outlives the volumes opened under it.
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return {held ? LockState::kHeldElsewhere : LockState::kFailed, nullptr};
  }
  return {LockState::kTaken, std::make_unique<NodeLock>(fd)};
}

std::unique_ptr<Transport> SgioVolumes::Open(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  auto found = volumes_.find(upper);
  if (found == volumes_.end() || found->second.empty()) return nullptr;
  const std::string& node = found->second;
  const std::string lockNode = LockNodeFor(node, genericRoot_);
  const DriveLocks::Claim claim =
      locks_.Acquire(upper, lockNode, [&lockNode] { return LockDeviceNode(lockNode); });
  if (claim != DriveLocks::Claim::kFirst && claim != DriveLocks::Claim::kAgain) return nullptr;
  int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // No drive was opened, so none is kept from other runs.
    if (claim == DriveLocks::Claim::kFirst) locks_.Release(lockNode);
    return nullptr;
  }
  return MakeSgioTransport(fd);
}

std::string SgioVolumes::HeldElsewhere(char letter) const {
  return locks_.HeldElsewhere(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
}

std::string SgioVolumes::UsbSerial(char letter) const {
  const auto found =
      volumes_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
  if (found == volumes_.end()) return {};
  SgioOptions where;
  where.genericRoot = genericRoot_;
  where.classBlockRoot = classBlockRoot_;
  return UsbSerialOfNode(found->second, where);
}

bool ParseVolumeMapping(const std::string& text, std::map<char, std::string>& map) {
  if (text.size() < 3 || text[1] != '=' || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  map[static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])))] = text.substr(2);
  return true;
}

}  // namespace kestrune::device
