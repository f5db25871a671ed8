// What stands between an operation and a drive's flash: the rule that no
// stand-in image reaches a real drive, asked once before any question, and
// the window from the first erase to the outcome, in which an interrupt
// waits.
#pragma once

#include <optional>

#include "base/program.h"
#include "platform/platform.h"

namespace kestrune {

// With stand-ins, no real drive may be written. True ("stop") after one
// ERROR box asking for real images, the operation's report refused, when
// the selected drive is reached through real pass-through
// (StandInsBarredFrom decides), or when the selected drive runs without
// the working code this run could not load. Every operation that changes
// a drive's flash asks it once, first.
bool RefuseStandInImages(Program& p);

// From the first erase to the end of the read-back an interrupt waits, so
// that no copy is left half written; from then until the operation has
// told the outcome it waits too, so that the user learns what the write
// did. The window belongs to the operation: it closes when the operation
// returns.
class WriteWindow {
 public:
  explicit WriteWindow(Program& p) : p_(p) {}

  // Right before the first erase. False, the report interrupted, when an
  // interrupt came before it (taken while another drive of the run was
  // writing): nothing may be erased then.
  bool Open();
  // After the last read-back: the write is over, its outcome not yet told.
  void WriteDone() { write_.reset(); }

 private:
  Program& p_;
  std::optional<platform::InterruptHold> outcome_;
  std::optional<platform::InterruptHold> write_;
};

}  // namespace kestrune
