#include "device/transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestrune::device {

bool IsValidRequest(const Request& request) {
  if (request.cdb == nullptr || request.cdbLength == 0 || request.cdbLength > kMaxCdbLength) {
    return false;
  }
  if (request.carrier != Carrier::kIn && request.carrier != Carrier::kOut) return false;
  return request.transferLength == 0 || request.data != nullptr;
}

namespace {

// What a transport reports is taken no further than the request reaches.
Result Bounded(Result result, const Request& request) {
  result.residual = std::min(result.residual, request.transferLength);
  result.senseLength =
      static_cast<uint8_t>(std::min<size_t>(result.senseLength, result.sense.size()));
  return result;
}

}  // namespace

Result Transport::Execute(const Request& request) {
  if (!IsValidRequest(request)) return {};
  if (request.carrier != Carrier::kIn || request.transferLength >= kBufferedLimit) {
    return Bounded(Carry(request), request);
  }
  uint8_t bounce[kBufferedLimit] = {};
  Request buffered = request;
  buffered.data = request.transferLength != 0 ? bounce : nullptr;
  const Result result = Bounded(Carry(buffered), request);
  const bool delivered = request.wholeTransfer ? result.Complete() : result.Succeeded();
  if (delivered && request.transferLength != 0) {
    std::memcpy(request.data, bounce, request.transferLength);
  }
  return result;
}

std::string DescribeResult(const Result& result) {
  switch (result.outcome) {
    case Outcome::kGood:
      return "good";
    case Outcome::kScsiStatus: {
      char text[32];
      std::snprintf(text, sizeof text, "status %02x", result.scsiStatus);
      return text;
    }
    case Outcome::kTransportError:
      return "transport error";
    case Outcome::kOsError:
      return "refused";
  }
  return "refused";
}

}  // namespace kestrune::device
