#include "device/trace.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "platform/text.h"

namespace kestrune::device {
namespace {

class TracingTransport : public Transport {
 public:
  TracingTransport(std::unique_ptr<Transport> inner, char letter, TraceSink sink)
      : inner_(std::move(inner)), letter_(letter), sink_(std::move(sink)) {}

 protected:
  Result Carry(const Request& request) override {
    Result result = inner_->Execute(request);
    if (sink_) sink_(FormatTraceLine(letter_, request, result));
    return result;
  }

 private:
  std::unique_ptr<Transport> inner_;
  char letter_;
  TraceSink sink_;
};

}  // namespace

std::string FormatCommand(char letter, const Request& request) {
  std::string line(1, letter);
  line += ":";
  char piece[64];
  if (request.cdb != nullptr && request.cdbLength > 0) {
    line += " " + platform::HexText(request.cdb, std::min<size_t>(request.cdbLength, 16),
                                    platform::HexCase::kLower, ' ');
  }
  const char* direction = request.transferLength == 0       ? "none"
                          : request.carrier == Carrier::kIn ? "in"
                                                            : "out";
  std::snprintf(piece, sizeof piece, " | %s %u", direction, request.transferLength);
  return line + piece;
}

std::string FormatTraceLine(char letter, const Request& request, const Result& result) {
  return FormatCommand(letter, request) + " | timeout " + std::to_string(request.timeoutSeconds) +
         " | " + DescribeResult(result);
}

std::unique_ptr<Transport> MakeTracingTransport(std::unique_ptr<Transport> inner, char letter,
                                                TraceSink sink) {
  return std::make_unique<TracingTransport>(std::move(inner), letter, std::move(sink));
}

TraceSink OpenTraceFile(const std::string& path) {
  struct File {
    std::ofstream stream;
    std::mutex mutex;
  };
  auto file = std::make_shared<File>();
  file->stream.open(path, std::ios::app);
  if (!file->stream) return {};
  return [file](const std::string& line) {
    const std::lock_guard<std::mutex> lock(file->mutex);
    file->stream << line << '\n' << std::flush;
  };
}

TracingVolumes::TracingVolumes(VolumeOpener& inner, TraceSink sink)
    : inner_(inner), sink_(std::move(sink)) {}

TracingVolumes::TracingVolumes(VolumeOpener& inner, const std::string& path)
    : inner_(inner), sink_(OpenTraceFile(path)) {}

OpenResult TracingVolumes::Open(char letter) {
  OpenResult inner = inner_.Open(letter);
  if (!inner) return inner;
  return MakeTracingTransport(std::move(inner.transport), letter, sink_);
}

}  // namespace kestrune::device
