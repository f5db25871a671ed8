// What a live row shows of the steps a drive's operation told: the step
// under way and the share of the operation's steps taken.
#pragma once

#include <optional>

#include "app/session/run_request.h"
#include "base/report.h"

namespace kestrune::console {

// What a row shows of the steps an operation told: the step under way, and
// the share of the operation's steps taken. The operation's steps are taken
// in a known order; a step of a kind that comes earlier (the backups after
// a write) changes the step shown, never the share.
class RowProgress {
 public:
  explicit RowProgress(session::JobCommand command) : command_(command) {}
  void Apply(const StepEvent& step);
  const char* step() const;
  double progress() const;
  char letter() const { return letter_; }

 private:
  session::JobCommand command_;
  std::optional<StepKind> shown_;
  int phase_ = -1;  // the furthest step kind reached, as an index of the operation's order
  double share_ = 0;
  char letter_ = 0;
};

}  // namespace kestrune::console
