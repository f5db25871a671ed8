#include "recording/recording.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "device/bytes.h"
#include "device/command_traits.h"
#include "device/commands.h"
#include "device/trace.h"
#include "platform/folder.h"

namespace kestrune::device {

namespace {

using nlohmann::json;

constexpr uint8_t kOpenRecord = 'O';
constexpr uint8_t kSentRecord = 'S';
constexpr uint8_t kReplyRecord = 'R';
constexpr uint8_t kEndRecord = 'E';
constexpr uint8_t kLiteralRun = 0;
constexpr uint8_t kFillRun = 1;
// A run of one byte shorter than this is cheaper kept as it is.
constexpr size_t kShortestFill = 16;
constexpr uint8_t kWholeTransferFlag = 0x01;

void Put8(std::vector<uint8_t>& out, uint8_t value) { out.push_back(value); }
void Put32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t be[4];
  bytes::StoreBe32(be, value);
  out.insert(out.end(), be, be + 4);
}
void Put64(std::vector<uint8_t>& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value >> 32));
  Put32(out, static_cast<uint32_t>(value));
}
void PutText(std::vector<uint8_t>& out, const std::string& text) {
  Put32(out, static_cast<uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

std::string HeaderText(const RecordingHeader& header) {
  json object = json::object();
  object["program"] = header.program;
  object["time"] = header.time;
  object["system"] = header.system;
  object["arguments"] = header.arguments;
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string FactsText(const DriveFacts& facts) {
  json object = json::object();
  object["node"] = facts.node;
  object["vendor"] = facts.vendor;
  object["model"] = facts.model;
  object["usbSerial"] = facts.usbSerial;
  object["realDevice"] = facts.realDevice;
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Text members of a JSON object read back; a member missing or of another
// kind makes the object unusable.
bool TextOf(const json& object, const char* key, std::string& out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool ParseHeader(const std::string& text, RecordingHeader& header) {
  const json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return false;
  if (!TextOf(object, "program", header.program) || !TextOf(object, "time", header.time) ||
      !TextOf(object, "system", header.system)) {
    return false;
  }
  const auto arguments = object.find("arguments");
  if (arguments == object.end() || !arguments->is_array()) return false;
  for (const json& argument : *arguments) {
    if (!argument.is_string()) return false;
    header.arguments.push_back(argument.get<std::string>());
  }
  return true;
}

bool ParseFacts(const std::string& text, DriveFacts& facts) {
  const json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return false;
  const auto real = object.find("realDevice");
  if (real == object.end() || !real->is_boolean()) return false;
  facts.realDevice = real->get<bool>();
  return TextOf(object, "node", facts.node) && TextOf(object, "vendor", facts.vendor) &&
         TextOf(object, "model", facts.model) && TextOf(object, "usbSerial", facts.usbSerial);
}

bool IsLetter(uint8_t letter) { return letter >= 'A' && letter <= 'Z'; }

// The folder holding `path` (the user named it: links on the way are
// followed) and the file's name in it.
platform::FolderOfFile PlaceOf(const std::string& path) {
  return platform::OpenFolderOf(path, platform::FolderRule::kFollowed);
}

// The place a recording is made: a run that records may hold more rights
// than anyone who could have prepared the path, so each folder on the way
// is walked and checked, and the file is then made relative to the last.
platform::FolderOfFile PlaceForWriting(const std::string& path) {
  return platform::OpenFolderOf(path, platform::FolderRule::kShared, true);
}

// What a look-alike file that starts with `head` is said to be; null when
// none does.
const LookAlike* LookAlikeOf(std::string_view head, const LookAlikes& lookAlikes) {
  for (const LookAlike& lookAlike : lookAlikes) {
    if (head == lookAlike.magic) return &lookAlike;
  }
  return nullptr;
}

}  // namespace

void EncodeBlock(std::span<const uint8_t> data, std::vector<uint8_t>& out) {
  Put32(out, static_cast<uint32_t>(data.size()));
  size_t literalStart = 0;
  size_t i = 0;
  const auto flushLiteral = [&](size_t end) {
    if (end == literalStart) return;
    Put8(out, kLiteralRun);
    Put32(out, static_cast<uint32_t>(end - literalStart));
    out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(literalStart),
               data.begin() + static_cast<ptrdiff_t>(end));
  };
  while (i < data.size()) {
    size_t run = 1;
    while (i + run < data.size() && data[i + run] == data[i]) ++run;
    if (run >= kShortestFill) {
      flushLiteral(i);
      Put8(out, kFillRun);
      Put32(out, static_cast<uint32_t>(run));
      Put8(out, data[i]);
      literalStart = i + run;
    }
    i += run;
  }
  flushLiteral(data.size());
}

Request RequestOf(RecordedCommand& command) {
  Request request;
  request.cdb = command.cdb.data();
  request.cdbLength = static_cast<uint8_t>(command.cdb.size());
  request.carrier = command.carrier;
  request.wholeTransfer = command.wholeTransfer;
  request.transferLength = command.transferLength;
  request.timeoutSeconds = command.timeoutSeconds;
  if (command.carrier == Carrier::kOut && !command.dataOut.empty()) {
    request.data = command.dataOut.data();
  }
  return request;
}

std::string DescribeRecorded(const RecordedCommand& command) {
  RecordedCommand copy = command;
  copy.dataOut.clear();
  return FormatCommand(copy.letter, RequestOf(copy));
}

// --- writing ---

std::shared_ptr<platform::Folder> OpenRecordingFolder(const std::string& path, std::string& name,
                                                      std::string& problem) {
  platform::FolderOfFile place = PlaceForWriting(path);
  if (!place.opening.folder) {
    problem = place.Refusal(path);
    return nullptr;
  }
  name = place.name;
  return place.opening.folder;
}

std::unique_ptr<RecordingWriter> RecordingWriter::Create(const std::string& path, bool overwrite,
                                                         const RecordingHeader& header,
                                                         std::string& problem) {
  std::string name;
  const std::shared_ptr<platform::Folder> folder = OpenRecordingFolder(path, name, problem);
  if (!folder) return nullptr;
  return Create(*folder, name, path, overwrite, header, problem);
}

std::unique_ptr<RecordingWriter> RecordingWriter::Create(const platform::Folder& folder,
                                                         const std::string& name,
                                                         const std::string& path, bool overwrite,
                                                         const RecordingHeader& header,
                                                         std::string& problem) {
  int error = 0;
  // Made exclusively and never through a link; an overwrite removes the
  // name in this folder (a link there goes, what it points at stays).
  std::unique_ptr<platform::File> file =
      overwrite ? folder.CreateFresh(name, &error, 0600) : folder.CreateNew(name, &error, 0600);
  if (!file) {
    const std::optional<platform::FolderEntry> there = folder.Look(name, nullptr);
    if (!overwrite && there) {
      problem = path + " exists; name a new file, or add --record-overwrite to replace it";
    } else {
      problem = path + ": cannot be created: " + platform::SystemErrorText(error);
    }
    return nullptr;
  }
  auto writer = std::make_unique<RecordingWriter>(std::move(file), path, header);
  if (!writer->ok()) {
    problem = writer->problem();
    return nullptr;
  }
  return writer;
}

RecordingWriter::RecordingWriter(std::unique_ptr<platform::File> file, std::string name,
                                 const RecordingHeader& header)
    : file_(std::move(file)), name_(std::move(name)) {
  std::vector<uint8_t> head(kRecordingMagic.begin(), kRecordingMagic.end());
  Put32(head, kRecordingVersion);
  PutText(head, HeaderText(header));
  // The header is on the medium before any command is sent.
  Put(head, true);
}

RecordingWriter::~RecordingWriter() { Finish(); }

void RecordingWriter::Put(std::vector<uint8_t>& record, bool sync) {
  if (!problem_.empty() || !file_) return;
  // Each record proves itself, and the whole file is summed for its end.
  Put32(record, bytes::Crc32cOf(record.data(), record.size()));
  fileSum_.Add(record.data(), record.size());
  if (file_->Write(record.data(), record.size()) != record.size()) {
    const std::string why = file_->ErrorText();
    problem_ = "the recording " + name_ + " stopped after command " + std::to_string(commands_) +
               ": " + (why.empty() ? "it cannot be written" : why);
    return;
  }
  if (sync && !file_->Flush()) {
    problem_ = "the recording " + name_ + " cannot be put on its medium after command " +
               std::to_string(commands_) + ": " + file_->ErrorText();
  }
}

void RecordingWriter::Open(char letter, bool opened, const DriveFacts* facts) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  std::vector<uint8_t> record;
  Put8(record, kOpenRecord);
  Put8(record, static_cast<uint8_t>(letter));
  Put8(record, opened ? 1 : 0);
  PutText(record, facts != nullptr ? FactsText(*facts) : std::string());
  Put(record, false);
}

void RecordingWriter::Sent(char letter, const Request& request) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (finished_ || !problem_.empty()) return;
  std::vector<uint8_t> record;
  record.reserve(32 + request.transferLength);
  Put8(record, kSentRecord);
  Put32(record, commands_ + 1);
  Put8(record, static_cast<uint8_t>(letter));
  Put8(record, request.cdbLength);
  record.insert(record.end(), request.cdb, request.cdb + request.cdbLength);
  Put8(record, request.carrier == Carrier::kOut ? 1 : 0);
  Put8(record, request.wholeTransfer ? kWholeTransferFlag : 0);
  Put32(record, request.transferLength);
  Put32(record, request.timeoutSeconds);
  if (request.carrier == Carrier::kOut && request.transferLength > 0) {
    EncodeBlock({request.data, request.transferLength}, record);
  }
  // A command that may change the drive is on the medium, with all that
  // was read before it, before it is sent.
  Put(record, !OnlyReads(request.cdb, request.cdbLength));
}

void RecordingWriter::Reply(const Request& request, const Result& result, uint64_t nanoseconds) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (finished_ || !problem_.empty()) return;
  std::vector<uint8_t> record;
  record.reserve(64 + request.transferLength);
  Put8(record, kReplyRecord);
  Put32(record, commands_ + 1);
  Put8(record, static_cast<uint8_t>(result.outcome));
  Put8(record, result.scsiStatus);
  const uint32_t residual = std::min(result.residual, request.transferLength);
  Put32(record, residual);
  const uint8_t senseLength =
      std::min<uint8_t>(result.senseLength, static_cast<uint8_t>(kMaxSenseLength));
  Put8(record, senseLength);
  record.insert(record.end(), result.sense.begin(), result.sense.begin() + senseLength);
  Put64(record, nanoseconds);
  if (request.carrier == Carrier::kIn && request.transferLength > 0) {
    EncodeBlock({request.data, request.transferLength - residual}, record);
  }
  ++commands_;
  Put(record, !OnlyReads(request.cdb, request.cdbLength));
}

