// The end every dialog command shares, whichever road it takes.
#pragma once

#include "operations/operations.h"
#include "view/view.h"

namespace kestrune {

// While it lives the command runs; when it goes, the dialog has its inputs
// enabled again and the status text hidden.
class DialogEnd {
 public:
  explicit DialogEnd(DialogControls& dialog) : dialog_(dialog) {}
  DialogEnd(const DialogEnd&) = delete;
  DialogEnd& operator=(const DialogEnd&) = delete;
  ~DialogEnd() {
    dialog_.EnableInputs();
    dialog_.ShowControl(kIdcStatus, false);
  }

 private:
  DialogControls& dialog_;
};

}  // namespace kestrune
