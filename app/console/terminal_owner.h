// The one writer to the console's terminal. Rows are added, updated and
// finished, and redrawn in place below everything else; lines and blocks of
// text are printed above the rows; a question pauses the drawing until it is
// answered. When the output is no terminal nothing is drawn and every line
// passes straight through. Every line, box and table of a run goes through
// the run's owner, so that none is ever drawn over or cut into another.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

#include "app/console/live_table.h"
#include "app/session/run_front.h"
#include "platform/terminal.h"

namespace kestrune::console {

// Where the owner asks the terminal's size, afresh at each drawing; null,
// or nullopt from it: the output is no terminal.
using TerminalSizeSource = std::function<std::optional<platform::TerminalSize>()>;

class TerminalOwner {
 public:
  // `screen` is the stream the rows are drawn on (stdout).
  TerminalOwner(std::ostream& screen, TerminalSizeSource size);
  ~TerminalOwner();
  TerminalOwner(const TerminalOwner&) = delete;
  TerminalOwner& operator=(const TerminalOwner&) = delete;

  using RowId = size_t;
  // A row below the others, shown from its first update on.
  RowId AddRow();
  void UpdateRow(RowId row, const LiveRow& shown);
  // The row's last state: counted finished from now on, and never changed
  // again. `shown.outcome` says what it came to.
  void FinishRow(RowId row, const LiveRow& shown);
  // Called outside the owner's lock before each drawing, and twice a second
  // while rows are shown, so that what runs on by itself (a drive's
  // seconds) is updated.
  void OnTick(std::function<void()> tick);
  // Something changed that the next tick tells: the drawing comes soon.
  void Wake();
  // The rows are drawn a last time and left where they are; what is printed
  // next goes below them, and rows added later make a new table.
  void Settle();

  // A whole line above the rows, written to `to` (stdout or stderr, which
  // show on the same terminal).
  void Line(std::ostream& to, const std::string& line);
  // Lines, each ending in '\n', written above the rows at once.
  void Text(std::ostream& to, const std::string& text);
  // The start of a line that waits for an answer typed on the terminal: the
  // rows step aside and come back below the next whole line.
  void Partial(std::ostream& to, const std::string& text);

  // While a pause lives the rows are off the screen and not drawn, so that
  // a question and its answer stand alone; its end draws them below the
  // answer.
  class Pause {
   public:
    explicit Pause(TerminalOwner* owner);
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    TerminalOwner* owner_;
  };
  [[nodiscard]] Pause Suspend() { return Pause(this); }

  // How wide a line may be: the terminal's columns, 0 when the output is no
  // terminal (no limit).
  size_t Columns() const;

  // Text a run has earned but shows later (a box that asks to pull the
  // stick waits until the drive's job is over): written once, by ShowHeldText, or
  // above the rows by ShowAllHeldText and StopOtherWriters when the run ends first.
  using HeldTextId = uint64_t;
  HeldTextId HoldText(std::ostream& to, std::string text);
  void ShowHeldText(HeldTextId id);
  void ShowAllHeldText();

  // The run's last word comes from this thread: the rows are drawn a last
  // time, each told its outcome by a last tick that sees Closing(), and
  // what others write from now on is dropped, so that nothing comes under
  // them or the last word.
  void StopOtherWriters();
  // True from StopOtherWriters on: the tick finishes every row it has, each with what
  // its drive came to as the run ends now.
  bool Closing() const { return closing_; }
  // The run's last word (its summary, its document): written even after
  // StopOtherWriters, by whichever thread tells it.
  void LastWord(std::ostream& to, const std::string& text);

 private:
  struct HeldText {
    std::ostream* to;
    std::string text;
  };
  struct Row {
    LiveRow shown;
    bool updated = false;
    bool finished = false;
  };
  class Hold;

  void Write(std::ostream& to, const std::string& text, bool lastWord);
  // Writes `text` above the rows, under the lock.
  void WriteLocked(std::ostream& to, const std::string& text);
  bool DrawingLocked() const;
  void EraseLocked();
  void DrawLocked();
  void StartLocked();
  // A row or what it shows changed: the drawing thread draws it soon.
  void RedrawSoonLocked();
  void ShowRow(RowId row, const LiveRow& shown, bool finished);
  void StopThread();
  void Loop();

  std::ostream& screen_;
  const TerminalSizeSource size_;
  mutable std::timed_mutex mutex_;
  std::condition_variable_any wake_;
  std::atomic<bool> frozen_{false};
  std::atomic<bool> closing_{false};
  std::atomic<std::thread::id> frozenBy_{};
  std::map<RowId, Row> rows_;
  std::map<HeldTextId, HeldText> held_;
  HeldTextId nextHeld_ = 0;
  RowId next_ = 0;
  std::function<void()> tick_;
  size_t drawn_ = 0;      // the lines of the last drawing still on screen
  int paused_ = 0;        // pauses that live
  bool partial_ = false;  // a prompt waits for its line's end
  bool dirty_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// A stream whose whole lines go through an owner to `to`, each behind
// `prefix` ("E: "); a flush that leaves part of a line, a prompt, puts it
// out as the start of a line that waits for an answer.
class OwnedStream : public session::LineStream {
 public:
  OwnedStream(TerminalOwner& owner, std::ostream& to, std::string prefix = {});
  ~OwnedStream() override;
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;

  // A last line without its end still goes out.
  void Finish() override;
  TerminalOwner& owner() { return lines_.owner; }
  // Where its lines go, and what goes before each.
  std::ostream& to() { return lines_.to; }
  const std::string& prefix() const { return lines_.prefix; }

 private:
  struct Lines : std::streambuf {
    Lines(TerminalOwner& owner, std::ostream& to, std::string prefix)
        : owner(owner), to(to), prefix(std::move(prefix)) {}
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;
    void Put(char c);

    TerminalOwner& owner;
    std::ostream& to;
    const std::string prefix;
    std::string line;
    std::mutex mutex;
  };
  Lines lines_;
};

// The owner whose lines `stream` carries; null for any other stream.
TerminalOwner* OwnerOf(std::ostream& stream);

}  // namespace kestrune::console
