// The ISP operations: Start Fix, the two updates, download and destroy.
// They act on the drive at p.selectedDrive and report through the view.
#pragma once

#include <cstdint>
#include <string>

#include "discovery/program.h"

namespace kestrune {

// What the dialog lends the operations: its control handling and the
// refresh of the drive list.
class DialogControls {
 public:
  virtual ~DialogControls() = default;
  virtual void DisableInputs() = 0;
  virtual void EnableInputs() = 0;
  virtual void ShowControl(int id, bool show) = 0;
  virtual void FillDriveList() = 0;
};

void OnStartFix(Program& p, DialogControls& dialog);
void DumpPhysicalPage(Program& p, uint32_t page);
bool ReadPhysicalPage(Program& p, uint32_t page);

void UpdateIspCode(Program& p, const std::string& path, bool destroy);
void UpdateIspCode190(Program& p, const std::string& path);

void DownloadIsp(Program& p, const std::string& path, uint32_t startPage);
void OnDestroyIsp(Program& p, DialogControls& dialog);

}  // namespace kestrune
