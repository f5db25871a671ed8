// The view a drive's job shows its boxes through. A front end gives the
// boxes and the lines of the steps.
#pragma once

#include <functional>
#include <string>

#include "base/report.h"
#include "view/view.h"

namespace kestrune::session {

// It takes the job's steps as its reports tell them.
class JobView : public View, public ReportObserver {
 public:
  // Called before an OK/Cancel question is shown; false answers it Cancel
  // unshown. None: every question is the view's own.
  void SetQuestionGate(std::function<bool()> gate) { gate_ = std::move(gate); }

  // One of the session's commands is over (the interactive prompt runs
  // many): a view that held a box until the work on the drive was done
  // shows it now.
  virtual void CommandEnded() {}

 protected:
  // False when the gate answered the question Cancel.
  bool PassGate() const { return !gate_ || gate_(); }

 private:
  std::function<bool()> gate_;
};

}  // namespace kestrune::session
