#include "recording/replay.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "device/trace.h"

namespace kestrune::device {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t Since(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

}  // namespace

class ReplayTransport : public Transport {
 public:
  ReplayTransport(ReplayVolumes& volumes, char letter) : volumes_(volumes), letter_(letter) {}

 protected:
  Result Carry(const Request& request) override { return volumes_.Answer(letter_, request); }

 private:
  ReplayVolumes& volumes_;
  char letter_;
};

std::string DescribeDivergence(const Divergence& divergence) {
  return "the replay left its recording at command " + std::to_string(divergence.command) +
         ": recorded " + divergence.recorded + "; the run " + divergence.sent;
}

std::unique_ptr<ReplayVolumes> ReplayVolumes::Open(const std::string& path, std::string& problem,
                                                   const LookAlikes& lookAlikes) {
  std::unique_ptr<RecordingReader> reader = RecordingReader::Open(path, problem, lookAlikes);
  if (!reader) return nullptr;
  std::unique_ptr<ReplayVolumes> volumes = Over(std::move(reader), problem);
  if (!volumes) problem = path + ": " + problem;
  return volumes;
}

std::unique_ptr<ReplayVolumes> ReplayVolumes::Over(std::unique_ptr<RecordingReader> reader,
                                                   std::string& problem) {
  std::unique_ptr<ReplayVolumes> volumes(new ReplayVolumes(std::move(reader)));
  if (!SurveyRecording(*volumes->reader_, volumes->survey_, problem)) return nullptr;
  if (!volumes->survey_.finished) {
    problem = "ends after command " + std::to_string(volumes->survey_.commands) +
              " without its end marker: the recorded run did not finish" +
              (volumes->survey_.unanswered
                   ? " (command " + std::to_string(volumes->survey_.commands + 1) + ", " +
                         *volumes->survey_.unanswered + ", was sent and no reply came)"
                   : std::string()) +
              ", so a replay could not end as it did";
    return nullptr;
  }
  return volumes;
}

bool ReplayVolumes::ServesRealDevice(char letter) const {
  const auto it = survey_.facts.find(letter);
  return it != survey_.facts.end() && it->second.realDevice;
}

std::string ReplayVolumes::UsbSerial(char letter) const {
  const auto it = survey_.facts.find(letter);
  return it != survey_.facts.end() ? it->second.usbSerial : std::string();
}

std::string ReplayVolumes::ReplayOf(char letter) const {
  const std::vector<char>& letters = survey_.letters;
  // A replay whose digest was not given still is one.
  const std::string digest = digest_.empty() ? std::string("unknown") : digest_;
  return std::find(letters.begin(), letters.end(), letter) != letters.end() ? digest
                                                                            : std::string();
}

void ReplayVolumes::ReadStep(Step& step) {
  step.item = reader_->Next(step.open, step.command, step.problem);
}

std::string ReplayVolumes::DescribeStep(const Step& step) {
  switch (step.item) {
    case RecordingReader::Item::kOpen:
      return std::string(step.open.opened ? "the open of " : "a failed open of ") +
             step.open.letter + ":";
    case RecordingReader::Item::kCommand:
      return DescribeRecorded(step.command);
    case RecordingReader::Item::kEnd:
      return "the end of the recording";
    case RecordingReader::Item::kBad:
      break;
  }
  return "a record that cannot be read (the file " + step.problem + ")";
}

void ReplayVolumes::Diverge(const Step& recorded, std::string sent) {
  divergence_ = Divergence{answered_ + 1, DescribeStep(recorded), std::move(sent)};
  throw ReplayStopped();
}

OpenResult ReplayVolumes::Open(char letter) {
  if (divergence_ || finished_) throw ReplayStopped();
  const Clock::time_point start = Clock::now();
  Step step;
  ReadStep(step);
  if (step.item != RecordingReader::Item::kOpen || step.open.letter != letter) {
    spent_ += Since(start);
    Diverge(step, std::string("opened ") + letter + ":");
  }
  spent_ += Since(start);
  if (!step.open.opened) return nullptr;
  return std::make_unique<ReplayTransport>(*this, letter);
}

Result ReplayVolumes::Answer(char letter, const Request& request) {
  if (divergence_ || finished_) throw ReplayStopped();
  const Clock::time_point start = Clock::now();
  Step step;
  ReadStep(step);
  // Told only when the run leaves its recording: a replay answers a
  // thousand commands a scan, and formatting each would cost more than the
  // answer.
  const auto sent = [&] { return "sent " + FormatCommand(letter, request); };
  if (step.item != RecordingReader::Item::kCommand) {
    spent_ += Since(start);
    Diverge(step, sent());
  }
  const RecordedCommand& recorded = step.command;
  const bool sameCommand = recorded.letter == letter && recorded.cdb.size() == request.cdbLength &&
                           std::equal(recorded.cdb.begin(), recorded.cdb.end(), request.cdb) &&
                           recorded.carrier == request.carrier &&
                           recorded.transferLength == request.transferLength;
  if (!sameCommand) {
    spent_ += Since(start);
    Diverge(step, sent());
  }
  if (request.carrier == Carrier::kOut && request.transferLength > 0) {
    const auto [at, ignored] = std::mismatch(recorded.dataOut.begin(), recorded.dataOut.end(),
                                             request.data, request.data + request.transferLength);
    (void)ignored;
    if (at != recorded.dataOut.end()) {
      spent_ += Since(start);
      Diverge(step, sent() + " with other data from byte " +
                        std::to_string(at - recorded.dataOut.begin()) + " on");
    }
  }
  if (!recorded.dataIn.empty()) {
    std::memcpy(request.data, recorded.dataIn.data(), recorded.dataIn.size());
  }
  ++answered_;
  spent_ += Since(start);
  return recorded.result;
}

void ReplayVolumes::Finish() {
  if (divergence_ || finished_) return;
  finished_ = true;
  Step step;
  ReadStep(step);
  if (step.item == RecordingReader::Item::kEnd) return;
  divergence_ = Divergence{answered_ + 1, DescribeStep(step), "ended"};
}

}  // namespace kestrune::device
