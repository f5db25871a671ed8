// The end every command shares, whichever road it takes.
#pragma once

#include "operations/operations.h"

namespace kestrune {

// While it lives the command runs; when it goes, the window has its inputs
// enabled again and the status line hidden.
class CommandEnd {
 public:
  explicit CommandEnd(CommandWindow& window) : window_(window) {}
  CommandEnd(const CommandEnd&) = delete;
  CommandEnd& operator=(const CommandEnd&) = delete;
  ~CommandEnd() {
    window_.EnableInputs();
    window_.HideStatus();
  }

 private:
  CommandWindow& window_;
};

}  // namespace kestrune
