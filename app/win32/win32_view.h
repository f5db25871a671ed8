// The View over the real main dialog: message boxes owned by the dialog,
// and the window's controls: the drop-down list and the open-file dialog.
#pragma once

#include <windows.h>

#include <string>

#include "app/dialog/window_controls.h"
#include "view/view.h"

namespace kestrune::win32 {

// "Name|*.ext|...||" as the class library writes filters, in the
// NUL-separated form the open-file dialog takes (each '|' becomes a NUL).
std::string ToOpenFileFilter(const std::string& filter);

class Win32View : public View, public WindowControls {
 public:
  // Boxes shown before the dialog exists have no owner.
  void Attach(HWND dialog) { dialog_ = dialog; }
  HWND dialog() const { return dialog_; }

  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override;
  // The verdict's text goes into the status control, which stays hidden.
  void StatusChanged(const std::string& text) override;
  void ShowControl(int id, bool show) override;
  void EnableControl(int id, bool enable) override;
  void SetControlText(int id, const std::string& text) override;
  std::string GetControlText(int id) override;
  void ResetList(int id) override;
  int AddListString(int id, const std::string& text) override;
  void SetListSelection(int id, int index) override;
  int GetListSelection(int id) override;
  std::string BrowseForFile(const std::string& filter, uint32_t flags) override;
  void CloseMainWindow() override;

 private:
  HWND dialog_ = nullptr;
};

}  // namespace kestrune::win32
