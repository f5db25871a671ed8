// A recording as a replay or an export reads it. Input: the file. A
// refusal must say why; what is read must write back to the same records,
// replay to its own answers without a divergence, and make either a drive
// description that loads or a refusal that says why.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/recording.h"
#include "device/replay.h"
#include "platform/platform.h"
#include "simulator/drive_export.h"

using namespace kestrune;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

// A file in memory for the writer.
class MemoryFile : public platform::File {
 public:
  explicit MemoryFile(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void* data, size_t size) override {
    const auto* in = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), in, in + size);
    return size;
  }
  bool Seek(uint64_t) override { return false; }

 private:
  std::vector<uint8_t>& bytes_;
};

struct Step {
  bool open = false;
  device::RecordedOpen opened;
  device::RecordedCommand command;
};

bool SameCommand(const device::RecordedCommand& a, const device::RecordedCommand& b) {
  return a.number == b.number && a.letter == b.letter && a.cdb == b.cdb && a.carrier == b.carrier &&
         a.wholeTransfer == b.wholeTransfer && a.transferLength == b.transferLength &&
         a.timeoutSeconds == b.timeoutSeconds && a.dataOut == b.dataOut && a.dataIn == b.dataIn &&
         a.result.outcome == b.result.outcome && a.result.scsiStatus == b.result.scsiStatus &&
         a.result.residual == b.result.residual && a.result.senseLength == b.result.senseLength &&
         std::memcmp(a.result.sense.data(), b.result.sense.data(), a.result.senseLength) == 0 &&
         a.durationNanoseconds == b.durationNanoseconds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  auto reader = device::RecordingReader::FromBytes({data, size}, problem);
  if (!reader) {
    if (problem.empty()) Fail("a refused header gave no reason");
    return 0;
  }
  std::vector<Step> steps;
  // Runs of one byte make small inputs large; the checks below hold every
  // record at once, so an input past this is read but not held.
  constexpr size_t kHeldBytes = 64u << 20;
  size_t held = 0;
  sim::DriveExport exporter;
  std::vector<uint8_t> copy;
  device::RecordingWriter writer(std::make_unique<MemoryFile>(copy), "copy", reader->header());
  for (;;) {
    Step step;
    const auto item = reader->Next(step.opened, step.command, problem);
    if (item == device::RecordingReader::Item::kBad) {
      if (problem.empty()) Fail("a refused record gave no reason");
      return 0;
    }
    if (item == device::RecordingReader::Item::kEnd) break;
    held += step.command.dataIn.size() + step.command.dataOut.size();
    if (held > kHeldBytes) return 0;
    step.open = item == device::RecordingReader::Item::kOpen;
    if (step.open) {
      writer.Open(step.opened.letter, step.opened.opened,
                  step.opened.facts ? &*step.opened.facts : nullptr);
    } else {
      device::Request request = device::RequestOf(step.command);
      request.data = step.command.carrier == device::Carrier::kOut ? step.command.dataOut.data()
                                                                   : step.command.dataIn.data();
      writer.Sent(step.command.letter, request);
      writer.Reply(request, step.command.result, step.command.durationNanoseconds);
      exporter.Observe(request, step.command.result, step.command.dataIn);
    }
    steps.push_back(std::move(step));
  }
  const bool finished = reader->finished();
  if (finished) writer.Finish();

  // Written back, the records read the same.
  auto again = device::RecordingReader::FromBytes(copy, problem);
  if (!again) Fail("a recording read does not write back");
  for (const Step& step : steps) {
    Step read;
    const auto item = again->Next(read.opened, read.command, problem);
    const bool same = step.open ? item == device::RecordingReader::Item::kOpen &&
                                      read.opened.letter == step.opened.letter &&
                                      read.opened.opened == step.opened.opened &&
                                      read.opened.facts.has_value() == step.opened.facts.has_value()
                                : item == device::RecordingReader::Item::kCommand &&
                                      SameCommand(read.command, step.command);
    if (!same) Fail("a recording written back reads otherwise");
  }

  // Replayed, it answers its own commands with its own replies.
  if (finished) {
    auto replay = device::ReplayVolumes::Over(
        device::RecordingReader::FromBytes({data, size}, problem), problem);
    if (!replay) Fail("a finished recording does not replay");
    // The volume each letter opened last, as a program keeps its handle.
    std::map<char, std::unique_ptr<device::Transport>> volumes;
    try {
      for (Step& step : steps) {
        if (step.open) {
          if (auto opened = replay->Open(step.opened.letter)) {
            volumes[step.opened.letter] = std::move(opened.transport);
          }
          continue;
        }
        device::Transport* transport = volumes[step.command.letter].get();
        if (transport == nullptr) Fail("a command of a recording went to a drive never opened");
        device::Request request = device::RequestOf(step.command);
        std::vector<uint8_t> buffer = step.command.dataOut;
        buffer.resize(request.transferLength, 0);
        request.data = buffer.empty() ? nullptr : buffer.data();
        transport->Execute(request);
      }
    } catch (const device::ReplayStopped&) {
      Fail("a recording does not replay its own commands");
    }
    replay->Finish();
    if (replay->divergence()) Fail("a replay of a whole recording ends early");
  }

  if (auto drive = exporter.Finish("", problem)) {
    if (!sim::ValidateDescription(drive->description).empty()) Fail("an export does not validate");
  } else if (problem.empty()) {
    Fail("a refused export gave no reason");
  }
  return 0;
}
