#include "tools/tcmu_drive/lun.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "device/bytes.h"
#include "device/command_traits.h"
#include "device/commands.h"

namespace kestrune::tcmu {

namespace {

using device::Carrier;
using device::Outcome;

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStop = 0x1B;
constexpr uint8_t kMediumRemoval = 0x1E;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kSyncCache10 = 0x35;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kRead16 = 0x88;
constexpr uint8_t kWrite16 = 0x8A;
constexpr uint8_t kSyncCache16 = 0x91;
constexpr uint8_t kRead12 = 0xA8;
constexpr uint8_t kWrite12 = 0xAA;
// Opcodes from here up are the controller's own.
constexpr uint8_t kFirstVendorOpcode = 0xC0;

constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kMediumError = 0x03;
constexpr uint8_t kHardwareError = 0x04;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscWriteError = 0x0C;
constexpr uint8_t kAscNoMedium = 0x3A;
constexpr uint8_t kAscInternalFailure = 0x44;

// The partition the disk carries: small enough to lie inside any drive.
constexpr uint32_t kPartitionStart = 32;
constexpr uint32_t kPartitionBlocks = 96;
constexpr uint8_t kPartitionType = 0x0C;  // FAT32, LBA
// Blocks the kernel may write before the stand-in disk is full.
constexpr size_t kMaxStoredBlocks = 4096;

Reply Good() { return {}; }

Reply Check(uint8_t key, uint8_t asc) {
  Reply reply;
  reply.status = kCheckCondition;
  reply.sense[0] = 0x70;  // current error, fixed format
  reply.sense[2] = key;
  reply.sense[7] = kSenseLength - 8;
  reply.sense[12] = asc;
  return reply;
}

// The controller reads each of its commands at its own length; the target
// hands every vendor opcode on as 10 bytes.
uint8_t VendorCdbLength(const uint8_t* cdb, size_t cdbLength) {
  const device::CommandTraits* traits = device::FindCommand(cdb, cdbLength);
  return traits != nullptr ? traits->cdbLength : 10;
}

uint64_t LoadBe64(const uint8_t* p) {
  return (uint64_t{bytes::LoadBe32(p)} << 32) | bytes::LoadBe32(p + 4);
}

// Block address and count of a READ or WRITE of any size; false when the
// opcode is not one.
bool BlockRange(const uint8_t* cdb, size_t length, uint64_t* lba, uint32_t* count) {
  switch (cdb[0]) {
    case kRead6:
    case kWrite6:
      if (length < 6) return false;
      *lba = ((cdb[1] & 0x1Fu) << 16) | (cdb[2] << 8) | cdb[3];
      *count = cdb[4] == 0 ? 256 : cdb[4];
      return true;
    case kRead10:
    case kWrite10:
      if (length < 10) return false;
      *lba = bytes::LoadBe32(cdb + 2);
      *count = bytes::LoadBe16(cdb + 7);
      return true;
    case kRead12:
    case kWrite12:
      if (length < 12) return false;
      *lba = bytes::LoadBe32(cdb + 2);
      *count = bytes::LoadBe32(cdb + 6);
      return true;
    case kRead16:
    case kWrite16:
      if (length < 16) return false;
      *lba = LoadBe64(cdb + 2);
      *count = bytes::LoadBe32(cdb + 10);
      return true;
    default:
      return false;
  }
}

bool IsWrite(uint8_t opcode) {
  return opcode == kWrite6 || opcode == kWrite10 || opcode == kWrite12 || opcode == kWrite16;
}

}  // namespace

bool ParseHoldRules(const std::string& text, std::vector<HoldRule>* rules, std::string* error) {
  std::vector<HoldRule> parsed;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string verb, command, extra;
    uint64_t nth = 0;
    uint64_t milliseconds = 0;
    if (!(words >> verb) || verb[0] == '#') continue;
    const bool read = static_cast<bool>(words >> command >> nth >> milliseconds);
    HoldRule rule;
    unsigned opcode = 0, sub = 0;
    int used = 0;
    bool commandOk = false;
    if (read && std::sscanf(command.c_str(), "%2x/%2x%n", &opcode, &sub, &used) == 2 &&
        static_cast<size_t>(used) == command.size()) {
      rule.sub = static_cast<uint8_t>(sub);
      commandOk = true;
    } else if (read && std::sscanf(command.c_str(), "%2x%n", &opcode, &used) == 1 &&
               static_cast<size_t>(used) == command.size()) {
      commandOk = true;
    }
    if (verb != "hold" || !commandOk || nth == 0 || milliseconds > 600000 || (words >> extra)) {
      *error = "not a rule: " + line;
      return false;
    }
    rule.opcode = static_cast<uint8_t>(opcode);
    rule.nth = nth;
    rule.milliseconds = static_cast<uint32_t>(milliseconds);
    parsed.push_back(rule);
  }
  *rules = std::move(parsed);
  return true;
}

