#include "device/trace.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/text.h"
#include "platform/folder.h"

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

TraceSink OpenTraceFile(const std::string& path, std::string* problem) {
  // The run may hold more rights than whoever prepared the path: each folder
  // on the way is checked, and the file is opened relative to the last one,
  // as a recording is made.
  const platform::FolderOfFile place =
      platform::OpenFolderOf(path, platform::FolderRule::kShared, true);
  if (!place.opening.folder) {
    if (problem != nullptr) *problem = place.Refusal(path);
    return {};
  }
  platform::OpenedFile opened = place.opening.folder->OpenForAppending(place.name, 0600);
  if (opened.status != platform::ReadStatus::kRead) {
    if (problem != nullptr) *problem = path + ": it " + opened.why;
    return {};
  }
  struct File {
    std::unique_ptr<platform::File> file;
    std::mutex mutex;
  };
  auto file = std::make_shared<File>();
  file->file = std::move(opened.file);
  return [file](const std::string& line) {
    const std::lock_guard<std::mutex> lock(file->mutex);
    const std::string whole = line + '\n';
    file->file->Write(whole.data(), whole.size());
  };
}

TracingVolumes::TracingVolumes(VolumeOpener& inner, TraceSink sink)
    : inner_(inner), sink_(std::move(sink)) {}

TracingVolumes::TracingVolumes(VolumeOpener& inner, const std::string& path)
    : inner_(inner), sink_(OpenTraceFile(path, nullptr)) {}

OpenResult TracingVolumes::Open(char letter) {
  OpenResult inner = inner_.Open(letter);
  if (!inner) return inner;
  return MakeTracingTransport(std::move(inner.transport), letter, sink_);
}

}  // namespace kestrune::device