void RecordingWriter::Finish() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  finished_ = true;
  std::vector<uint8_t> record;
  Put8(record, kEndRecord);
  Put32(record, commands_);
  Put32(record, fileSum_.Value());
  Put(record, true);
  file_.reset();
}

bool RecordingWriter::ok() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return problem_.empty();
}

std::string RecordingWriter::problem() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return problem_;
}

uint32_t RecordingWriter::commands() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

// --- reading ---

namespace {

// A record is many small fields: the file is read a chunk at a time, not a
// system call a field.
class FileReader : public RecordingReader {
 public:
  FileReader(std::unique_ptr<platform::File> file, uint64_t size)
      : RecordingReader(size), file_(std::move(file)), buffer_(kChunk) {}

 protected:
  bool Read(void* into, size_t size) override {
    auto* out = static_cast<uint8_t*>(into);
    while (size > 0) {
      if (at_ == end_) {
        // A large literal run goes straight where it belongs.
        if (size >= kChunk) return file_->Read(out, size) == size;
        end_ = file_->Read(buffer_.data(), buffer_.size());
        at_ = 0;
        if (end_ == 0) return false;
      }
      const size_t n = std::min(size, end_ - at_);
      std::memcpy(out, buffer_.data() + at_, n);
      at_ += n;
      out += n;
      size -= n;
    }
    return true;
  }
  bool SeekTo(uint64_t offset) override {
    at_ = end_ = 0;
    return file_->Seek(offset);
  }

