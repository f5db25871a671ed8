// What the program's logic asks of its window: message boxes and controls.
// The Win32 dialog, the console and the tests each bind it.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// Message-box styles and answers, numbered as the Win32 API numbers them.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbTopmost = 0x40000;
// Not a window style, and never passed to one: the box tells the
// technician to pull the stick, so a front end that goes on working on the
// drive after it (the After backups) shows it only once that work is over.
inline constexpr unsigned kBoxTellsReplug = 0x10000000;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// The application's title, the caption of the application message box.
inline constexpr const char* kAppTitle = "Kestrune";

// Control ids of the main dialog.
inline constexpr int kIdcStartFix = 1000;
inline constexpr int kIdcDriveList = 1003;
inline constexpr int kIdcImagePath = 1004;
inline constexpr int kIdcBrowse = 1005;
inline constexpr int kIdcStatus = 1006;
inline constexpr int kIdcCheckIsp = 1009;
inline constexpr int kIdcDestroyIsp = 1010;

class View {
 public:
  virtual ~View() = default;

  // A modal message box; returns the button pressed (kIdOk, kIdCancel ...).
  virtual int ShowMessage(const std::string& text, const std::string& caption, unsigned style) = 0;

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
