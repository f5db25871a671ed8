// A tracing decorator: every command that passes through is written as one
// line (CDB in hex, direction, transfer length, timeout, outcome).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "device/transport.h"

namespace kestrune::device {

// One command as traces and replays name it, e.g.
// "E: 12 00 00 00 b4 00 | in 180".
std::string FormatCommand(char letter, const Request& request);

// The line written for one command, e.g.
// "E: 12 00 00 00 b4 00 | in 180 | timeout 20 | good".
std::string FormatTraceLine(char letter, const Request& request, const Result& result);

using TraceSink = std::function<void(const std::string& line)>;

// A sink that appends each line, followed by a newline, to the file at
// `path` (made, readable by this user alone, when missing). Copies of it
// write to the one file, a line at a time whichever thread gives it, so one
// file serves every drive of a run. Empty, with `problem` set, when a folder
// on the way may be changed by others, or the name is a link, a FIFO, a
// device, another user's file or one with a second name.
TraceSink OpenTraceFile(const std::string& path, std::string* problem);

// Wraps a transport; the sink receives each line.
std::unique_ptr<Transport> MakeTracingTransport(std::unique_ptr<Transport> inner, char letter,
                                                TraceSink sink);

class TracingVolumes : public VolumeOpener {
 public:
  TracingVolumes(VolumeOpener& inner, TraceSink sink);
  // Appends the lines to `path` (OpenTraceFile). Check ok() afterwards.
  TracingVolumes(VolumeOpener& inner, const std::string& path);

  OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return inner_.NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override { return inner_.ServesRealDevice(letter); }
  std::string UsbSerial(char letter) const override { return inner_.UsbSerial(letter); }
  std::string UsbPort(char letter) const override { return inner_.UsbPort(letter); }
  std::string ReplayOf(char letter) const override { return inner_.ReplayOf(letter); }
  std::pair<std::string, std::string> ExportedFrom(char letter) const override {
    return inner_.ExportedFrom(letter);
  }
  bool ok() const { return static_cast<bool>(sink_); }

 private:
  VolumeOpener& inner_;
  TraceSink sink_;
};

}  // namespace kestrune::device
