// The ISP log, c:\ISP.log, and the debug channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace kestrune {

inline constexpr const char* kIspLogPath = "c:\\ISP.log";

class IspLog {
 public:
  explicit IspLog(platform::Platform& platform);

  // Logging is on for the run exactly when c:\ISP.log exists now: it is then
  // created anew and "Start" is written. When it exists but cannot be made
  // anew, logging stays off.
  void StartLog();
  // Writes the text and CR LF. Returns 1 when logging is off, 0 after writing.
  int AppendLog(const char* text);
  // Writes a hex dump of `count` bytes and the closing 79-dash rule.
  void DumpHexToLog(uint32_t count, const uint8_t* bytes);

  // Sends a text to the debugger output.
  void Debug(const char* text);

  // printf-style: formats into logLine (cut safely at 255 characters) and
  // appends it.
  int AppendLogFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

  bool logEnabled = false;
  // Scratch buffers in which callers format their lines.
  char logLine[256] = {};
  char debugLine[256] = {};

 private:
  platform::Platform& platform_;
  std::unique_ptr<platform::File> logFile_;
};

// The longest text AppendLog writes on one line; longer texts are cut, as
// if they had been formatted into logLine.
inline constexpr size_t kMaxLogLineLength = sizeof(IspLog::logLine) - 1;

// The dump text exactly as DumpHexToLog writes it, without the rule line.
std::string FormatHexDump(uint32_t count, const uint8_t* bytes);

}  // namespace kestrune
