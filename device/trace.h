// A tracing decorator: every command that passes through is written as one
// line (CDB in hex, direction, transfer length, timeout, outcome).
#pragma once

#include <fstream>
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

// Wraps a transport; the sink receives each line.
std::unique_ptr<Transport> MakeTracingTransport(std::unique_ptr<Transport> inner, char letter,
                                                TraceSink sink);

class TracingVolumes : public VolumeOpener {
 public:
  TracingVolumes(VolumeOpener& inner, TraceSink sink);
  // Appends the lines, each followed by a newline and flushed, to `path`.
  // Check ok() afterwards.
  TracingVolumes(VolumeOpener& inner, const std::string& path);

  OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return inner_.NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override { return inner_.ServesRealDevice(letter); }
  std::string UsbSerial(char letter) const override { return inner_.UsbSerial(letter); }
  std::string ReplayOf(char letter) const override { return inner_.ReplayOf(letter); }
  bool ok() const { return static_cast<bool>(sink_); }

 private:
  VolumeOpener& inner_;
  std::shared_ptr<std::ofstream> file_;
  TraceSink sink_;
};

}  // namespace kestrune::device