 private:
  static constexpr size_t kChunk = 64u << 10;
  std::unique_ptr<platform::File> file_;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0;
  size_t end_ = 0;
};

class MemoryReader : public RecordingReader {
 public:
  explicit MemoryReader(std::span<const uint8_t> bytes)
      : RecordingReader(bytes.size()), bytes_(bytes) {}

 protected:
  bool Read(void* into, size_t size) override {
    if (size > bytes_.size() - at_) return false;
    std::memcpy(into, bytes_.data() + at_, size);
    at_ += size;
    return true;
  }
  bool SeekTo(uint64_t offset) override {
    if (offset > bytes_.size()) return false;
    at_ = static_cast<size_t>(offset);
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

// The most data a command may move by what it is: a command whose CDB
// gives its length moves no more, and the controller's records (capacity,
// configuration, mode byte, spare bytes, its own memory) are small, so only
// page reads and writes move up to kMaxRecordedTransfer.
uint32_t TransferCeiling(const std::vector<uint8_t>& cdb) {
  constexpr uint32_t kRecordCeiling = 64u << 10;
  switch (cdb[0]) {
    case kOpInquiry:
      return cdb.size() == 6 ? cdb[4] : kRecordCeiling;
    case kOpController:
      if (cdb.size() >= 9 && cdb[1] == kSubMemory && cdb[2] == 0x00) {
        return bytes::LoadBe16(&cdb[7]);
      }
      return kRecordCeiling;
    case kOpReadCapacity:
    case kOpReadFlashConfig:
    case kOpReadModeByte:
    case kOpReadPageSpare:
      return kRecordCeiling;
    default:
      return kMaxRecordedTransfer;
  }
}

}  // namespace

// Reads the fields of one record, each checked against what the file still
// holds before anything is allocated for it, and sums what it reads. The
// first shortfall is kept.
class RecordingReader::Cursor {
 public:
  explicit Cursor(RecordingReader& reader) : reader_(reader) {}

