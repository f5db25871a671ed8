// A recording of a drive's traffic: every command the program sent, in
// order, with the reply it got, written as the run goes. Read back, it
// replays the run without the drive (recording/replay.h) or becomes a
// simulated drive. docs/recording.md describes the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/crc.h"
#include "device/transport.h"

namespace kestrune::platform {
class File;
class Folder;
}  // namespace kestrune::platform

namespace kestrune::device {

inline constexpr std::string_view kRecordingMagic = "KSTRRECD";
// Version 2 gives every record a CRC-32C and the end marker one over the
// whole file; version 1 files are read, but cannot prove they are whole.
inline constexpr uint32_t kRecordingVersion = 2;
inline constexpr uint32_t kFirstCheckedVersion = 2;
// No command of the set moves more than a few ISP areas; a record that
// claims more is damage, refused before anything is allocated for it.
inline constexpr uint32_t kMaxRecordedTransfer = 16u << 20;
// The header and a drive's facts are a few hundred bytes of JSON.
inline constexpr uint32_t kMaxRecordingText = 64u << 10;

// What the operating system says of a drive, kept with its first open.
struct DriveFacts {
  std::string node;  // the device node or file behind the letter
  std::string vendor;
  std::string model;
  std::string usbSerial;  // empty when the system names none
  // The letter reached a real device, where only real images may go.
  bool realDevice = false;
};

struct RecordingHeader {
  std::string program;                 // the version that wrote the file
  std::string time;                    // UTC, ISO 8601
  std::string system;                  // the operating system, as it names itself
  std::vector<std::string> arguments;  // the command line after the program name
};

// A volume opened, or an open that failed.
struct RecordedOpen {
  char letter = 0;
  bool opened = false;
  // With the first successful open of a letter.
  std::optional<DriveFacts> facts;
};

struct RecordedCommand {
  uint32_t number = 0;  // 1 for the first command of the file
  char letter = 0;
  std::vector<uint8_t> cdb;
  Carrier carrier = Carrier::kIn;
  bool wholeTransfer = false;
  uint32_t transferLength = 0;
  uint32_t timeoutSeconds = 0;
  std::vector<uint8_t> dataOut;  // transferLength bytes for kOut, else none
  Result result;
  uint64_t durationNanoseconds = 0;
  // What reached the buffer: transferLength - residual bytes for kIn.
  std::vector<uint8_t> dataIn;
};

// The request the command was, its data out included; a read's buffer is
// the caller's to give.
Request RequestOf(RecordedCommand& command);

// A kind of file easily given in a recording's place, told by the eight
// bytes it starts with. The room that owns the file's format names it, so
// that such a file is taken for a recording where a name is judged, and is
// then refused by what it is.
struct LookAlike {
  std::string magic;    // its first eight bytes
  std::string refusal;  // what is said of it, after its name
};
using LookAlikes = std::vector<LookAlike>;

// Writes one recording. A command is written in one write as it is sent,
// and its reply in another as it comes back, so a crash or a hang keeps
// every command sent so far; a command that may change the drive, and its
// reply, are put on the medium (fsync) as they are written, with whatever
// was read before. Once a write fails the writer stops and keeps why.
class RecordingWriter {
 public:
  // Creates `path` for the recording: private (0600), never through a
  // link, refused when the name is taken unless `overwrite`, which removes
  // what is there first. Null with `problem` set.
  static std::unique_ptr<RecordingWriter> Create(const std::string& path, bool overwrite,
                                                 const RecordingHeader& header,
                                                 std::string& problem);
  // The same for `name` in a folder opened once (OpenRecordingFolder);
  // `path` names the file in problems.
  static std::unique_ptr<RecordingWriter> Create(const platform::Folder& folder,
                                                 const std::string& name, const std::string& path,
                                                 bool overwrite, const RecordingHeader& header,
                                                 std::string& problem);
  // Writes into `file` (tests and tools); `name` names it in problems.
  RecordingWriter(std::unique_ptr<platform::File> file, std::string name,
                  const RecordingHeader& header);
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  void Open(char letter, bool opened, const DriveFacts* facts);
  // `request` is about to go to the drive of `letter`.
  void Sent(char letter, const Request& request);
  // Its reply came back after `nanoseconds`; `request.data` holds it.
  void Reply(const Request& request, const Result& result, uint64_t nanoseconds);
  // The end marker; nothing is written after it. Called again, does nothing.
  void Finish();

  // False once a write failed; problem() then says which and why.
  bool ok() const;
  std::string problem() const;
  const std::string& name() const { return name_; }
  uint32_t commands() const;

 private:
  void Put(std::vector<uint8_t>& record, bool sync);

