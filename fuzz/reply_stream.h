// Drive replies taken from fuzz data. One encoding serves the fuzz targets
// (which read it) and the seed generator (which writes it from a simulated
// drive), so recorded seeds drive the targets down the same road.
//
// Per command: one outcome byte, then for a successful data-in command the
// data as a fill byte, a 16-bit little-endian prefix length and the prefix;
// the rest of the reply is the fill byte.
//   0x00..0xBF  good, data from the stream
//   0xC0..0xDF  good; a page read of pages written earlier in this run
//               answers with what was written, otherwise data follows
//   0xE0..0xEF  CHECK CONDITION
//   0xF0..0xFF  refused by the transport
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "device/transport.h"

namespace kestrune::fuzz {

inline constexpr uint8_t kOutcomeGood = 0x00;
inline constexpr uint8_t kOutcomeEcho = 0xC0;
inline constexpr uint8_t kOutcomeCheck = 0xE0;
inline constexpr uint8_t kOutcomeRefused = 0xF0;

// Bytes of the fuzz input, read front to back; reads past the end give 0.
class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
  bool empty() const { return at_ >= data_.size(); }
  size_t remaining() const { return empty() ? 0 : data_.size() - at_; }
  uint8_t Byte();
  uint16_t Le16();
  uint32_t Le32();
  // Copies up to `count` bytes into `to`; returns how many there were.
  size_t Copy(uint8_t* to, size_t count);

 private:
  std::span<const uint8_t> data_;
  size_t at_ = 0;
};

// Pages written during one run, so that read-backs can see them.
class WrittenPages {
 public:
  void Store(const device::Request& request);
  // The bytes written at the page address of a read of this length, or null.
  const std::vector<uint8_t>* Find(const device::Request& request) const;

 private:
  std::map<uint32_t, std::vector<uint8_t>> pages_;
};

// True for the flash page read and write commands.
bool IsPageRead(const device::Request& request);
bool IsPageWrite(const device::Request& request);
// True for a page write or a block erase, whichever way its data goes.
bool ChangesFlash(const device::Request& request);

// A drive that answers every command from a ByteReader. When the data runs
// out, every further command is answered with `exhausted`.
class StreamTransport : public device::Transport {
 public:
  StreamTransport(ByteReader& reader, WrittenPages& written) : reader_(reader), written_(written) {}

  device::Outcome exhausted = device::Outcome::kScsiStatus;
  // Page writes and block erases asked of this drive, whatever their outcome.
  uint32_t* flashChanges = nullptr;

 protected:
  device::Result Carry(const device::Request& request) override;

 private:
  ByteReader& reader_;
  WrittenPages& written_;
};

// Letters with a volume behind them: bit i of `present` is kScanLetters[i].
class StreamVolumes : public device::VolumeOpener {
 public:
  StreamVolumes(ByteReader& reader, uint32_t present) : reader_(reader), present_(present) {}
  device::OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return false; }

  device::Outcome exhausted = device::Outcome::kScsiStatus;
  // Page writes and block erases asked of all drives so far.
  uint32_t flashChanges = 0;

 private:
  ByteReader& reader_;
  uint32_t present_;
  WrittenPages written_;
};

// Wraps a real transport and writes its answers in the stream encoding.
class RecordingTransport : public device::Transport {
 public:
  RecordingTransport(std::unique_ptr<device::Transport> inner, std::vector<uint8_t>& out,
                     WrittenPages& written, size_t maxPrefix, bool trimOtherPages)
      : inner_(std::move(inner)),
        out_(out),
        written_(written),
        maxPrefix_(maxPrefix),
        trimOtherPages_(trimOtherPages) {}

 protected:
  device::Result Carry(const device::Request& request) override;

 private:
  std::unique_ptr<device::Transport> inner_;
  std::vector<uint8_t>& out_;
  WrittenPages& written_;
  size_t maxPrefix_;
  bool trimOtherPages_;
};

class RecordingVolumes : public device::VolumeOpener {
 public:
  RecordingVolumes(device::VolumeOpener& inner, std::vector<uint8_t>& out)
      : inner_(inner), out_(out) {}
  device::OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return false; }

  // Longest data prefix recorded per reply; the rest of a longer reply is
  // replayed as its last byte. Seeds stay small, and what the parsers read
  // of a page (its first 1024 bytes) is kept.
  size_t maxPrefix = 0xFFFF;
  // Page reads that hold no CIS page of either family keep only their
  // first 16 bytes: the searches look no further into them.
  bool trimOtherPages = false;

 private:
  device::VolumeOpener& inner_;
  std::vector<uint8_t>& out_;
  WrittenPages written_;
};

// Bit of a letter in a StreamVolumes presence mask (0 for other letters).
uint32_t LetterBit(char letter);

}  // namespace kestrune::fuzz
