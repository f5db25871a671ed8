// Replays a recording (recording/recording.h) in place of the drives it was
// made on: each open and command must be the next one recorded, and gets
// the recorded answer. At the first step that is not, the replay stops the
// run and keeps where and how it left the recording.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/transport.h"
#include "recording/recording.h"

namespace kestrune::device {

// Where a run left its recording.
struct Divergence {
  // The number of the command the run was at: the one it sent, or the next
  // one when it opened or ended instead.
  uint32_t command = 0;
  std::string recorded;  // "E: f8 02 ... | in 2048", "the open of E:", "the end of the recording"
  std::string sent;      // what the run did instead: "sent E: f9 ... | in 16", "opened E:", "ended"
};

// "the replay left its recording at command 12: recorded <recorded>; the
// run <sent>"
std::string DescribeDivergence(const Divergence& divergence);

// Thrown through the program from the open or command that left the
// recording, and from every one after it, so that the run ends there: no
// answer is made up for it and nothing goes on to report a drive failure
// that never happened. The divergence itself is kept by the opener.
class ReplayStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "the run left its recording"; }
};

class ReplayVolumes : public VolumeOpener {
 public:
  // Reads the whole recording once before anything is answered: a file
  // that is cut short, damaged or without its end marker is refused here.
  // Null with `problem` set; a file that starts as one of `lookAlikes` is
  // refused as what it is.
  static std::unique_ptr<ReplayVolumes> Open(const std::string& path, std::string& problem,
                                             const LookAlikes& lookAlikes = {});
  // The same over a reader already open (tests, benchmarks).
  static std::unique_ptr<ReplayVolumes> Over(std::unique_ptr<RecordingReader> reader,
                                             std::string& problem);

  // Every letter the recording opened or tried to open.
  const std::vector<char>& Letters() const { return survey_.letters; }
  const RecordingHeader& Header() const { return reader_->header(); }
  // The recording carries checksums (recording/recording.h).
  bool Checked() const { return reader_->checked(); }

  OpenResult Open(char letter) override;
  // Nothing real is reached: any user may replay.
  bool NeedsPrivilege() const override { return false; }
  // As the recorded drive was, so the run decides as it did.
  bool ServesRealDevice(char letter) const override;
  std::string UsbSerial(char letter) const override;
  // The recording's digest, which the one who opened it gives; every
  // letter it holds is a replay of it.
  void SetRecordingDigest(std::string sha256) { digest_ = std::move(sha256); }
  std::string ReplayOf(char letter) const override;

  // The run is over: commands the recording still holds are a divergence
  // too.
  void Finish();
  const std::optional<Divergence>& divergence() const { return divergence_; }

  // The device time the recording gives for its commands, and the time
  // this replay has spent answering.
  uint64_t RecordedNanoseconds() const { return survey_.deviceNanoseconds; }
  uint64_t ReplayNanoseconds() const { return spent_; }

 private:
  friend class ReplayTransport;
  explicit ReplayVolumes(std::unique_ptr<RecordingReader> reader) : reader_(std::move(reader)) {}

  struct Step {
    RecordingReader::Item item = RecordingReader::Item::kEnd;
    RecordedOpen open;
    RecordedCommand command;
    std::string problem;
  };
  void ReadStep(Step& step);
  static std::string DescribeStep(const Step& step);
  [[noreturn]] void Diverge(const Step& recorded, std::string sent);
  Result Answer(char letter, const Request& request);

  std::unique_ptr<RecordingReader> reader_;
  RecordingSurvey survey_;
  uint32_t answered_ = 0;
  std::optional<Divergence> divergence_;
  uint64_t spent_ = 0;
  bool finished_ = false;
  std::string digest_;
};

}  // namespace kestrune::device
