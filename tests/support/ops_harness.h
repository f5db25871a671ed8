// A program over a scripted drive with a small NAND behind it, for the tests
// of the ISP operations: pages live in memory, erases fill a block with
// 0xFF, and every command is recorded by the scripted drive. POSIX only: the
// program's drive C: and temporary folder are mapped onto a scratch folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/program.h"
#include "device/link.h"
#include "log/isp_log.h"
#include "operations/operations.h"
#include "platform/posix_platform.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/recording_view.h"
#include "tests/support/scripted_transport.h"

namespace kestrune::testing {

class OpsFlash {
 public:
  OpsFlash(ScriptedDrive& drive, uint32_t pageSize, uint32_t pagesPerBlock);

  std::vector<uint8_t> Page(uint32_t page) const;
  // `bytes` bytes from page `page` on, across pages.
  std::vector<uint8_t> Bytes(uint32_t page, uint32_t bytes) const;
  void Put(uint32_t page, const std::vector<uint8_t>& bytes);
  bool Written(uint32_t page) const { return pages_.count(page) != 0; }

  uint32_t pageSize() const { return pageSize_; }
  uint32_t pagesPerBlock() const { return pagesPerBlock_; }
  // Pages the drive pretends to have; commands beyond them fail.
  uint32_t pageCount = 1u << 20;
  std::vector<uint8_t> spare = std::vector<uint8_t>(16, 0x5A);

 private:
  void Install(ScriptedDrive& drive);
  uint32_t pageSize_;
  uint32_t pagesPerBlock_;
  std::map<uint32_t, std::vector<uint8_t>> pages_;  // unwritten pages read 0xFF
};

class OpsDialog : public CommandWindow {
 public:
  void DisableInputs() override { calls.push_back("disable"); }
  void EnableInputs() override { calls.push_back("enable"); }
  void HideStatus() override { calls.push_back("hide status"); }
  void DrivesChanged() override { calls.push_back("fill"); }
  std::vector<std::string> calls;
};

struct OpsHarness {
  explicit OpsHarness(bool logging = true);

  // Resets slot 0 (letter 'E') and gives it a valid geometry.
  DriveSlot& SetUpSlot(ControllerId id, uint32_t pageSize, uint16_t pagesPerBlock,
                       uint16_t cisPagesPerBlock);
  // Marks CIS copy `copy` present with these offsets (CIS numbering).
  void AddCopy(int copy, uint32_t ispOffset, uint32_t auxOffset = 0);

  // Writes an image file of `size` bytes under C: (which is also the work
  // folder): a catalogue name of that size gets its built-in image, any
  // other name a fixed pattern. Returns the bytes written.
  std::vector<uint8_t> WriteImage(const std::string& name, uint32_t size);
  std::vector<uint8_t> HostFile(const std::string& name) const;
  bool HostFileExists(const std::string& name) const;
  std::string LogText() const;

  // Commands with `opcode` seen so far.
  std::vector<ScriptedCommand> Seen(uint8_t opcode) const { return drive.SeenWith(opcode); }

  TempFolder folder;
  platform::PosixPlatform platform;
  ScriptedVolumes volumes;
  ScriptedDrive& drive;
  testing::TestLink link;
  IspLog log;
  RecordingView view;
  Program p;
  OpsDialog dialog;
};

// The fixed pattern of WriteImage: byte i of a file the catalogue does not hold.
uint8_t ImageByte(uint32_t i);

}  // namespace kestrune::testing
