// A scripted transport and opener for tests of the link and everything that
// talks through it: records every request and answers from a script.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "device/transport.h"

namespace kestrune::testing {

struct SeenRequest {
  std::vector<uint8_t> cdb;
  device::Carrier carrier;
  uint32_t transferLength;
  uint32_t timeoutSeconds;
  bool hadData;                  // a data pointer was handed over
  std::vector<uint8_t> outData;  // what a data-out request carried
};

// Shared between the opener and the transports it hands out, so a test sees
// the traffic of every volume it opened.
struct FakeDriveState {
  std::vector<SeenRequest> seen;
  // Results to give, in order; when empty, kGood.
  std::deque<device::Result> results;
  // Byte pattern written into data-in buffers: reply[i % reply.size()].
  std::vector<uint8_t> reply = {0xA5};
  // Writes the reply into the data area even when the request fails, like a
  // transport that lets a partial transfer through.
  bool scribbleOnFailure = false;
  int openCount = 0;
  int closeCount = 0;
};

class FakeTransport : public device::Transport {
 public:
  explicit FakeTransport(std::shared_ptr<FakeDriveState> state) : state_(std::move(state)) {}
  ~FakeTransport() override { ++state_->closeCount; }

 protected:
  device::Result Carry(const device::Request& request) override;

 private:
  std::shared_ptr<FakeDriveState> state_;
};

class FakeVolumes : public device::VolumeOpener {
 public:
  FakeVolumes() : state(std::make_shared<FakeDriveState>()) {}
  device::OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return needsPrivilege; }

  std::shared_ptr<FakeDriveState> state;
  std::set<char> letters = {'E'};
  bool needsPrivilege = false;
};

}  // namespace kestrune::testing
