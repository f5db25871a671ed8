#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/support/child_process.h"

extern char** environ;

namespace kestrune::testing {

namespace {

// A scratch file the child writes into; read back and removed afterwards.
class Capture {
 public:
  Capture() {
    std::string pattern = (std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp")) +
                          "/kestrune-child-XXXXXX";
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) path_ = pattern;
  }
  ~Capture() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  int fd() const { return fd_; }
  std::string Text() const {
    std::string text;
    if (fd_ < 0) return text;
    char buffer[8192];
    ::lseek(fd_, 0, SEEK_SET);
    for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    return text;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

bool ChildRun::Said(const std::string& line) const {
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    if (l == line) return true;
  }
  return false;
}

std::string ChildRun::Describe() const {
  std::ostringstream text;
  if (!started) return "did not start";
  if (hung) {
    text << "hung";
  } else if (exited) {
    text << "exit " << code;
  } else {
    text << "signal " << signal;
  }
  text << "; stdout: " << out << "; stderr: " << err;
  return text.str();
}

ChildRun RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) {
  return RunChild(argv, deadline, nullptr);
}

ChildRun RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                  const std::function<void(int pid)>& meanwhile) {
  ChildRun run;
  Capture out;
  Capture err;
  if (argv.empty() || out.fd() < 0 || err.fd() < 0) return run;

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd(), 2);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return run;
  run.started = true;
  std::thread beside;
  if (meanwhile) beside = std::thread([&meanwhile, pid] { meanwhile(pid); });

  const auto until = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      if (beside.joinable()) beside.join();
      return run;
    }
    if (std::chrono::steady_clock::now() >= until) {
      run.hung = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (beside.joinable()) beside.join();
  if (!run.hung) {
    run.exited = WIFEXITED(status);
    run.code = run.exited ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  run.out = out.Text();
  run.err = err.Text();
  return run;
}

}  // namespace kestrune::testing
