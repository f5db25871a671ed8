#include "device/transport.h"

#include <cstdio>

namespace kestrune::device {

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