Lun::Lun(sim::VirtualDrive& drive) : drive_(drive) {}

void Lun::SetHoldRules(const std::vector<HoldRule>& rules) {
  holds_.clear();
  for (const HoldRule& rule : rules) holds_.push_back({rule, 0});
}

bool Lun::IsDataOut(const uint8_t* cdb, size_t cdbLength) {
  if (cdbLength == 0) return false;
  return IsWrite(cdb[0]) || device::SendsData(cdb, cdbLength);
}

Reply Lun::Answer(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data) {
  if (cdbLength == 0) return Check(kIllegalRequest, kAscInvalidOpcode);
  Reply reply = Answered(cdb, cdbLength, data);
  for (Hold& hold : holds_) {
    const bool matches = hold.rule.opcode == cdb[0] &&
                         (!hold.rule.sub || (cdbLength > 1 && *hold.rule.sub == cdb[1]));
    if (matches && ++hold.seen == hold.rule.nth) {
      reply.holdMilliseconds = std::max(reply.holdMilliseconds, hold.rule.milliseconds);
    }
  }
  return reply;
}

Reply Lun::Answered(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data) {
  uint64_t lba = 0;
  uint32_t count = 0;
  if (BlockRange(cdb, cdbLength, &lba, &count)) {
    if (drive_.Vanished()) return Check(kNotReady, kAscNoMedium);
    return IsWrite(cdb[0]) ? WriteBlocks(lba, count, data) : ReadBlocks(lba, count, data);
  }
  switch (cdb[0]) {
    case device::kOpInquiry:
      // The drive has no vital product data pages.
      if (cdbLength < 6 || (cdb[1] & 0x01) != 0) return Check(kIllegalRequest, kAscInvalidField);
      return ToDrive(cdb, cdbLength, data);
    case device::kOpReadCapacity: {
      Reply reply = ToDrive(cdb, cdbLength, data);
      if (reply.status == kGoodStatus && data.size() >= 8) {
        const uint32_t blockLength = bytes::LoadBe32(data.data() + 4);
        if (blockLength >= 512 && blockLength <= 65536) {
          blockLength_ = blockLength;
          blockCount_ = uint64_t{bytes::LoadBe32(data.data())} + 1;
        }
      }
      return reply;
    }
    case kTestUnitReady:
    case kStartStop:
    case kMediumRemoval:
    case kVerify10:
    case kSyncCache10:
    case kSyncCache16:
      return drive_.Vanished() ? Check(kNotReady, kAscNoMedium) : Good();
    case kRequestSense: {
      // Nothing pending: sense key NO SENSE.
      const Reply none = Check(0, 0);
      std::copy_n(none.sense.begin(), std::min(data.size(), none.sense.size()), data.begin());
      return Good();
    }
    case kModeSense6:
    case kModeSense10: {
      // Only a header: not write-protected, no block descriptor, no pages.
      std::fill(data.begin(), data.end(), 0);
      const size_t header = cdb[0] == kModeSense6 ? 4 : 8;
      if (data.size() >= 1 && header == 4) data[0] = 3;
      if (data.size() >= 2 && header == 8) data[1] = 6;
      return Good();
    }
    default:
      if (cdb[0] >= kFirstVendorOpcode) return ToDrive(cdb, cdbLength, data);
      return Check(kIllegalRequest, kAscInvalidOpcode);
  }
}

