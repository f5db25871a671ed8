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

#include "device/crc.h"
#include "platform/platform.h"
#include "recording/recording.h"
#include "recording/replay.h"
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

// A step as read, its data phases kept as their length and checksum: an
// input may hold many replies of 16 MiB, and only one is held at a time.
struct Step {
  bool open = false;
  device::RecordedOpen opened;
  device::RecordedCommand command;  // dataOut and dataIn left empty
  size_t outSize = 0;
  uint32_t outSum = 0;
  size_t inSize = 0;
  uint32_t inSum = 0;
};

uint32_t SumOf(const std::vector<uint8_t>& data) {
  return bytes::Crc32cOf(data.data(), data.size());
}

// Keeps `command` in `step` without its data.
void Keep(Step& step, device::RecordedCommand& command) {
  step.outSize = command.dataOut.size();
  step.outSum = SumOf(command.dataOut);
  step.inSize = command.dataIn.size();
  step.inSum = SumOf(command.dataIn);
  step.command = std::move(command);
  step.command.dataOut.clear();
  step.command.dataOut.shrink_to_fit();
  step.command.dataIn.clear();
  step.command.dataIn.shrink_to_fit();
}

bool SameCommand(const Step& step, const device::RecordedCommand& b) {
  const device::RecordedCommand& a = step.command;
  return a.number == b.number && a.letter == b.letter && a.cdb == b.cdb && a.carrier == b.carrier &&
         a.wholeTransfer == b.wholeTransfer && a.transferLength == b.transferLength &&
         a.timeoutSeconds == b.timeoutSeconds && step.outSize == b.dataOut.size() &&
         step.outSum == SumOf(b.dataOut) && step.inSize == b.dataIn.size() &&
         step.inSum == SumOf(b.dataIn) && a.result.outcome == b.result.outcome &&
         a.result.scsiStatus == b.result.scsiStatus && a.result.residual == b.result.residual &&
         a.result.senseLength == b.result.senseLength &&
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
  // The reader holds one record at a time and the export what a drive
  // explains, so every input is read to its end, however far its runs of
  // one byte expand.
  sim::DriveExport exporter;
  bool exportRefused = false;
  std::vector<uint8_t> copy;
  device::RecordingWriter writer(std::make_unique<MemoryFile>(copy), "copy", reader->header());
  for (;;) {
    Step step;
    device::RecordedCommand command;
    const auto item = reader->Next(step.opened, command, problem);
    if (item == device::RecordingReader::Item::kBad) {
      if (problem.empty()) Fail("a refused record gave no reason");
      if (problem.find(" (the record at byte ") == std::string::npos) {
        Fail("a refused record is not placed in the file");
      }
      return 0;
    }
    if (item == device::RecordingReader::Item::kEnd) break;
    step.open = item == device::RecordingReader::Item::kOpen;
    if (step.open) {
      writer.Open(step.opened.letter, step.opened.opened,
                  step.opened.facts ? &*step.opened.facts : nullptr);
    } else {
      device::Request request = device::RequestOf(command);
      request.data =
          command.carrier == device::Carrier::kOut ? command.dataOut.data() : command.dataIn.data();
      writer.Sent(command.letter, request);
      writer.Reply(request, command.result, command.durationNanoseconds);
      if (!exportRefused && !exporter.Observe(request, command.result, command.dataIn)) {
        exportRefused = true;
        if (exporter.problem().empty()) Fail("a refused export command gave no reason");
      }
      Keep(step, command);
    }
    steps.push_back(std::move(step));
  }
  const bool finished = reader->finished();
  if (finished) writer.Finish();

  // Written back, the records read the same, and prove themselves.
  auto again = device::RecordingReader::FromBytes(copy, problem);
  if (!again) Fail("a recording read does not write back");
  if (!again->checked()) Fail("a recording written carries no checksums");
  for (const Step& step : steps) {
    device::RecordedOpen opened;
    device::RecordedCommand command;
    const auto item = again->Next(opened, command, problem);
    const bool same =
        step.open
            ? item == device::RecordingReader::Item::kOpen && opened.letter == step.opened.letter &&
                  opened.opened == step.opened.opened &&
                  opened.facts.has_value() == step.opened.facts.has_value()
            : item == device::RecordingReader::Item::kCommand && SameCommand(step, command);
    if (!same) Fail("a recording written back reads otherwise");
  }

  // Replayed, it answers its own commands with its own replies; the data
  // each command sends comes from a reader of its own, a record at a time.
  if (finished) {
    auto replay = device::ReplayVolumes::Over(
        device::RecordingReader::FromBytes({data, size}, problem), problem);
    if (!replay) Fail("a finished recording does not replay");
    auto source = device::RecordingReader::FromBytes({data, size}, problem);
    if (!source) Fail("a recording read once does not read again");
    // The volume each letter opened last, as a program keeps its handle.
    std::map<char, std::unique_ptr<device::Transport>> volumes;
    try {
      for (Step& step : steps) {
        device::RecordedOpen opened;
        device::RecordedCommand command;
        source->Next(opened, command, problem);
        if (step.open) {
          if (auto volume = replay->Open(step.opened.letter)) {
            volumes[step.opened.letter] = std::move(volume.transport);
          }
          continue;
        }
        device::Transport* transport = volumes[step.command.letter].get();
        if (transport == nullptr) Fail("a command of a recording went to a drive never opened");
        device::Request request = device::RequestOf(step.command);
        std::vector<uint8_t> buffer = std::move(command.dataOut);
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

  if (exportRefused) return 0;
  if (auto drive = exporter.Finish("", problem)) {
    if (!sim::ValidateDescription(drive->description).empty()) Fail("an export does not validate");
  } else if (problem.empty()) {
    Fail("a refused export gave no reason");
  }
  return 0;
}
