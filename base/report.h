// What each operation did, kept as data: its outcome, the boxes it showed,
// the copies it wrote and proved, the files it kept. Front ends make their
// text, tables, documents and exit codes from these reports, never from the
// words the boxes showed.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/drive_slot.h"
#include "base/table_rows.h"
#include "device/answer.h"
#include "view/view.h"

namespace kestrune {

struct Program;

enum class Outcome : uint8_t {
  kNone,  // not settled yet: the operation is still under way, or was cut off
  kSuccess,
  kFailed,
  kRefused,  // nothing was done: the operation would not act on this drive or these files
  kCancelled,
  kInterrupted,  // an interrupt cut the operation's own work short
  kNotFound,
  kNotAdministrator,
};

// "success", "failed", "refused", "cancelled", "interrupted", "not found",
// "not administrator"; "" for kNone.
const char* OutcomeText(Outcome outcome);

// A failure, whatever its kind: the operation did not do what was asked.
constexpr bool IsFailure(Outcome outcome) {
  return outcome == Outcome::kFailed || outcome == Outcome::kRefused ||
         outcome == Outcome::kNotAdministrator;
}

// A long step as the user is told of it: begun, then ended well or not.
enum class StepState : uint8_t { kStarted, kDone, kFailed };
enum class StepKind : uint8_t { kScan, kBackup, kErase, kWrite, kVerify, kRestart };

struct StepEvent {
  // The drive; 0 while the scan has not found one.
  char letter = 0;
  StepKind kind = StepKind::kScan;
  StepState state = StepState::kStarted;
  // "Backup C:\\ISP0_Before.bin", "Write ISP copy 0".
  std::string text;
  // Steps of this kind ended so far in this operation (this one included
  // once it has ended), and how many the operation means to take; 0 when
  // that is not known.
  int done = 0;
  int total = 0;
};

enum class FileKind : uint8_t { kBackup, kRecords, kLog, kMap };

// A file the program wrote and keeps: its name as the program spells it
// ("C:\\ISP0_Before.bin"), where it really is, and its size once complete
// (a file that grows to the end of the run has none).
struct KeptFile {
  std::string name;
  std::string hostPath;
  std::optional<uint64_t> size;
  FileKind kind = FileKind::kBackup;
};

// What is known of one code area of a copy.
enum class CopyState : uint8_t {
  kUnchecked,   // nothing was read or written
  kMatches,     // its code read back equal to the image a fix would write
  kDiffers,     // read, and not equal to it
  kUnreadable,  // the read failed
  kWritten,     // written, not proven equal
  kVerified,    // written and read back equal
};

// How each state is named and shown: in documents, in words, in the
// picture of the flash and on a terminal. One row a state, in its order.
struct CopyStateRow {
  CopyState state;
  const char* name;    // "matches": documents and data attributes
  const char* words;   // "matches the image": the map's lines and legend
  const char* colour;  // the picture's fill
  const char* ansi;    // the terminal's colour
};

inline constexpr CopyStateRow kCopyStateRows[] = {
    {CopyState::kUnchecked, "unchecked", "not read", "#9a9a9a", "\033[37m"},
    {CopyState::kMatches, "matches", "matches the image", "#2e9d48", "\033[32m"},
    {CopyState::kDiffers, "differs", "differs from the image", "#d62728", "\033[31m"},
    {CopyState::kUnreadable, "unreadable", "unreadable", "#ff7f0e", "\033[33m"},
    {CopyState::kWritten, "written", "written, not proven", "#e6c229", "\033[33m"},
    {CopyState::kVerified, "verified", "written and verified", "#1b6e33", "\033[32m"},
};

// The row of `state`; a value outside the enumeration reads as kUnchecked.
constexpr const CopyStateRow& RowOf(CopyState state) { return RowFor(kCopyStateRows, state); }
static_assert(RowsInOrder(kCopyStateRows, &CopyStateRow::state, CopyState::kVerified),
              "one row per copy state, in the enumeration's order");

// The state an operation learned of one area: the ISP area of a copy, or
// (controller 0x190) its auxiliary area.
struct AreaState {
  int copy = 0;
  bool aux = false;
  CopyState state = CopyState::kUnchecked;
};

// Why a failure box was shown, as far as the drive link knows: the last
// command the operation sent and what the drive or the system answered,
// and the one line that tells it ("Why: flash page write (FA) answered
// CHECK CONDITION, ...").
struct FailureCause {
  // None when the operation sent no command before the failure, or when
  // a check of the program's own failed (`ownCheck`).
  std::optional<device::CommandAnswer> command;
  std::string line;
  bool ownCheck = false;
};

// The line for the failure that follows `last`, the last command the link
// was asked to send, when its number is above `before` (the commands asked
// before the operation began); any earlier one is no part of it. When
// `last` went well, the command that failed first since the step began
// (`firstFailed`) is the cause, not a later one that worked.
FailureCause ExplainFailure(const std::optional<device::CommandAnswer>& last, uint64_t before,
                            const std::optional<device::CommandAnswer>& firstFailed = {});

// A message box as it was shown, and the answer it got.
struct ShownBox {
  std::string caption;
  std::string text;
  unsigned style = 0;
  // The button that closed it: kIdOk or kIdCancel.
  int answer = 0;
  // Set for the box of a failure (Fail).
  std::optional<FailureCause> why;
  // The files its text names.
  std::vector<BoxFile> files;
};

// A drive left out because another run holds it: its device node or file.
struct HeldDrive {
  char letter = 0;
  std::string holder;
};

// What a restore writes: the save it takes (no id: files named by hand)
// and each file with the area it goes into.
struct RestoreFile {
  std::string file;
  int copy = 0;
  bool aux = false;
};
struct RestoreSource {
  std::string save;  // empty: files named by hand
  std::string command;
  std::string role;
  std::string savedAt;
  std::string source;
  std::vector<RestoreFile> files;
};

// The image an operation wrote into the drive, as the run chose it: the
// file's name in the image set ("163A2C/US.BIN"), the chooser row that sent
// the drive to it ("update, controller 0x163, ..."), and the SHA-256 of the
// image file whose bytes were written (lower-case hex), as `kestrune
// images` and a SHA256SUMS give it.
struct WrittenImage {
  std::string file;
  std::string row;
  std::string sha256;
};

// "ISP image: 163A2C/US.BIN, SHA-256 ... (update, controller 0x163, row
// 12: ...)": the line the output and the log name it with, the digest
// ahead of the row so that a log line cut short keeps it.
std::string ImageLine(const WrittenImage& image);

struct Report {
  // "scan", "fix", "destroy", "backup", "restore"; empty for what was
  // shown before any operation began.
  std::string operation;
  // The drive acted on; 0 while the scan has found none.
  char letter = 0;
  Outcome outcome = Outcome::kNone;
  // The text of the box that told the failure which decided the outcome.
  std::string failure;
  // Copies whose areas were all written, and whose areas were all read back
  // equal to what was written (for 0x190 both the ISP and the auxiliary
  // area). An erase that destroys a copy counts as written.
  int copiesWritten = 0;
  int copiesVerified = 0;
  // Each area's last state, one entry per area the operation read or wrote.
  std::vector<AreaState> areas;
  std::vector<KeptFile> files;
  std::vector<std::string> warnings;
  // Every box, in order, with its answer.
  std::vector<ShownBox> boxes;
  std::vector<HeldDrive> held;
  // The first erase was sent.
  bool writeWindowEntered = false;
  // Commands the drive link had been asked to send when the report began.
  uint64_t commandsBefore = 0;
  // What a restore was about to write, told before its question.
  std::optional<RestoreSource> restoreSource;
  // The image a fix wrote (or was about to write when it stopped).
  std::optional<WrittenImage> image;