  bool ok() const { return ok_; }
  bool cut() const { return cut_; }
  const std::string& why() const { return why_; }

  void Fail(std::string why) {
    if (ok_) why_ = std::move(why);
    ok_ = false;
  }

  uint64_t Left() const { return reader_.size_ - reader_.position_; }

  bool Raw(void* into, size_t size) {
    if (!ok_) return false;
    if (size > Left()) {
      cut_ = true;
      Fail("is cut short");
      return false;
    }
    if (size > 0 && !reader_.Read(into, size)) {
      Fail("cannot be read");
      return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(into);
    reader_.fileSum_.Add(bytes, size);
    if (reader_.summing_) reader_.recordSum_.Add(bytes, size);
    reader_.position_ += size;
    return true;
  }
  // Reads and sums `size` bytes that are not kept.
  bool Skip(uint64_t size) {
    uint8_t scratch[4096];
    while (size > 0 && ok_) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size, sizeof scratch));
      Raw(scratch, n);
      size -= n;
    }
    return ok_;
  }
  uint8_t U8() {
    uint8_t value = 0;
    Raw(&value, 1);
    return value;
  }
  uint32_t U32() {
    uint8_t be[4] = {};
    Raw(be, 4);
    return bytes::LoadBe32(be);
  }
  uint64_t U64() {
    const uint64_t high = U32();
    return (high << 32) | U32();
  }
  bool Bytes(std::vector<uint8_t>& into, uint64_t size) {
    if (!ok_) return false;
    if (size > Left()) {
      cut_ = true;
      Fail("is cut short");
      return false;
    }
    into.resize(static_cast<size_t>(size));
    return Raw(into.data(), into.size());
  }
  bool Text(std::string& into, const char* what) {
    const uint32_t size = U32();
    if (ok_ && size > kMaxRecordingText) {
      Fail(std::string("gives its ") + what + " " + std::to_string(size) + " bytes, over " +
           std::to_string(kMaxRecordingText));
      return false;
    }
    std::vector<uint8_t> bytes;
    if (!Bytes(bytes, size)) return false;
    into.assign(bytes.begin(), bytes.end());
    return true;
  }
  // A data phase of exactly `size` bytes, as EncodeBlock wrote it; only
  // checked, not kept, unless `keep`.
  bool Block(std::vector<uint8_t>& into, uint32_t size, bool keep) {
    const uint32_t total = U32();
    if (!ok_) return false;
    if (total != size) {
      Fail("holds " + std::to_string(total) + " data bytes where its command moved " +
           std::to_string(size));
      return false;
    }
    into.clear();
    if (keep) into.reserve(size);
    // Every run covers at least one byte and costs at least six, so a
    // file cannot make this loop run longer than it is.
    uint32_t covered = 0;
    while (covered < size && ok_) {
      const uint8_t tag = U8();
      const uint32_t count = U32();
      if (!ok_) return false;
      if (count == 0 || count > size - covered) {
        Fail("holds a run of " + std::to_string(count) + " bytes past its data phase");
        return false;
      }
      if (tag == kFillRun) {
        const uint8_t value = U8();
        if (keep && ok_) into.insert(into.end(), count, value);
      } else if (tag == kLiteralRun) {
        if (count > Left()) {
          cut_ = true;
          Fail("is cut short");
          return false;
        }
        if (keep) {
          const size_t at = into.size();
          into.resize(at + count);
          Raw(into.data() + at, count);
        } else {
          Skip(count);
        }
      } else {
        Fail("holds a run of unknown kind " + std::to_string(tag));
        return false;
      }
      covered += count;
    }
    return ok_;
  }

