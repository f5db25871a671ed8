// A fake drive for unit tests: volumes whose commands are answered from a
// script of rules, with every command recorded as it was seen.
//
//   ScriptedVolumes volumes;
//   ScriptedDrive& drive = volumes.Attach('E');
//   drive.Reply(0x25, {0x00, 0x3B, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00});
//   drive.Fail(0xF2);
//   drive.On(MatchCdb({0xFD, 0x10}), [](const device::Request& r, std::span<uint8_t> data) {
//     ...; return Good();
//   });
//   device::DeviceLink link(volumes);
//
// Rules are tried newest first, so a later rule overrides an earlier one; a
// rule made with Once() answers one command and is then dropped. A command no
// rule matches ends with CHECK CONDITION (or `unmatched` when set).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/transport.h"

namespace kestrune::testing {

// One command as the fake drive saw it.
struct ScriptedCommand {
  char letter = 0;
  std::vector<uint8_t> cdb;
  device::Carrier carrier = device::Carrier::kIn;
  uint32_t transferLength = 0;
  uint32_t timeoutSeconds = 0;
  std::vector<uint8_t> dataOut;  // the bytes sent on the data-out carrier

  uint8_t opcode() const { return cdb.empty() ? 0 : cdb[0]; }
  uint8_t at(size_t i) const { return i < cdb.size() ? cdb[i] : 0; }
  // Big-endian page address of the page commands (CDB bytes 2..5).
  uint32_t pageAddress() const;
};

using CdbMatcher = std::function<bool(const device::Request&)>;
// Fills `data` (transferLength bytes, zeroed on entry for data-in) and says how
// the command ended. For data-out `data` holds the bytes sent. A data-in
// reply reaches the transport's buffer whatever the outcome.
using CdbHandler = std::function<device::Result(const device::Request&, std::span<uint8_t> data)>;

// Outcome helpers.
device::Result Good();
device::Result CheckCondition();
device::Result TransportError();

// Matches when the CDB starts with `prefix`.
CdbMatcher MatchCdb(std::initializer_list<uint8_t> prefix);
CdbMatcher MatchCdb(std::vector<uint8_t> prefix);
// Matches one opcode.
CdbMatcher MatchOpcode(uint8_t opcode);
// Matches every command.
CdbMatcher AnyCommand();
// Answers with `bytes` repeated over the whole data-in transfer.
CdbHandler Pattern(std::vector<uint8_t> bytes);
// Matches a page command (F8, F9, FA, FE) for one page address.
CdbMatcher MatchPage(uint8_t opcode, uint32_t pageAddress);

class ScriptedDrive {
 public:
  explicit ScriptedDrive(char letter) : letter_(letter) {}

  // Adds a rule; returns *this for chaining.
  ScriptedDrive& On(CdbMatcher match, CdbHandler handler);
  // The same rule, answering a single command only.
  ScriptedDrive& Once(CdbMatcher match, CdbHandler handler);

  // Shorthands over On(): answer with these bytes (copied to the front of the
  // data buffer, the rest left zero), or fail.
  ScriptedDrive& Reply(uint8_t opcode, std::vector<uint8_t> bytes);
  ScriptedDrive& Reply(CdbMatcher match, std::vector<uint8_t> bytes);
  ScriptedDrive& Fail(uint8_t opcode, device::Result result = CheckCondition());
  ScriptedDrive& Fail(CdbMatcher match, device::Result result = CheckCondition());
  // The next commands end as queued, in order, whatever the rules say; the
  // rules still fill their data.
  ScriptedDrive& Then(device::Result result);

  // Drops every rule and every recorded command.
  void Clear();

  // Answers one request (what the transport calls).
  device::Result Execute(const device::Request& request);

  // Result for commands no rule matches.
  device::Result unmatched = CheckCondition();
  // When false the volume cannot be opened (as if the letter were empty).
  bool present = true;

  std::vector<ScriptedCommand> seen;

  // Recorded commands with this opcode (and, when given, CDB byte 1).
  std::vector<ScriptedCommand> SeenWith(uint8_t opcode, std::optional<uint8_t> byte1 = {}) const;
  size_t CountOf(uint8_t opcode, std::optional<uint8_t> byte1 = {}) const;

  char letter() const { return letter_; }

 private:
  struct Rule {
    CdbMatcher match;
    CdbHandler handler;
    bool once;
  };
  char letter_;
  std::deque<Rule> rules_;  // newest first
  std::deque<device::Result> queued_;
};

// The volumes of the fake drives, by letter.
class ScriptedVolumes : public device::VolumeOpener {
 public:
  // Creates (or returns) the drive behind `letter`.
  ScriptedDrive& Attach(char letter);
  ScriptedDrive* Find(char letter);

  device::OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return needsPrivilege; }

  bool needsPrivilege = false;
  // Every letter Open was asked for, in order, whether or not it succeeded.
  std::vector<char> openAttempts;
  // Number of transports currently alive.
  int liveTransports = 0;

 private:
  std::map<char, std::unique_ptr<ScriptedDrive>> drives_;
};

// A VolumeOpener over one transport factory, for tests that bring their own.
class LambdaVolumes : public device::VolumeOpener {
 public:
  using Factory = std::function<std::unique_ptr<device::Transport>(char)>;
  explicit LambdaVolumes(Factory factory) : factory_(std::move(factory)) {}
  device::OpenResult Open(char letter) override { return factory_(letter); }
  bool NeedsPrivilege() const override { return false; }

 private:
  Factory factory_;
};

}  // namespace kestrune::testing
