// POSIX hosts only. Runs a program as a child process with its output kept,
// for tests that watch the console program from outside: its exit code, the
// signal that ended it, its output, and whether it outlived a deadline (a
// hang is then reported, not waited out).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kestrune::testing {

struct ChildRun {
  bool started = false;
  bool exited = false;  // ended by exit(); `code` holds its status
  int code = -1;
  int signal = 0;     // the signal that ended it, when it did not exit
  bool hung = false;  // still running at the deadline, then killed
  std::string out;
  std::string err;

  // The first line of stdout, without its newline.
  std::string FirstLine() const { return out.substr(0, out.find('\n')); }
  bool Said(const std::string& line) const;
  // What happened, for failure messages.
  std::string Describe() const;
};

// Runs argv[0] with the arguments after it, stdin from /dev/null.
ChildRun RunChild(const std::vector<std::string>& argv,
                  std::chrono::milliseconds deadline = std::chrono::seconds(60));
// The same, and `meanwhile` is called with the child's process id on a
// thread of its own while it runs (to send it a signal once it reached a
// point it shows).
ChildRun RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                  const std::function<void(int pid)>& meanwhile);

}  // namespace kestrune::testing