Reply Lun::ToDrive(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data) {
  uint8_t full[device::kMaxCdbLength] = {};
  size_t length = std::min<size_t>(cdbLength, sizeof full);
  std::memcpy(full, cdb, length);
  if (cdb[0] >= kFirstVendorOpcode) length = VendorCdbLength(cdb, cdbLength);

  device::Request request;
  request.cdb = full;
  request.cdbLength = static_cast<uint8_t>(length);
  request.carrier = IsDataOut(cdb, cdbLength) ? Carrier::kOut : Carrier::kIn;
  request.transferLength = static_cast<uint32_t>(data.size());
  request.data = data.empty() ? nullptr : data.data();
  const device::Result result = drive_.Execute(request);

  Reply reply;
  reply.reachedDrive = true;
  switch (result.outcome) {
    case Outcome::kGood:
      if (request.carrier == Carrier::kIn) reply.residual = result.residual;
      break;
    case Outcome::kScsiStatus:
      reply = Check(kIllegalRequest, kAscInvalidField);
      reply.status = result.scsiStatus;
      reply.reachedDrive = true;
      // The drive's own sense, when it gave some, goes on as it came.
      if (result.senseLength != 0) {
        reply.sense.fill(0);
        std::copy_n(result.sense.begin(), std::min<size_t>(result.senseLength, kSenseLength),
                    reply.sense.begin());
      }
      break;
    case Outcome::kTransportError:
    case Outcome::kOsError:
      // A target tells a refusal only as a status: the drive failed inside.
      reply = Check(kHardwareError, kAscInternalFailure);
      reply.reachedDrive = true;
      break;
  }
  return reply;
}

bool Lun::InRange(uint64_t lba, uint32_t count) const {
  if (!blockCount_) return true;
  return lba <= *blockCount_ && count <= *blockCount_ - lba;
}

Reply Lun::ReadBlocks(uint64_t lba, uint32_t count, std::vector<uint8_t>& data) const {
  if (!InRange(lba, count) || data.size() < uint64_t{count} * blockLength_) {
    return Check(kIllegalRequest, kAscLbaOutOfRange);
  }
  std::fill(data.begin(), data.end(), 0);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* at = data.data() + size_t{i} * blockLength_;
    const auto stored = blocks_.find(lba + i);
    if (stored != blocks_.end()) {
      std::copy_n(stored->second.begin(), std::min<size_t>(stored->second.size(), blockLength_),
                  at);
    } else if (lba + i == 0) {
      // A partition table with one partition, as sticks are sold.
      uint8_t* entry = at + 446;
      entry[4] = kPartitionType;
      entry[8] = kPartitionStart & 0xFF;
      entry[9] = kPartitionStart >> 8;
      entry[12] = kPartitionBlocks & 0xFF;
      entry[13] = kPartitionBlocks >> 8;
      at[510] = 0x55;
      at[511] = 0xAA;
    }
  }
  return Good();
}

Reply Lun::WriteBlocks(uint64_t lba, uint32_t count, const std::vector<uint8_t>& data) {
  if (!InRange(lba, count) || data.size() < uint64_t{count} * blockLength_) {
    return Check(kIllegalRequest, kAscLbaOutOfRange);
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (blocks_.size() >= kMaxStoredBlocks && blocks_.count(lba + i) == 0) {
      return Check(kMediumError, kAscWriteError);
    }
    const auto from = data.begin() + static_cast<std::ptrdiff_t>(size_t{i} * blockLength_);
    blocks_[lba + i].assign(from, from + blockLength_);
  }
  return Good();
}

}  // namespace kestrune::tcmu
