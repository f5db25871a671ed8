#include "recording/recorder.h"

#include <chrono>

namespace kestrune::device {

namespace {

class RecordingTransport : public Transport {
 public:
  RecordingTransport(std::unique_ptr<Transport> inner, char letter, RecordingWriter& writer)
      : inner_(std::move(inner)), letter_(letter), writer_(writer) {}

 protected:
  Result Carry(const Request& request) override {
    writer_.Sent(letter_, request);
    const auto start = std::chrono::steady_clock::now();
    const Result result = inner_->Execute(request);
    const auto took = std::chrono::steady_clock::now() - start;
    writer_.Reply(
        request, result,
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
    return result;
  }

 private:
  std::unique_ptr<Transport> inner_;
  char letter_;
  RecordingWriter& writer_;
};

}  // namespace

RecordingVolumes::RecordingVolumes(VolumeOpener& inner, DescribeDrive describe)
    : inner_(inner), describe_(std::move(describe)) {}

RecordingWriter* RecordingVolumes::WriterOf(char letter) const {
  const auto it = letters_.find(letter);
  if (it != letters_.end()) return it->second.get();
  return all_.get();
}

OpenResult RecordingVolumes::Open(char letter) {
  OpenResult inner = inner_.Open(letter);
  RecordingWriter* writer = WriterOf(letter);
  if (writer == nullptr) return inner;
  std::optional<DriveFacts> facts;
  if (inner) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (described_.insert(letter).second) {
      facts = describe_ ? describe_(letter) : DriveFacts{};
      if (facts->usbSerial.empty()) facts->usbSerial = inner_.UsbSerial(letter);
      facts->realDevice = inner_.ServesRealDevice(letter);
    }
  }
  writer->Open(letter, inner != nullptr, facts ? &*facts : nullptr);
  // A drive another run holds stays named as held.
  if (!inner) return inner;
  return std::make_unique<RecordingTransport>(std::move(inner.transport), letter, *writer);
}

std::vector<std::string> RecordingVolumes::Finish() {
  std::vector<std::string> problems;
  const auto finish = [&problems](RecordingWriter* writer) {
    if (writer == nullptr) return;
    writer->Finish();
    if (!writer->ok()) problems.push_back(writer->problem());
  };
  finish(all_.get());
  for (const auto& [letter, writer] : letters_) finish(writer.get());
  return problems;
}

}  // namespace kestrune::device
