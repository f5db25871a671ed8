// A virtual drive made from what a real one answered: fed every command of
// a recording in order, it works out the description (controller, texts,
// flash id, configuration record, capacity, controller memory, working
// code) and the flash as the drive held it before anything was written:
// every page read at its place, every page never read erased.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
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
  // buffer of a data-in command.
  void Observe(const device::Request& request, const device::Result& result,
               std::span<const uint8_t> dataIn);

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
  struct MemoryWrite {
    uint64_t order = 0;
    uint32_t address = 0;
    uint32_t length = 0;
  };

  void ObserveController(const device::Request& request, std::span<const uint8_t> dataIn);
  bool Original(uint32_t page, uint64_t order, uint32_t pagesPerBlock) const;

  uint64_t order_ = 0;
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
  std::vector<MemoryWrite> memoryWrites_;
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
