#include "tools/usb_gadget/bulk_only.h"

#include <algorithm>
#include <cstring>

namespace kestrune::usb {
namespace {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidField = 0x24;

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void StoreLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::array<uint8_t, tcmu::kSenseLength> FixedSense(uint8_t key, uint8_t asc) {
  std::array<uint8_t, tcmu::kSenseLength> sense{};
  sense[0] = 0x70;
  sense[2] = key;
  sense[7] = tcmu::kSenseLength - 8;
  sense[12] = asc;
  return sense;
}

}  // namespace

bool ParseCbw(const uint8_t* bytes, size_t length, Cbw* cbw) {
  if (length != kCbwLength || LoadLe32(bytes) != kCbwSignature) return false;
  Cbw parsed;
  parsed.tag = LoadLe32(bytes + 4);
  parsed.transferLength = LoadLe32(bytes + 8);
  parsed.dataIn = (bytes[12] & 0x80) != 0;
  parsed.lun = bytes[13] & 0x0F;
  parsed.cdbLength = bytes[14] & 0x1F;
  if (parsed.lun != 0 || parsed.cdbLength == 0 || parsed.cdbLength > parsed.cdb.size()) {
    return false;
  }
  std::memcpy(parsed.cdb.data(), bytes + 15, parsed.cdbLength);
  *cbw = parsed;
  return true;
}

std::array<uint8_t, kCswLength> MakeCsw(uint32_t tag, uint32_t residue, uint8_t status) {
  std::array<uint8_t, kCswLength> csw{};
  StoreLe32(csw.data(), kCswSignature);
  StoreLe32(csw.data() + 4, tag);
  StoreLe32(csw.data() + 8, residue);
  csw[12] = status;
  return csw;
}

Answer Stick::Serve(const Cbw& cbw, std::vector<uint8_t>& data) {
  Answer answer;
  const size_t length = cbw.transferLength;
  if (length > kMaxTransfer) {
    pending_ = FixedSense(kIllegalRequest, kAscInvalidField);
    data.clear();
    answer.status = kCswFailed;
    answer.residue = cbw.transferLength;
    answer.tooLong = true;
    answer.reply.status = tcmu::kCheckCondition;
    answer.reply.sense = *pending_;
    return answer;
  }
  if (cbw.dataIn || length == 0) data.assign(length, 0);
  if (data.size() != length) data.resize(length, 0);

  if (cbw.cdb[0] == kRequestSense) {
    const auto sense = pending_.value_or(FixedSense(0, 0));
    pending_.reset();
    const size_t given = cbw.dataIn ? std::min(length, sense.size()) : 0;
    std::copy_n(sense.begin(), given, data.begin());
    answer.residue = static_cast<uint32_t>(length - given);
    return answer;
  }

  // The host and the command disagree on which way the data goes: refused
  // before the drive sees it.
  const bool out = tcmu::Lun::IsDataOut(cbw.cdb.data(), cbw.cdbLength);
  if (length != 0 && out == cbw.dataIn) {
    pending_ = FixedSense(kIllegalRequest, kAscInvalidField);
    answer.status = kCswFailed;
    answer.residue = static_cast<uint32_t>(length);
    answer.reply.status = tcmu::kCheckCondition;
    answer.reply.sense = *pending_;
    if (cbw.dataIn) std::fill(data.begin(), data.end(), 0);
    return answer;
  }

  answer.reply = lun_.Answer(cbw.cdb.data(), cbw.cdbLength, data);
  answer.holdMilliseconds = answer.reply.holdMilliseconds;
  data.resize(length, 0);
  if (answer.reply.status == tcmu::kGoodStatus) {
    pending_.reset();
    answer.residue = cbw.dataIn ? std::min<uint32_t>(answer.reply.residual, length) : 0;
    return answer;
  }
  pending_ = answer.reply.sense;
  answer.status = kCswFailed;
  answer.residue = static_cast<uint32_t>(length);
  if (cbw.dataIn) std::fill(data.begin(), data.end(), 0);
  return answer;
}

}  // namespace kestrune::usb