  // Starts a record: what follows is summed on its own.
  void Begin() {
    reader_.recordAt_ = reader_.position_;
    reader_.recordSum_.Reset();
    reader_.summing_ = true;
  }
  // The record's checksum, which follows its fields, against what they sum
  // to. A file of version 1 has none.
  bool Proven() {
    reader_.summing_ = false;
    if (!ok_ || !reader_.checked()) return ok_;
    const uint32_t summed = reader_.recordSum_.Value();
    const uint32_t stored = U32();
    if (ok_ && stored != summed) Fail("fails its checksum (it is damaged)");
    return ok_;
  }

 private:
  RecordingReader& reader_;
  bool ok_ = true;
  bool cut_ = false;
  std::string why_;
};

std::unique_ptr<RecordingReader> RecordingReader::Open(const std::string& path,
                                                       std::string& problem,
                                                       const LookAlikes& lookAlikes) {
  const platform::FolderOfFile place = PlaceOf(path);
  if (!place.opening.folder) {
    problem = place.Refusal(path);
    return nullptr;
  }
  platform::OpenedFile opened = place.opening.folder->OpenForReading(place.name, false);
  if (opened.status == platform::ReadStatus::kMissing) {
    problem = path + ": no such file";
    return nullptr;
  }
  if (opened.status != platform::ReadStatus::kRead) {
    problem = path + ": " + opened.why;
    return nullptr;
  }
  std::unique_ptr<RecordingReader> reader(new FileReader(std::move(opened.file), opened.size));
  if (!reader->ReadHeader(problem, lookAlikes)) {
    problem = path + ": " + problem;
    return nullptr;
  }
  return reader;
}

