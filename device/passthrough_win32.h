// Windows SCSI pass-through: the two request blocks handed to
// DeviceIoControl, and the opener of "\\.\X:" volumes.
#pragma once

#include <windows.h>
// The control codes of ntddscsi.h expand through winioctl.h's macros where
// they are used, so the order of these two does not matter.
#include <ntddscsi.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/drive_locks.h"
#include "device/transport.h"

namespace kestrune::device {

inline constexpr uint32_t kSenseAreaLength = 24;
inline constexpr uint32_t kBufferedDataLength = 512;

// Data-in below 512 bytes: the structure, the sense area and the data area
// in one block that the system copies in and out.
struct BufferedBlock {
  SCSI_PASS_THROUGH spt;
  ULONG filler;
  UCHAR sense[kSenseAreaLength];
  UCHAR gap[8];
  UCHAR data[kBufferedDataLength];
};

// Everything else: the structure points at the caller's buffer.
struct DirectBlock {
  SCSI_PASS_THROUGH_DIRECT sptd;
  ULONG filler;
  UCHAR sense[kSenseAreaLength];
  UCHAR gap[8];
};

// The buffered block carries exactly what the transport base buffers.
static_assert(kBufferedDataLength == kBufferedLimit);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x0004D004);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x0004D014);

#if !defined(_WIN64)
// The 32-bit program's published layout.
static_assert(sizeof(SCSI_PASS_THROUGH) == 44);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
static_assert(sizeof(BufferedBlock) == 592);
static_assert(offsetof(BufferedBlock, sense) == 48);
static_assert(offsetof(BufferedBlock, data) == 80);
static_assert(sizeof(DirectBlock) == 80);
static_assert(offsetof(DirectBlock, sense) == 48);
#else
// The native 64-bit structures are 56 bytes; the block offsets follow them.
static_assert(sizeof(SCSI_PASS_THROUGH) == 56);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
#endif

// Fills a zeroed block for `request` (data-in below 512 bytes, CDB at most
// 16 bytes). The bytes to hand DeviceIoControl in and out are returned.
void FillBufferedBlock(BufferedBlock& block, const Request& request, DWORD& inLength,
                       DWORD& outLength);
void FillDirectBlock(DirectBlock& block, const Request& request, DWORD& inLength, DWORD& outLength);

// The one place a pass-through outcome is classified.
Result ClassifyPassThrough(BOOL ioctlOk, DWORD lastError, UCHAR scsiStatus);

// Takes ownership of a volume handle opened for pass-through.
std::unique_ptr<Transport> MakePassThroughTransport(HANDLE volume);

// The lock of one volume letter: a named mutex, "Global\\kestrune-volume-E",
// seen by every session (platform::LockNamedMutex). Never waited for.
platform::LockAttempt LockVolumeLetter(char letter);

class PassThroughVolumes : public VolumeOpener {
 public:
  // Opens the volume under its letter's lock (LockVolumeLetter), which is
  // taken at the first open and kept while this opener lives.
  OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return true; }
  // What Windows lists for the disk of the letter: the serial of its USB
  // device and the hub chain of its port; empty where it lists none.
  std::string UsbSerial(char letter) const override;
  std::string UsbPort(char letter) const override;

 private:
  DriveLocks locks_;
};

}  // namespace kestrune::device