  mutable std::mutex mutex_;
  std::unique_ptr<platform::File> file_;
  std::string name_;
  bytes::Crc32c fileSum_;  // every byte written so far
  uint32_t commands_ = 0;
  bool finished_ = false;
  std::string problem_;
};

// The folder a recording at `path` is made in, opened once with every
// folder on the way checked (platform::Folder::OpenWalked), and the file's
// `name` in it. Null with `problem` set.
std::shared_ptr<platform::Folder> OpenRecordingFolder(const std::string& path, std::string& name,
                                                      std::string& problem);

// Reads a recording record by record; nothing but the record at hand is
// held, and no length is believed beyond what the file still holds.
class RecordingReader {
 public:
  // The recording at `path`: a regular file, not reached through a link.
  // Its magic, version and header are read here. Null with `problem` set;
  // a file that starts as one of `lookAlikes` is refused as what it is.
  static std::unique_ptr<RecordingReader> Open(const std::string& path, std::string& problem,
                                               const LookAlikes& lookAlikes = {});
  // A recording held in memory (tests, the fuzz target); `bytes` must
  // outlive the reader.
  static std::unique_ptr<RecordingReader> FromBytes(std::span<const uint8_t> bytes,
                                                    std::string& problem,
                                                    const LookAlikes& lookAlikes = {});
  virtual ~RecordingReader() = default;

  const RecordingHeader& header() const { return header_; }
  uint32_t version() const { return version_; }
  // The file carries checksums (version 2 on); an older one is read as it
  // is, and damage in it cannot be told from what the drive answered.
  bool checked() const { return version_ >= kFirstCheckedVersion; }

  enum class Item : uint8_t { kOpen, kCommand, kEnd, kBad };
  // What Next does with a command's data: keep it, or only check it (a
  // survey of the file, which must not cost the memory of every reply).
  enum class Data : uint8_t { kKeep, kCheckOnly };
  // The next record. kEnd at the end marker, after which the file must
  // end, or where a file without one ends between two records (finished()
  // tells them apart); kBad with `problem` set for a file cut short inside
  // a record, or damaged: the problem names the command and the byte at
  // which the record starts.
  Item Next(RecordedOpen& open, RecordedCommand& command, std::string& problem,
            Data data = Data::kKeep);
  // The same, keeping the data of the commands `keep` picks, asked with
  // the command's number, letter, CDB, direction and transfer length.
  using KeepData = std::function<bool(const RecordedCommand& sent)>;
  Item Next(RecordedOpen& open, RecordedCommand& command, std::string& problem,
            const KeepData& keep);
  // The end marker was read.
  bool finished() const { return finished_; }
  uint32_t commands() const { return commands_; }
  // At an end without the marker: the command sent last, when the run
  // ended before its reply came ("E: fa ... | out 65536").
  const std::optional<std::string>& unanswered() const { return pending_; }
  // Back to the first record.
  bool Rewind(std::string& problem);

 protected:
  explicit RecordingReader(uint64_t size) : size_(size) {}
  // Reads `size` bytes at the reader's position (through a buffer: a
  // record is many small fields).
  virtual bool Read(void* into, size_t size) = 0;
  virtual bool SeekTo(uint64_t offset) = 0;

 private:
  class Cursor;
  bool ReadHeader(std::string& problem, const LookAlikes& lookAlikes);
  Item ReadOpen(Cursor& in, RecordedOpen& open);
  Item ReadCommand(Cursor& in, RecordedCommand& command, const KeepData& keep);
  static bool KeepNone(const RecordedCommand& sent);

  uint64_t size_;
  uint64_t position_ = 0;
  RecordingHeader header_;
  uint32_t version_ = 0;
  uint64_t firstRecord_ = 0;
  // Of the record at hand, and of every byte from the file's start (the
  // end marker holds the latter); the file's as it stood after the header.
  bytes::Crc32c recordSum_;
  bytes::Crc32c fileSum_;
  bytes::Crc32c headerSum_;
  bool summing_ = false;  // the record's bytes go into recordSum_
  uint64_t recordAt_ = 0;
  uint32_t commands_ = 0;
  bool finished_ = false;
  bool ended_ = false;
  std::optional<std::string> pending_;
  // Letters opened so far: a command for a letter never opened is out of
  // order.
  std::string opened_;
};

// True for a regular file (a link to one included) that starts as a
// recording does, or as one of `lookAlikes` does. Nothing else is read, and
// nothing that is not a regular file is opened in a way that could wait.
bool StartsAsRecording(const std::string& path, const LookAlikes& lookAlikes = {});

// What a whole recording holds, read through once.
struct RecordingSurvey {
  std::vector<char> letters;         // every letter opened, in order of first appearance
  std::map<char, DriveFacts> facts;  // what the system said of each drive
  uint32_t commands = 0;
  bool finished = false;                  // the end marker is there
  std::optional<std::string> unanswered;  // sent last, without a reply
  uint64_t deviceNanoseconds = 0;
};

// Reads `reader` to its end and back to its first record. False with
// `problem` set for a file that is cut short or damaged.
bool SurveyRecording(RecordingReader& reader, RecordingSurvey& survey, std::string& problem);

// The bytes of one data phase as a record keeps them: runs of one byte
// stored once, the rest as it is.
void EncodeBlock(std::span<const uint8_t> data, std::vector<uint8_t>& out);

// "E: f8 02 00 00 00 40 00 00 01 00 | in 2048" for a recorded command.
std::string DescribeRecorded(const RecordedCommand& command);

}  // namespace kestrune::device
