// A virtual drive made from what a real one answered: fed every command of
// a recording in order, it works out the description (controller, texts,
// flash id, configuration record, capacity, controller memory, working
// code) and the flash as the drive held it before anything was written:
// every page read at its place, every page never read erased.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "device/transport.h"
#include "simulator/drive_description.h"
#include "simulator/nand_flash.h"

namespace kestrune::sim {

struct ExportedDrive {
  DriveDescription description;
  NandFlash flash;
  // The description as a virtual-drive file holds it.
  std::string json;
  bool healthy = false;  // the verdict the drive gave
  uint32_t pagesRead = 0;
};

class DriveExport {
 public:
  // One command as it went to the drive; `dataIn` is what reached the
  // buffer of a data-in command. False, with problem() saying why, once a
  // command would make the export hold more than a drive of the family
  // explains; nothing more is kept then.
  bool Observe(const device::Request& request, const device::Result& result,
               std::span<const uint8_t> dataIn);
  // Whether Observe has use for the data of the command `cdb`: a reply of
  // which nothing would be kept (a page kept already, a command the export
  // does not look at) need not be held while the recording is read.
  bool WantsData(const uint8_t* cdb, size_t cdbLength) const;
  // Why the command Observe turned down was turned down.
  const std::string& problem() const { return refusal_; }

  // The most page and spare bytes kept: many times what a scan of a drive
  // of the largest pages reads (1,024 pages of 32 KiB) and a fix adds.
  static constexpr uint64_t kMostPageBytes = 128u << 20;
  // The most controller-memory bytes kept: each address once, of 64 KiB.
  static constexpr uint64_t kMostMemoryBytes = 1u << 20;

  // The drive. Nullopt with `problem` naming the command the traffic lacks,
  // or what makes the answers unfit for a virtual drive.
  std::optional<ExportedDrive> Finish(const std::string& usbSerial, std::string& problem) const;

 private:
  struct PageRead {
    uint64_t order = 0;
    std::vector<uint8_t> data;
  };
  struct Change {
    uint64_t order = 0;
    uint32_t page = 0;
    uint32_t count = 0;  // 0: the block of `page` was erased
  };
  struct MemoryRead {
    uint64_t order = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
  };
  bool ObserveController(const device::Request& request, std::span<const uint8_t> dataIn);

  bool Refuse(std::string why);

  uint64_t order_ = 0;
  std::string refusal_;
  uint64_t pageBytes_ = 0;    // counted at the size of each page and spare kept
  uint64_t memoryBytes_ = 0;  // controller-memory bytes kept
  size_t configLength_ = 0;   // of the longest F2 reply; config_ keeps its head
  std::optional<std::vector<uint8_t>> inquiry_;
  std::optional<std::vector<uint8_t>> capacity_;
  std::optional<std::vector<uint8_t>> flashId_;
  std::optional<uint8_t> modeByte_;
  std::vector<uint8_t> config_;
  uint32_t pageSize_ = 0;
  std::map<uint32_t, PageRead> pages_;
  std::map<uint32_t, PageRead> spares_;
  std::vector<Change> changes_;
  std::vector<MemoryRead> memoryReads_;
  // Controller memory written so far, byte by byte, and the addresses read.
  std::vector<bool> memoryWritten_ = std::vector<bool>(0x10000, false);
  std::set<uint32_t> memoryAddresses_;
  std::vector<uint8_t> code_ = std::vector<uint8_t>(4096, 0);
  std::string codeImage_;
  // READ CAPACITY turned down after the first restart, before one answered.
  std::optional<uint32_t> notReadyPolls_;
  bool afterReset_ = false;
  uint32_t polls_ = 0;
};

// Writes the description to `jsonPath` and the flash beside it, as the
// console loads a virtual-drive file; both are new files, readable by
// their owner alone (the flash holds what was read of the drive). False
// with `problem` set; nothing is left behind then.
bool WriteExportedDrive(const std::string& jsonPath, const ExportedDrive& drive,
                        std::string& problem);

}  // namespace kestrune::sim
