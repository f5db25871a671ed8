// What the program's logic asks of the screen it runs under: message boxes
// and the status line. The Win32 dialog, the console and the tests each
// bind it; the window's controls are the dialog's own (app/dialog).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// The files a box's text names, as the program names them
// ("C:\\ISP0_Backup.bin"), so that a front end that keeps them somewhere
// else can say where without reading the text.
struct NamedFiles {
  NamedFiles() = default;
  explicit NamedFiles(std::vector<std::string> named) : paths(std::move(named)) {}
  std::vector<std::string> paths;
};

// A file a box names: as the program names it, and where it is on this
// host (the same on Windows).
struct BoxFile {
  std::string name;
  std::string hostPath;
  bool operator==(const BoxFile&) const = default;
};

class View {
 public:
  virtual ~View() = default;

  // A modal message box; returns the button pressed (kIdOk, kIdCancel ...).
  virtual int ShowMessage(const std::string& text, const std::string& caption, unsigned style) = 0;

  // The same box, with the files its text names. A view that shows the
  // text as it stands has nothing more to do with them.
  virtual int ShowMessageNaming(const std::string& text, const std::string& caption, unsigned style,
                                const std::vector<BoxFile>& files) {
    (void)files;
    return ShowMessage(text, caption, style);
  }

  // The status line under the drive list, which a broken verdict fills
  // ("ISP Fail") and leaves hidden. A view without one ignores it.
  virtual void StatusChanged(const std::string& text) { (void)text; }
};

}  // namespace kestrune
