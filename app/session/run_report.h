// The report of a run: what each drive's job came to, made from the
// reports of its operations, and the one exit code that follows from that.
// Every renderer of a run's end and the exit code read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/report.h"
#include "operations/flash_map.h"

namespace kestrune::session {

// The process exit codes.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoDevice = 3;
inline constexpr int kExitNotAdministrator = 4;
inline constexpr int kExitCancelled = 5;
// No drive was found because another run holds the one asked for (6 is the
// images command's).
inline constexpr int kExitHeld = 7;
// An interrupt ended the run (128 + SIGINT, as shells report it).
inline constexpr int kExitInterrupted = 130;

// What a drive's job reached, as the report reads it.
struct DriveWork {
  char letter = 0;     // 0: the job of a single-drive run
  std::string source;  // the device node or virtual-drive file of a letter of --all
  // The USB port the drive is plugged into as the kernel names it ("1-1.2"),
  // and the serial the drive gives as a USB device; empty when the host did
  // not say (a simulated drive has no port). Printable text, bounded.
  std::string port;
  std::string serial;
  // With watch: the drive is the how-many-th stick of the watch in its port
  // (1, 2, ...), which tells apart two sticks that one port and one letter
  // took in turn; 0 elsewhere.
  int stick = 0;
  std::vector<Report> reports;
  // Why the job was not run at all (its folders were refused, it got no
  // thread); empty when it was.
  std::string refusal;
  bool noSuchEntry = false;  // --select named no drive-list entry
  bool unsaved = false;      // a virtual drive's flash could not be kept
  bool finished = false;
  // An interrupt came while the job was under way.
  bool interrupted = false;
  double seconds = 0;
};

// What one drive's job came to.
struct DriveSummary {
  char letter = 0;  // 0: the job of a single-drive run
  std::string source;
  // Where the drive is plugged in and its serial, as DriveWork has them.
  std::string port;
  std::string serial;
  int stick = 0;
  Outcome outcome = Outcome::kNone;
  // The first line of what decided a failure; empty otherwise.
  std::string failure;
  // The scan's verdict.
  bool administrator = false;
  std::optional<DriveSlot> drive;
  bool healthy = false;
  std::vector<int32_t> ispOffsets;
  // Why the drive's working code could not be loaded; empty when it was.
  std::string codeNotLoaded;
  // What the command did.
  int copiesWritten = 0;
  int copiesVerified = 0;
  int backups = 0;
  // What the operations learned of each copy's areas.
  CopyStates states;
  std::vector<std::string> warnings;
  // What a restore said it would write, before its question.
  std::optional<RestoreSource> restoreSource;
  // The image a fix wrote, or was about to write.
  std::optional<WrittenImage> image;
  double seconds = 0;
  // The drive asked for was left out: another run holds it.
  bool held = false;
  bool noSuchEntry = false;
  // An interrupt came to its work, or cut it short; its outcome says
  // interrupted unless a failure weighs more.
  bool interrupted = false;
  // Its last change (a fix, restore or destroy) was done, its writes read
  // back equal, before an interrupt cut the run short, so what it left
  // undone is what follows the change (the After backups): what the
  // drive's row, summary, last line and document say instead of
  // "interrupted" ("repaired, pull it now"). Null when none stands. Its
  // outcome stays interrupted.
  const char* changeStands = nullptr;
};

// What a drive whose change stands shows where its outcome is told (row,
// summary, last line, JSON): done, and safe to pull only now.
inline constexpr const char* kRepairStandsText = "repaired, pull it now";
inline constexpr const char* kRestoreStandsText = "restored, pull it now";
inline constexpr const char* kDestroyStandsText = "destroyed, pull it now";

// How a front end names a drive another run holds.
using HeldText = std::string (*)(const HeldDrive& drive);

// `named`: the job of a letter of --all, which the run was asked to act on;
// a drive there that another run holds fails, as one whose folders were
// refused does. A job still under way (told of by an interrupt that ends
// the run at once) has been cut short, whatever its operations had
// settled, and so has one
// an interrupt came to while it was at work, whatever its operations said
// after: interrupted, with one drive, --all and watch alike.
DriveSummary Summarize(const DriveWork& job, bool named, HeldText heldText);

// The one mapping onto the exit code: 130 when an interrupt came to any
// drive's work; 2
// when --select named no entry; 3 (4 without the rights) when no drive was
// found and nothing failed; 1 when any drive failed or, among drives that
// were found, one was not; 5 when a question was answered Cancel; else 0.
int ExitCode(const std::vector<DriveSummary>& drives);

}  // namespace kestrune::session
