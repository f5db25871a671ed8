// What the program's logic asks of the screen it runs under: message boxes
// and the status line. The Win32 dialog, the console and the tests each
// bind it; the window's controls are the dialog's own (app/dialog).
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

class View {
 public:
  virtual ~View() = default;

  // A modal message box; returns the button pressed (kIdOk, kIdCancel ...).
  virtual int ShowMessage(const std::string& text, const std::string& caption, unsigned style) = 0;

  // The status line under the drive list, which a broken verdict fills
  // ("ISP Fail") and leaves hidden. A view without one ignores it.
  virtual void StatusChanged(const std::string& text) { (void)text; }
};

}  // namespace kestrune
