// Interrupts of a Windows console program: Ctrl-C, Ctrl-Break and the end
// of the console (closed window, logoff, shutdown) reach a handler that the
// system runs in a thread of its own, which hands each to the policy under
// its lock (interrupts.cpp). A program without a console (the dialog)
// never installs it.
#include <windows.h>

#include <mutex>
#include <string>

#include "platform/interrupt_policy.h"

namespace kestrune::platform::interrupts {
namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  Take(s, 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The end of the console ends the process as soon as this handler
  // returns, so it waits for the write to be over and then for the program
  // to end itself; the system ends it after its own time limit at the latest.
  s.holdsOver.wait(lock, [&] { return s.holds == 0; });
  lock.unlock();
  ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

bool InstallHandler() { return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0; }

// The handler takes each interrupt as it comes: none waits.
int TakePending() { return 0; }

void WriteLine(const std::string& line) {
  const std::string text = line + "\r\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

void Raise(InterruptKind kind) {
  // To every process of the console, as a key pressed in it would be.
  ::GenerateConsoleCtrlEvent(kind == InterruptKind::kInterrupt ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0);
}

void RemoveFile(const std::string& hostPath) { ::DeleteFileA(hostPath.c_str()); }

void EndProcess(int code) {
  // At once, as a signal ends a POSIX process: the handles close with it.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  // TerminateProcess does not return for the calling process.
  for (;;) ::Sleep(INFINITE);
}

}  // namespace kestrune::platform::interrupts
