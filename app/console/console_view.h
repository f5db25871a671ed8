// The view of the console front end: message boxes become lines, controls
// become state the commands read back.
#pragma once

#include <iosfwd>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/console/terminal_owner.h"
#include "app/session/run_front.h"
#include "base/report.h"
#include "platform/text.h"
#include "view/view.h"

namespace kestrune::console {

// How an OK/Cancel box is answered: asked on the terminal, OK with --yes,
// Cancel without a terminal or --yes, so nothing is written unasked.
using session::Answering;

// The console's view, and the observer of the program's reports that
// prints each step and kept file as it happens.
class ConsoleView : public session::JobView {
 public:
  // Boxes print to `boxes`; questions are read from `in`; progress, the
  // files written and prompts go to `err`. `quiet` keeps only errors,
  // warnings and the questions a user must answer.
  ConsoleView(std::ostream& boxes, std::istream& in, std::ostream& err, Answering answering,
              bool quiet = false);
  // Shows what it holds (HoldReplugBoxes).
  ~ConsoleView() override;
  ConsoleView(const ConsoleView&) = delete;
  ConsoleView& operator=(const ConsoleView&) = delete;

  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override;
  // Under a box that names files, a line for each that says where it is
  // on this host (HostPathLines).
  int ShowMessageNaming(const std::string& text, const std::string& caption, unsigned style,
                        const std::vector<BoxFile>& files) override;
  // A box that tells the technician to pull the stick waits until this
  // view's work on the drive is over (the After backups follow it), so
  // that nothing on screen asks for a stick whose job is still running.
  void HoldReplugBoxes(bool hold) { holdReplug_ = hold; }
  void ShowHeld();
  void CommandEnded() override { ShowHeld(); }

  // "... Write ISP copy 0", then "... done: Write ISP copy 0" (or failed);
  // the scan and erases are not shown.
  void Step(const StepEvent& step) override;
  // "C:\\ISP0_Before.bin -> /home/tech/ISP0_Before.bin", beside the progress.
  void FileKept(const KeptFile& file) override;
  // One line on stderr naming the drive left out.
  void DriveHeld(const HeldDrive& drive) override;
  // "Why: ..." under the failure box just shown, where it was shown.
  void Explained(const FailureCause& why) override;
  // "Image: 163A2C/US.BIN (update, ...), SHA-256 ...", among the boxes.
  void ImageChosen(const WrittenImage& image) override;

 private:
  int Ask(const std::string& text);
  void Print(const std::string& text, const std::string& caption,
             const std::vector<BoxFile>& files);
  // The lines a box prints.
  static std::string BoxText(const std::string& text, const std::string& caption,
                             const std::vector<BoxFile>& files);

  std::ostream& boxes_;
  std::istream& in_;
  std::ostream& err_;
  Answering answering_;
  bool quiet_;

  std::set<std::string> growing_;
  bool holdReplug_ = false;
  // Each held box, and what the terminal owner owes for it: a run that an
  // interrupt ends before this view shows it still shows it, once.
  struct HeldBox {
    std::string text;
    std::string caption;
    std::vector<BoxFile> files;
    std::optional<TerminalOwner::HeldTextId> heldText;
  };
  std::vector<HeldBox> held_;
  bool lastBoxPrinted_ = false;
};

// A text from a drive or from sysfs with every byte that could steer a
// terminal shown as '?': printable ASCII only.
using platform::PrintableText;

// A box's text as a terminal may show it: line breaks and whole UTF-8
// characters stay (a folder's name may need them), and every control byte,
// C1 control or stray byte becomes '?', so that a drive's text quoted in a
// box cannot steer the terminal.
std::string TerminalText(std::string_view text);

// For each file a box names, once, the line that says where it is on the
// host ("C:\\ISP0_Backup.bin is /srv/c/ISP0_Backup.bin"), and whether its
// folder is missing. None where the path is the host's own.
std::vector<std::string> HostPathLines(const std::vector<BoxFile>& files);

// The line that names a drive another run holds.
std::string HeldDriveText(const HeldDrive& drive);

// Whether --quiet shows a box: an error or a warning, or a question that
// --yes does not answer.
using session::ShownWhenQuiet;

}  // namespace kestrune::console