  // The scan's verdict: whether the run had the rights a drive needs, the
  // slot of the drive it identified as identification left it, whether its
  // ISP is healthy, and the ISP offsets the CodeMark search found.
  bool administrator = false;
  std::optional<DriveSlot> drive;
  bool healthy = false;
  std::vector<int32_t> ispOffsets;
  // Why the drive's working code could not be loaded, so that it is
  // listed and goes no further; empty when it was or none is needed.
  std::string codeNotLoaded;
};

// Told as a report grows, for front ends that show steps as they happen.
// Called on the thread that runs the program, never under the reports' lock.
class ReportObserver {
 public:
  virtual ~ReportObserver() = default;
  virtual void Step(const StepEvent& step) { (void)step; }
  virtual void FileKept(const KeptFile& file) { (void)file; }
  virtual void DriveHeld(const HeldDrive& drive) { (void)drive; }
  // Right after the box of a failure: why it failed.
  virtual void Explained(const FailureCause& why) { (void)why; }
  // The image the operation is about to write, once it is read.
  virtual void ImageChosen(const WrittenImage& image) { (void)image; }
};

// The reports of one program, in the order begun. The thread that runs the
// program fills them; any thread may take a snapshot, so a run that ends
// early can still tell what each drive reached.
class Reports {
 public:
  void Begin(std::string operation, char letter);
  // Changes the current report; one is begun, nameless, when there is none.
  template <typename Change>
  void Update(Change&& change) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (reports_.empty()) reports_.emplace_back();
    std::forward<Change>(change)(reports_.back());
  }
  std::vector<Report> Snapshot() const;