std::unique_ptr<RecordingReader> RecordingReader::FromBytes(std::span<const uint8_t> bytes,
                                                            std::string& problem,
                                                            const LookAlikes& lookAlikes) {
  std::unique_ptr<RecordingReader> reader(new MemoryReader(bytes));
  if (!reader->ReadHeader(problem, lookAlikes)) return nullptr;
  return reader;
}

bool RecordingReader::ReadHeader(std::string& problem, const LookAlikes& lookAlikes) {
  Cursor in(*this);
  in.Begin();
  char magic[8] = {};
  if (size_ < sizeof magic || !in.Raw(magic, sizeof magic)) {
    problem = "is no recording (too short for one)";
    return false;
  }
  const std::string_view head(magic, sizeof magic);
  if (const LookAlike* lookAlike = LookAlikeOf(head, lookAlikes)) {
    problem = lookAlike->refusal;
    return false;
  }
  if (head != kRecordingMagic) {
    problem = "is no recording (it does not start with " + std::string(kRecordingMagic) + ")";
    return false;
  }
  version_ = in.U32();
  if (in.ok() && (version_ == 0 || version_ > kRecordingVersion)) {
    problem = version_ > kRecordingVersion
                  ? "is a recording of version " + std::to_string(version_) +
                        ", written by a newer Kestrune; this one reads version " +
                        std::to_string(kRecordingVersion)
                  : "is a recording of unknown version " + std::to_string(version_);
    return false;
  }
  std::string text;
  in.Text(text, "header");
  in.Proven();
  if (!in.ok()) {
    problem = in.why() + " in its header (the record at byte 0)";
    return false;
  }
  if (!ParseHeader(text, header_)) {
    problem = "has a damaged header";
    return false;
  }
  firstRecord_ = position_;
  headerSum_ = fileSum_;
  return true;
}

bool RecordingReader::Rewind(std::string& problem) {
  if (!SeekTo(firstRecord_)) {
    problem = "cannot be read again from its start";
    return false;
  }
  position_ = firstRecord_;
  fileSum_ = headerSum_;
  commands_ = 0;
  finished_ = false;
  ended_ = false;
  pending_.reset();
  opened_.clear();
  return true;
}

RecordingReader::Item RecordingReader::Next(RecordedOpen& open, RecordedCommand& command,
                                            std::string& problem, Data data) {
  return Next(open, command, problem, data == Data::kKeep ? KeepData() : KeepData(KeepNone));
}

bool RecordingReader::KeepNone(const RecordedCommand&) { return false; }

RecordingReader::Item RecordingReader::Next(RecordedOpen& open, RecordedCommand& command,
                                            std::string& problem, const KeepData& keep) {
  Cursor in(*this);
  const auto bad = [&](const std::string& where) {
    problem = (in.cut() ? "is cut short" : in.why()) + " " + where + " (the record at byte " +
              std::to_string(recordAt_) + ")";
    ended_ = true;
    return Item::kBad;
  };
  if (ended_) {
    problem = "has nothing after its end";
    return Item::kBad;
  }
  if (in.Left() == 0) {
    ended_ = true;
    return Item::kEnd;
  }
  // The sum of everything before the end marker, which it carries.
  const uint32_t summedBefore = fileSum_.Value();
  in.Begin();
  const uint8_t kind = in.U8();
  switch (kind) {
    case kOpenRecord:
      if (ReadOpen(in, open) == Item::kOpen) return Item::kOpen;
      return bad("in the open after command " + std::to_string(commands_));
    case kSentRecord:
      if (ReadCommand(in, command, keep) == Item::kCommand) return Item::kCommand;
      if (in.cut() && pending_) {
        // Sent, and the run ended before the reply came: no damage, the
        // last thing a recording of a run that crashed or hung holds.
        ended_ = true;
        return Item::kEnd;
      }
      return bad("in command " + std::to_string(commands_ + 1));
    case kEndRecord: {
      const uint32_t count = in.U32();
      const uint32_t fileSum = checked() ? in.U32() : summedBefore;
      in.Proven();
      if (in.cut()) {
        // The run ended while its end marker was being written: the
        // records before it are whole, and the file is one without it.
        ended_ = true;
        return Item::kEnd;
      }
      if (!in.ok()) return bad("in its end marker");
      if (fileSum != summedBefore) {
        in.Fail("fails the checksum of the whole file (records missing, added or altered)");
        return bad("at its end marker");
      }
      if (count != commands_) {
        in.Fail("ends by counting " + std::to_string(count) + " commands, but holds " +
                std::to_string(commands_));
        return bad("(records missing or added)");
      }
      if (in.Left() != 0) {
        in.Fail("goes on for " + std::to_string(in.Left()) + " bytes");
        return bad("after its end marker");
      }
      ended_ = true;
      finished_ = true;
      return Item::kEnd;
    }
    default:
      in.Fail("holds a record of unknown kind " + std::to_string(kind));
      return bad("after command " + std::to_string(commands_));
  }
}

