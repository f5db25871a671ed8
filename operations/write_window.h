// What stands between an operation and a drive's flash: the rule that no
// stand-in image reaches a real drive, asked once before any question, and
// the window from the first erase to the outcome, in which an interrupt
// waits.
#pragma once

#include <optional>

#include "base/program.h"
#include "platform/platform.h"

namespace kestrune {

// Whether the selected drive may not be written at all. True ("stop") after
// one ERROR box: with stand-ins when the drive is reached through real
// pass-through (StandInsBarredFrom decides), the report refused; when it
// runs without the working code this run could not load, refused; when
// the scan could not read its flash configuration, failed, with the
// scan's cause as the reason. Every operation that changes a drive's flash
// asks it once, first, before any question.
bool RefuseUnwritableDrive(Program& p);

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
