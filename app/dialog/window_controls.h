// The main window's controls, which only the dialog and the window that
// shows it know: their ids and what the dialog does with them.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// Control ids of the main dialog.
inline constexpr int kIdcStartFix = 1000;
inline constexpr int kIdcDriveList = 1003;
inline constexpr int kIdcImagePath = 1004;
inline constexpr int kIdcBrowse = 1005;
inline constexpr int kIdcStatus = 1006;
inline constexpr int kIdcCheckIsp = 1009;
inline constexpr int kIdcDestroyIsp = 1010;

class WindowControls {
 public:
  virtual ~WindowControls() = default;

  virtual void ShowControl(int id, bool show) = 0;
  virtual void EnableControl(int id, bool enable) = 0;
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual std::string GetControlText(int id) = 0;

  // The drop-down list (a sorted combo box).
  virtual void ResetList(int id) = 0;
  // Adds a line, keeping the list sorted; returns its index.
  virtual int AddListString(int id, const std::string& text) = 0;
  virtual void SetListSelection(int id, int index) = 0;
  // -1 when nothing is selected.
  virtual int GetListSelection(int id) = 0;

  // The open-file dialog; returns the chosen path, empty after a cancel.
  virtual std::string BrowseForFile(const std::string& filter, uint32_t flags) = 0;

  // Sends the close request to the main window.
  virtual void CloseMainWindow() = 0;
};

}  // namespace kestrune
