#include "tests/support/fault_injector.h"

namespace kestrune::testing {

using device::Carrier;
using device::Outcome;
using device::Request;
using device::Result;

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return "none";
    case Fault::kCheckCondition:
      return "check condition";
    case Fault::kRefused:
      return "refused";
    case Fault::kCorruptRead:
      return "corrupt read";
    case Fault::kLostWrite:
      return "lost write";
    case Fault::kVanish:
      return "vanish";
    case Fault::kUntouchedRead:
      return "untouched read";
  }
  return "?";
}

namespace {

class InjectingTransport : public device::Transport {
 public:
  InjectingTransport(FaultInjector& owner, std::unique_ptr<device::Transport> inner)
      : owner_(owner), inner_(std::move(inner)) {}

 protected:
  Result Carry(const Request& request) override { return owner_.Carry(*inner_, request); }

 private:
  FaultInjector& owner_;
  std::unique_ptr<device::Transport> inner_;
};

}  // namespace

device::OpenResult FaultInjector::Open(char letter) {
  if (vanished_) return nullptr;
  device::OpenResult inner = inner_.Open(letter);
  if (!inner) return inner;
  return std::make_unique<InjectingTransport>(*this, std::move(inner.transport));
}

void FaultInjector::Arm(Fault fault, uint64_t atCommand) {
  fault_ = fault;
  at_ = atCommand;
  count_ = 0;
  fired_ = false;
  vanished_ = false;
  seen_.clear();
}

Result FaultInjector::Carry(device::Transport& inner, const Request& request) {
  if (budget_ != 0 && count_ >= budget_) throw CommandBudgetExceeded();
  const uint64_t index = count_++;
  SeenCommand seen{request.cdbLength > 0 ? request.cdb[0] : uint8_t{0},
                   request.cdbLength > 1 ? request.cdb[1] : uint8_t{0}, request.carrier,
                   request.transferLength, false};
  if (request.cdbLength >= 9) {
    seen.page = (uint32_t{request.cdb[2]} << 24) | (uint32_t{request.cdb[3]} << 16) |
                (uint32_t{request.cdb[4]} << 8) | request.cdb[5];
    seen.pageCount = static_cast<uint16_t>((request.cdb[7] << 8) | request.cdb[8]);
  }
  Fault fault = index == at_ ? fault_ : Fault::kNone;
  if (vanished_) fault = Fault::kVanish;
  Result result;
  switch (fault) {
    case Fault::kNone:
      result = inner.Execute(request);
      seen.delivered = true;
      break;
    case Fault::kCheckCondition:
      result = {Outcome::kScsiStatus, 0x02};
      seen.faulted = true;
      break;
    case Fault::kRefused:
      result = {Outcome::kOsError, 0};
      seen.faulted = true;
      break;
    case Fault::kVanish:
      vanished_ = true;
      result = {Outcome::kOsError, 0};
      seen.faulted = true;
      break;
    case Fault::kCorruptRead:
      result = inner.Execute(request);
      seen.delivered = true;
      if (request.carrier == Carrier::kIn && request.transferLength > 0 && result.Succeeded()) {
        request.data[request.transferLength / 2] ^= 0x5A;
        seen.faulted = true;
      }
      break;
    case Fault::kUntouchedRead:
      // The drive never sees the command and the buffer keeps what it held;
      // the residual says that nothing came.
      if (request.carrier == Carrier::kIn && request.transferLength > 0) {
        result = {Outcome::kGood, 0};
        result.residual = request.transferLength;
        seen.faulted = true;
      } else {
        result = inner.Execute(request);
        seen.delivered = true;
      }
      break;
    case Fault::kLostWrite:
      if (request.carrier == Carrier::kOut) {
        result = {Outcome::kGood, 0};
        seen.faulted = true;
      } else {
        result = inner.Execute(request);
        seen.delivered = true;
      }
      break;
  }
  fired_ = fired_ || seen.faulted;
  seen_.push_back(seen);
  return result;
}

}  // namespace kestrune::testing