RecordingReader::Item RecordingReader::ReadOpen(Cursor& in, RecordedOpen& open) {
  open = {};
  const uint8_t letter = in.U8();
  const uint8_t opened = in.U8();
  std::string facts;
  in.Text(facts, "drive facts");
  if (!in.Proven()) return Item::kBad;
  if (!IsLetter(letter) || opened > 1) {
    in.Fail("names no drive letter");
    return Item::kBad;
  }
  open.letter = static_cast<char>(letter);
  open.opened = opened == 1;
  if (!facts.empty()) {
    DriveFacts parsed;
    if (!ParseFacts(facts, parsed)) {
      in.Fail("has damaged drive facts");
      return Item::kBad;
    }
    open.facts = parsed;
  }
  if (open.opened && opened_.find(open.letter) == std::string::npos) opened_ += open.letter;
  return Item::kOpen;
}

RecordingReader::Item RecordingReader::ReadCommand(Cursor& in, RecordedCommand& command,
                                                   const KeepData& keepData) {
  command = {};
  pending_.reset();
  command.number = in.U32();
  const uint8_t letter = in.U8();
  const uint8_t cdbLength = in.U8();
  if (!in.ok()) return Item::kBad;
  if (command.number != commands_ + 1) {
    in.Fail("is numbered " + std::to_string(command.number) + " (records out of order)");
    return Item::kBad;
  }
  if (!IsLetter(letter) || opened_.find(static_cast<char>(letter)) == std::string::npos) {
    in.Fail("goes to a drive never opened (records out of order)");
    return Item::kBad;
  }
  if (cdbLength == 0 || cdbLength > kMaxCdbLength) {
    in.Fail("has a CDB of " + std::to_string(cdbLength) + " bytes");
    return Item::kBad;
  }
  command.letter = static_cast<char>(letter);
  in.Bytes(command.cdb, cdbLength);
  const uint8_t carrier = in.U8();
  const uint8_t flags = in.U8();
  command.transferLength = in.U32();
  command.timeoutSeconds = in.U32();
  if (!in.ok()) return Item::kBad;
  if (carrier > 1 || (flags & ~kWholeTransferFlag) != 0) {
    in.Fail("has an unknown direction or flag");
    return Item::kBad;
  }
  if (command.transferLength > kMaxRecordedTransfer) {
    in.Fail("moves " + std::to_string(command.transferLength) + " bytes, over " +
            std::to_string(kMaxRecordedTransfer >> 20) + " MiB");
    return Item::kBad;
  }
  command.carrier = carrier == 1 ? Carrier::kOut : Carrier::kIn;
  command.wholeTransfer = (flags & kWholeTransferFlag) != 0;
  const bool out = command.carrier == Carrier::kOut;
  // What a command may move follows from what it is: a read sends nothing,
  // and a command that gives its length in its CDB moves no more.
  if (out && command.transferLength > 0 && OnlyReads(command.cdb.data(), cdbLength)) {
    in.Fail("sends data with a command that only reads");
    return Item::kBad;
  }
  if (command.transferLength > TransferCeiling(command.cdb)) {
    in.Fail("moves " + std::to_string(command.transferLength) + " bytes where its CDB asks for " +
            std::to_string(TransferCeiling(command.cdb)));
    return Item::kBad;
  }
  // Whether the data is wanted is asked once the command is known.
  const bool keep = !keepData || keepData(command);
  if (out && command.transferLength > 0) in.Block(command.dataOut, command.transferLength, keep);
  if (!in.Proven()) return Item::kBad;
  // The command went out; its reply follows unless the run ended first.
  pending_ = DescribeRecorded(command);

  in.Begin();
  const uint8_t kind = in.U8();
  if (in.ok() && kind != kReplyRecord) {
    in.Fail("has no reply (records out of order)");
    return Item::kBad;
  }
  const uint32_t number = in.U32();
  const uint8_t outcome = in.U8();
  command.result.scsiStatus = in.U8();
  command.result.residual = in.U32();
  const uint8_t senseLength = in.U8();
  if (!in.ok()) return Item::kBad;
  if (number != command.number) {
    in.Fail("has the reply of command " + std::to_string(number) + " (records out of order)");
    return Item::kBad;
  }
  if (outcome > static_cast<uint8_t>(Outcome::kOsError) ||
      command.result.residual > command.transferLength || senseLength > kMaxSenseLength) {
    in.Fail("has a damaged reply");
    return Item::kBad;
  }
  command.result.outcome = static_cast<Outcome>(outcome);
  command.result.senseLength = senseLength;
  in.Raw(command.result.sense.data(), senseLength);
  command.durationNanoseconds = in.U64();
  if (!out && command.transferLength > 0) {
    in.Block(command.dataIn, command.transferLength - command.result.residual, keep);
  }
  if (!in.Proven()) return Item::kBad;
  pending_.reset();
  ++commands_;
  return Item::kCommand;
}

