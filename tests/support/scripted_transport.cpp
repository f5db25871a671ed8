#include "tests/support/scripted_transport.h"

#include <algorithm>
#include <cstring>

#include "device/bytes.h"

namespace kestrune::testing {

uint32_t ScriptedCommand::pageAddress() const {
  if (cdb.size() < 6) return 0;
  return bytes::LoadBe32(cdb.data() + 2);
}

device::Result Good() { return {device::Outcome::kGood, 0}; }
device::Result CheckCondition() { return {device::Outcome::kScsiStatus, 0x02}; }
device::Result TransportError() { return {device::Outcome::kTransportError, 0}; }

CdbMatcher MatchCdb(std::vector<uint8_t> prefix) {
  return [prefix = std::move(prefix)](const device::Request& r) {
    if (r.cdb == nullptr || r.cdbLength < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), r.cdb);
  };
}

CdbMatcher MatchCdb(std::initializer_list<uint8_t> prefix) {
  return MatchCdb(std::vector<uint8_t>(prefix));
}

CdbMatcher MatchOpcode(uint8_t opcode) { return MatchCdb({opcode}); }

CdbMatcher AnyCommand() {
  return [](const device::Request&) { return true; };
}

CdbHandler Pattern(std::vector<uint8_t> bytes) {
  return [bytes = std::move(bytes)](const device::Request& r, std::span<uint8_t> data) {
    if (r.carrier == device::Carrier::kIn) {
      for (size_t i = 0; i < data.size(); ++i) data[i] = bytes[i % bytes.size()];
    }
    return Good();
  };
}

ScriptedDrive& ScriptedDrive::Then(device::Result result) {
  queued_.push_back(result);
  return *this;
}

CdbMatcher MatchPage(uint8_t opcode, uint32_t pageAddress) {
  return [opcode, pageAddress](const device::Request& r) {
    return r.cdb != nullptr && r.cdbLength >= 6 && r.cdb[0] == opcode &&
           bytes::LoadBe32(r.cdb + 2) == pageAddress;
  };
}

ScriptedDrive& ScriptedDrive::On(CdbMatcher match, CdbHandler handler) {
  rules_.push_front({std::move(match), std::move(handler), false});
  return *this;
}

ScriptedDrive& ScriptedDrive::Once(CdbMatcher match, CdbHandler handler) {
  rules_.push_front({std::move(match), std::move(handler), true});
  return *this;
}

ScriptedDrive& ScriptedDrive::Reply(CdbMatcher match, std::vector<uint8_t> reply) {
  return On(std::move(match),
            [reply = std::move(reply)](const device::Request&, std::span<uint8_t> data) {
              std::memcpy(data.data(), reply.data(), std::min(reply.size(), data.size()));
              return Good();
            });
}

ScriptedDrive& ScriptedDrive::Reply(uint8_t opcode, std::vector<uint8_t> reply) {
  return Reply(MatchOpcode(opcode), std::move(reply));
}

ScriptedDrive& ScriptedDrive::Fail(CdbMatcher match, device::Result result) {
  return On(std::move(match),
            [result](const device::Request&, std::span<uint8_t>) { return result; });
}

ScriptedDrive& ScriptedDrive::Fail(uint8_t opcode, device::Result result) {
  return Fail(MatchOpcode(opcode), result);
}

void ScriptedDrive::Clear() {
  rules_.clear();
  queued_.clear();
  seen.clear();
}

device::Result ScriptedDrive::Execute(const device::Request& request) {
  ScriptedCommand command;
  command.letter = letter_;
  if (request.cdb != nullptr) command.cdb.assign(request.cdb, request.cdb + request.cdbLength);
  command.carrier = request.carrier;
  command.transferLength = request.transferLength;
  command.timeoutSeconds = request.timeoutSeconds;
  const bool out = request.carrier == device::Carrier::kOut;
  std::vector<uint8_t> scratch(request.transferLength, 0);
  if (out && request.data != nullptr && request.transferLength > 0) {
    std::memcpy(scratch.data(), request.data, request.transferLength);
    command.dataOut = scratch;
  }
  seen.push_back(std::move(command));

  device::Result result = unmatched;
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!it->match(request)) continue;
    CdbHandler handler = it->handler;
    if (it->once) rules_.erase(it);
    result = handler(request, std::span<uint8_t>(scratch));
    break;
  }
  if (!queued_.empty()) {
    result = queued_.front();
    queued_.pop_front();
  }

  // Whatever the outcome the reply lands, as with a transport that lets a
  // partial transfer through: the buffered rule is the transport base's.
  if (!out && request.data != nullptr && request.transferLength > 0) {
    std::memcpy(request.data, scratch.data(), request.transferLength);
  }
  return result;
}

std::vector<ScriptedCommand> ScriptedDrive::SeenWith(uint8_t opcode,
                                                     std::optional<uint8_t> byte1) const {
  std::vector<ScriptedCommand> picked;
  for (const auto& c : seen) {
    if (c.opcode() == opcode && (!byte1 || c.at(1) == *byte1)) picked.push_back(c);
  }
  return picked;
}

size_t ScriptedDrive::CountOf(uint8_t opcode, std::optional<uint8_t> byte1) const {
  return SeenWith(opcode, byte1).size();
}

namespace {

class ScriptedTransport : public device::Transport {
 public:
  ScriptedTransport(ScriptedDrive& drive, int& live) : drive_(drive), live_(live) { ++live_; }
  ~ScriptedTransport() override { --live_; }

 protected:
  device::Result Carry(const device::Request& request) override { return drive_.Execute(request); }

 private:
  ScriptedDrive& drive_;
  int& live_;
};

}  // namespace

ScriptedDrive& ScriptedVolumes::Attach(char letter) {
  auto& slot = drives_[letter];
  if (!slot) slot = std::make_unique<ScriptedDrive>(letter);
  return *slot;
}

ScriptedDrive* ScriptedVolumes::Find(char letter) {
  auto it = drives_.find(letter);
  return it == drives_.end() ? nullptr : it->second.get();
}

device::OpenResult ScriptedVolumes::Open(char letter) {
  openAttempts.push_back(letter);
  ScriptedDrive* drive = Find(letter);
  if (drive == nullptr || !drive->present) return nullptr;
  return std::make_unique<ScriptedTransport>(*drive, liveTransports);
}

}  // namespace kestrune::testing
