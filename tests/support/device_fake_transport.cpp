#include "tests/support/device_fake_transport.h"

namespace kestrune::testing {

device::Result FakeTransport::Carry(const device::Request& request) {
  SeenRequest seen;
  seen.cdb.assign(request.cdb, request.cdb + request.cdbLength);
  seen.carrier = request.carrier;
  seen.transferLength = request.transferLength;
  seen.timeoutSeconds = request.timeoutSeconds;
  seen.hadData = request.data != nullptr;
  if (request.carrier == device::Carrier::kOut && request.data != nullptr) {
    seen.outData.assign(request.data, request.data + request.transferLength);
  }
  state_->seen.push_back(std::move(seen));

  device::Result result{device::Outcome::kGood, 0};
  if (!state_->results.empty()) {
    result = state_->results.front();
    state_->results.pop_front();
  }
  bool fill = result.Succeeded() || state_->scribbleOnFailure;
  if (fill && request.carrier == device::Carrier::kIn && request.data != nullptr &&
      !state_->reply.empty()) {
    for (uint32_t i = 0; i < request.transferLength; ++i) {
      request.data[i] = state_->reply[i % state_->reply.size()];
    }
  }
  return result;
}

device::OpenResult FakeVolumes::Open(char letter) {
  if (letters.count(letter) == 0) return nullptr;
  ++state->openCount;
  return std::make_unique<FakeTransport>(state);
}

}  // namespace kestrune::testing