bool StartsAsRecording(const std::string& path, const LookAlikes& lookAlikes) {
  // A device node is never opened here: what is not a file is no recording.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  const platform::FolderOfFile place = PlaceOf(path);
  if (!place.opening.folder) return false;
  platform::OpenedFile opened = place.opening.folder->OpenForReading(place.name, true);
  if (opened.status != platform::ReadStatus::kRead) return false;
  char magic[8] = {};
  if (opened.file->Read(magic, sizeof magic) != sizeof magic) return false;
  const std::string_view head(magic, sizeof magic);
  return head == kRecordingMagic || LookAlikeOf(head, lookAlikes) != nullptr;
}

bool SurveyRecording(RecordingReader& reader, RecordingSurvey& survey, std::string& problem) {
  survey = {};
  RecordedOpen open;
  RecordedCommand command;
  for (;;) {
    switch (reader.Next(open, command, problem, RecordingReader::Data::kCheckOnly)) {
      case RecordingReader::Item::kOpen:
        if (std::find(survey.letters.begin(), survey.letters.end(), open.letter) ==
            survey.letters.end()) {
          survey.letters.push_back(open.letter);
        }
        if (open.facts) survey.facts.emplace(open.letter, *open.facts);
        break;
      case RecordingReader::Item::kCommand:
        survey.deviceNanoseconds += command.durationNanoseconds;
        break;
      case RecordingReader::Item::kEnd:
        survey.commands = reader.commands();
        survey.finished = reader.finished();
        survey.unanswered = reader.unanswered();
        return reader.Rewind(problem);
      case RecordingReader::Item::kBad:
        return false;
    }
  }
}

}  // namespace kestrune::device