  // Set before the program runs; null: nobody is told.
  void SetObserver(ReportObserver* observer) { observer_ = observer; }
  ReportObserver* observer() const { return observer_; }

 private:
  mutable std::mutex mutex_;
  std::vector<Report> reports_;
  ReportObserver* observer_ = nullptr;
};

// The outcome a report takes when `outcome` happens to it: the first
// failure decides and keeps its text, an interrupt outweighs what went well
// before it, a cancel outweighs a success, and kNone changes nothing.
void Settle(Report& report, Outcome outcome, const std::string& failure = {});

// --- what the program's logic records as it goes ---

// Starts the report of `operation` on the selected drive.
void BeginReport(Program& p, const char* operation);
// BeginReport for an operation that needs the rights and a selected drive:
// without either the report is settled at once (not administrator, not
// found) and the result is false.
bool BeginDriveReport(Program& p, const char* operation);
// Shows a message box and records it with its answer.
// A box whose text names files passes them in `files`.
int ShowBox(Program& p, const std::string& text, const std::string& caption, unsigned style,
            const NamedFiles& files = NamedFiles());
// Shows the box of a failure and records it: the report fails with
// `outcome`, unless an earlier failure decided it already.
void Fail(Program& p, Outcome outcome, const std::string& text, const std::string& caption,
          unsigned style, const NamedFiles& files = NamedFiles());
// The same, for a failure whose cause came before the operation (the scan
// that found the drive) or is a check of the program's own: `why` is told
// instead of what the link kept.
void Fail(Program& p, Outcome outcome, const std::string& text, const std::string& caption,
          unsigned style, const FailureCause& why, const NamedFiles& files = NamedFiles());
// Shows a warning box and records it and its text among the warnings.
void Warn(Program& p, const std::string& text, const std::string& caption, unsigned style,
          const NamedFiles& files = NamedFiles());
// While it lives (and `when` holds), Fail records warnings: for the steps
// after an operation has done what was asked, such as the backups after a
// verified write.
class FailuresWarn {
 public:
  FailuresWarn(Program& p, bool when);
  ~FailuresWarn();
  FailuresWarn(const FailuresWarn&) = delete;
  FailuresWarn& operator=(const FailuresWarn&) = delete;

 private:
  Program& p_;
  bool was_;
};
// Settles the current report (see Settle) without a box.
void SettleReport(Program& p, Outcome outcome);
// A step of the selected drive; the second form names its drive itself.
void ReportStep(Program& p, StepKind kind, StepState state, const std::string& text, int done = 0,
                int total = 0);
void ReportStep(Program& p, const StepEvent& step);
void ReportFile(Program& p, const KeptFile& file);
// The image the operation writes; told once it is read, before anything
// it overwrites is saved.
void ReportImage(Program& p, const WrittenImage& image);
// Adds copies written, and copies read back equal.
void ReportCopies(Program& p, int written, int verified);
// What the operation learned of one area; replaces what it learned before.
void ReportArea(Program& p, int copy, bool aux, CopyState state);
// A drive another run holds was left out; told once per report and drive.
void ReportHeld(Program& p, char letter, const std::string& holder);

}  // namespace kestrune
