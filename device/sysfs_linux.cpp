#include "device/sysfs_linux.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kestrune::device {
namespace {

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

std::vector<SgioCandidate> ListSgioCandidates(const SysfsRoots& roots) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(roots.sysfsRoot, error)) {
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
    const std::filesystem::path entry = std::filesystem::path(roots.sysfsRoot) / name;
    SgioCandidate candidate;
    candidate.letter = letter <= 'Z' ? letter++ : 0;
    candidate.node = roots.devRoot + "/" + name;
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

namespace {

// The majors of SCSI disks (sd): each disk owns 16 minors, its own first,
// then those of its first 15 partitions.
bool IsScsiDiskMajor(unsigned number) {
  return number == 8 || (number >= 65 && number <= 71) || (number >= 128 && number <= 135);
}

// A block device of a SCSI disk's major whose minor is not its disk's.
bool IsPartitionNumber(const struct stat& st) {
  return S_ISBLK(st.st_mode) && IsScsiDiskMajor(major(st.st_rdev)) && minor(st.st_rdev) % 16 != 0;
}

// A partition of a SCSI disk, told by its device number alone, so that the
// answer does not depend on sysfs, whose entries for the partitions go and
// come back while the kernel reads the partition table again. The disk's
// node is the block device beside it with the disk's number. 1 with
// `diskNode` set, 0 when `node` is no such partition, -1 when it is one
// whose disk has no node beside it.
int ScsiPartitionDisk(const std::filesystem::path& node, std::string& diskNode) {
  struct stat st {};
  if (::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  const unsigned number = major(st.st_rdev);
  const unsigned partition = minor(st.st_rdev) % 16;
  if (!IsScsiDiskMajor(number) || partition == 0) return 0;
  const dev_t disk = makedev(number, minor(st.st_rdev) - partition);
  const auto isDisk = [disk](const std::filesystem::path& candidate) {
    struct stat c {};
    return ::stat(candidate.c_str(), &c) == 0 && S_ISBLK(c.st_mode) && c.st_rdev == disk;
  };
  // sdb1 -> sdb first; any other name in the folder after it.
  std::string name = node.filename().string();
  while (!name.empty() && std::isdigit(static_cast<unsigned char>(name.back())) != 0) {
    name.pop_back();
  }
  std::error_code error;
  // The node itself, not a link to it: runs that name it by other links
  // take one lock.
  const auto found = [&diskNode, &error](const std::filesystem::path& disk) {
    const std::filesystem::path real = std::filesystem::canonical(disk, error);
    diskNode = (error ? disk : real).string();
    return 1;
  };
  if (!name.empty() && isDisk(node.parent_path() / name)) return found(node.parent_path() / name);
  for (const auto& entry : std::filesystem::directory_iterator(node.parent_path(), error)) {
    if (isDisk(entry.path())) return found(entry.path());
  }
  return -1;
}

}  // namespace

bool IsScsiPartition(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && IsPartitionNumber(st);
}

std::string WholeDiskNode(const std::string& path, std::string& problem,
                          const std::string& classBlockRoot) {
  const std::filesystem::path node(ResolveDeviceNode(path));
  const std::string name = node.filename().string();
  const std::string partitionProblem =
      path + " is a partition, and the disk it belongs to cannot be found; name the whole disk";
  std::string byNumber;
  switch (ScsiPartitionDisk(node, byNumber)) {
    case 1:
      return byNumber;
    case -1:
      problem = partitionProblem;
      return {};
    default:
      break;
  }
  const std::filesystem::path entry = std::filesystem::path(classBlockRoot) / name;
  std::error_code error;
  if (name.empty() || !std::filesystem::exists(entry / "partition", error)) return node.string();
  // A partition's entry lies inside its disk's: .../block/sdb/sdb1.
  const std::filesystem::path disk = std::filesystem::canonical(entry, error).parent_path();
  const std::string diskName = error ? std::string() : disk.filename().string();
  const std::filesystem::path diskNode = node.parent_path() / diskName;
  if (diskName.empty() || std::filesystem::exists(disk / "partition", error) ||
      !std::filesystem::exists(diskNode, error)) {
    problem = partitionProblem;
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

std::string GenericNodeOf(const std::string& node, const std::string& classBlockRoot) {
  const std::filesystem::path path(node);
  const std::string name = path.filename().string();
  if (name.empty() || name == "." || name == "..") return {};
  std::error_code error;
  for (const auto& generic : std::filesystem::directory_iterator(
           std::filesystem::path(classBlockRoot) / name / "device" / "scsi_generic", error)) {
    const std::filesystem::path sibling = path.parent_path() / generic.path().filename();
    if (std::filesystem::exists(sibling, error)) return sibling.string();
  }
  return {};
}

namespace {

// The USB device that carries the disk or generic node `node`; empty when
// there is none.
std::filesystem::path UsbDeviceOfNode(const std::string& node, const SysfsRoots& roots) {
  const std::string name = std::filesystem::path(ResolveDeviceNode(node)).filename().string();
  if (name.empty() || name == "." || name == "..") return {};
  const bool generic = name.compare(0, 2, "sg") == 0;
  return UsbDevice(std::filesystem::path(generic ? roots.genericRoot : roots.classBlockRoot) /
                   name);
}

}  // namespace

std::string UsbSerialOfNode(const std::string& node, const SysfsRoots& roots) {
  const std::filesystem::path usb = UsbDeviceOfNode(node, roots);
  return usb.empty() ? std::string() : Trimmed(ReadFirstLine(usb / "serial"));
}

std::string UsbPortOfNode(const std::string& node, const SysfsRoots& roots) {
  return UsbDeviceOfNode(node, roots).filename().string();
}

}  // namespace kestrune::device
