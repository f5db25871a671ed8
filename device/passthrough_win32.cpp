#include "device/passthrough_win32.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>

#include "platform/windows_disks.h"

namespace kestrune::device {
namespace {

constexpr UCHAR kPathId = 0;
constexpr UCHAR kTargetId = 1;
constexpr UCHAR kLun = 0;

template <typename Structure>
void FillCommon(Structure& s, const Request& request, UCHAR dataIn, ULONG senseOffset) {
  s.Length = sizeof(Structure);
  s.ScsiStatus = 0;
  s.PathId = kPathId;
  s.TargetId = kTargetId;
  s.Lun = kLun;
  s.CdbLength = request.cdbLength;
  s.SenseInfoLength = kSenseAreaLength;
  s.DataIn = dataIn;
  s.DataTransferLength = request.transferLength;
  s.TimeOutValue = request.timeoutSeconds;
  s.SenseInfoOffset = senseOffset;
  std::memcpy(s.Cdb, request.cdb, request.cdbLength);
}

// What the system wrote back besides the status: the bytes of the data
// phase it did not move, and the sense data it filled in.
template <typename Structure>
Result WithReturnedFields(Result result, const Structure& s, const UCHAR* sense,
                          uint32_t transferLength) {
  if (s.DataTransferLength < transferLength)
    result.residual = transferLength - s.DataTransferLength;
  const size_t senseLength =
      std::min<size_t>({size_t{s.SenseInfoLength}, size_t{kSenseAreaLength}, result.sense.size()});
  std::memcpy(result.sense.data(), sense, senseLength);
  result.senseLength = static_cast<uint8_t>(senseLength);
  return result;
}

class PassThroughTransport : public Transport {
 public:
  explicit PassThroughTransport(HANDLE volume) : volume_(volume) {}
  ~PassThroughTransport() override { ::CloseHandle(volume_); }
  PassThroughTransport(const PassThroughTransport&) = delete;
  PassThroughTransport& operator=(const PassThroughTransport&) = delete;

 protected:
  Result Carry(const Request& request) override {
    DWORD returned = 0;
    DWORD inLength = 0;
    DWORD outLength = 0;
    if (request.carrier == Carrier::kIn && request.transferLength < kBufferedDataLength) {
      BufferedBlock block{};
      FillBufferedBlock(block, request, inLength, outLength);
      BOOL ok = ::DeviceIoControl(volume_, IOCTL_SCSI_PASS_THROUGH, &block, inLength, &block,
                                  outLength, &returned, nullptr);
      // `data` is the base's own buffer here: it reaches the caller only
      // after success.
      if (request.transferLength != 0) {
        std::memcpy(request.data, block.data, request.transferLength);
      }
      const Result result =
          ClassifyPassThrough(ok, ok ? 0 : ::GetLastError(), block.spt.ScsiStatus);
      return ok ? WithReturnedFields(result, block.spt, block.sense, request.transferLength)
                : result;
    }
    DirectBlock block{};
    FillDirectBlock(block, request, inLength, outLength);
    BOOL ok = ::DeviceIoControl(volume_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, inLength, &block,
                                outLength, &returned, nullptr);
    const Result result = ClassifyPassThrough(ok, ok ? 0 : ::GetLastError(), block.sptd.ScsiStatus);
    return ok ? WithReturnedFields(result, block.sptd, block.sense, request.transferLength)
              : result;
  }

 private:
  HANDLE volume_;
};

char Upper(char letter) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}

std::string VolumePath(char letter) {
  std::string path = "\\\\.\\A:";
  path[4] = letter;
  return path;
}

}  // namespace

void FillBufferedBlock(BufferedBlock& block, const Request& request, DWORD& inLength,
                       DWORD& outLength) {
  FillCommon(block.spt, request, SCSI_IOCTL_DATA_IN, offsetof(BufferedBlock, sense));
  block.spt.DataBufferOffset = offsetof(BufferedBlock, data);
  inLength = sizeof(SCSI_PASS_THROUGH);
  outLength = static_cast<DWORD>(offsetof(BufferedBlock, data) + request.transferLength);
}

void FillDirectBlock(DirectBlock& block, const Request& request, DWORD& inLength,
                     DWORD& outLength) {
  UCHAR dataIn = request.carrier == Carrier::kIn ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
  FillCommon(block.sptd, request, dataIn, offsetof(DirectBlock, sense));
  block.sptd.DataBuffer = request.data;
  inLength = sizeof(DirectBlock);
  outLength = sizeof(DirectBlock);
}

Result ClassifyPassThrough(BOOL ioctlOk, DWORD lastError, UCHAR scsiStatus) {
  if (!ioctlOk) {
    bool timedOut = lastError == ERROR_SEM_TIMEOUT || lastError == ERROR_TIMEOUT ||
                    lastError == ERROR_IO_DEVICE;
    Result result{timedOut ? Outcome::kTransportError : Outcome::kOsError, 0};
    result.systemError = static_cast<int>(lastError);
    return result;
  }
  if (scsiStatus != 0) return {Outcome::kScsiStatus, scsiStatus};
  return {Outcome::kGood, 0};
}

std::unique_ptr<Transport> MakePassThroughTransport(HANDLE volume) {
  return std::make_unique<PassThroughTransport>(volume);
}

platform::LockAttempt LockVolumeLetter(char letter) {
  return platform::LockNamedMutex(std::string("Global\\kestrune-volume-") + Upper(letter));
}

namespace {

// The disk Windows lists under `letter`, when it lists one.
std::optional<platform::WindowsListedDisk> ListedDiskOf(char letter) {
  platform::WindowsDiskAnswers answers;
  std::string problem;
  if (!platform::AskWindowsDisks(answers, problem)) return std::nullopt;
  for (platform::WindowsListedDisk& disk : platform::ListWindowsDisks(answers)) {
    if (disk.letter != 0 && Upper(disk.letter) == Upper(letter)) return disk;
  }
  return std::nullopt;
}

}  // namespace

std::string PassThroughVolumes::UsbSerial(char letter) const {
  const std::optional<platform::WindowsListedDisk> disk = ListedDiskOf(letter);
  return disk ? disk->serial : std::string();
}

std::string PassThroughVolumes::UsbPort(char letter) const {
  const std::optional<platform::WindowsListedDisk> disk = ListedDiskOf(letter);
  return disk ? disk->port : std::string();
}

OpenResult PassThroughVolumes::Open(char letter) {
  const char upper = Upper(letter);
  const std::string path = VolumePath(letter);
  const DriveLocks::Claim claim = locks_.Acquire(path, [upper] { return LockVolumeLetter(upper); });
  if (claim == DriveLocks::Claim::kHeldElsewhere) return OpenResult::HeldBy(path);
  if (claim != DriveLocks::Claim::kFirst && claim != DriveLocks::Claim::kAgain) return nullptr;
  HANDLE volume =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) {
    // No drive was opened, so none is kept from other runs.
    if (claim == DriveLocks::Claim::kFirst) locks_.Release(path);
    return nullptr;
  }
  return MakePassThroughTransport(volume);
}

}  // namespace kestrune::device
