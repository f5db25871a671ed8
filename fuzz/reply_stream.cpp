#include "fuzz/reply_stream.h"

#include <algorithm>
#include <cstring>

#include "device/bytes.h"
#include "device/command_traits.h"
#include "device/commands.h"
#include "discovery/discovery.h"

namespace kestrune::fuzz {

namespace {

// What a failed transfer of 512 bytes or more leaves at the start of the
// buffer: the link only promises to keep smaller buffers untouched, so code
// must not read meaning into it.
constexpr uint8_t kFailedTransferFill = 0xA5;
constexpr size_t kFailedTransferBytes = 1024;
// What an answer after the end of the data delivers.
constexpr size_t kExhaustedBytes = 4096;
constexpr uint16_t kMaxPrefix = 0xFFFF;

uint32_t PageAddress(const device::Request& request) {
  return request.cdbLength >= 6 ? bytes::LoadBe32(request.cdb + 2) : 0;
}

device::Result Failed(const device::Request& request, device::Outcome outcome) {
  if (request.carrier == device::Carrier::kIn && request.transferLength >= 512 && request.data) {
    std::memset(request.data, kFailedTransferFill,
                std::min<size_t>(request.transferLength, kFailedTransferBytes));
  }
  device::Result result;
  result.outcome = outcome;
  result.scsiStatus = outcome == device::Outcome::kScsiStatus ? 2 : 0;
  return result;
}

bool LooksLikeCisPage(const uint8_t* data, size_t size) {
  if (size >= 2 && data[0] == 0x1E && data[1] == 0x03) return true;
  static constexpr char kMark[] = "codemark";
  if (size < 8) return false;
  for (size_t i = 0; i < 8; ++i) {
    if ((data[i] | 0x20) != kMark[i]) return false;
  }
  return true;
}

bool WantsData(const device::Request& request) {
  return request.carrier == device::Carrier::kIn && request.transferLength > 0 &&
         request.data != nullptr;
}

}  // namespace

uint8_t ByteReader::Byte() { return empty() ? 0 : data_[at_++]; }

uint16_t ByteReader::Le16() {
  const uint8_t low = Byte();
  return static_cast<uint16_t>(low | (Byte() << 8));
}

uint32_t ByteReader::Le32() {
  const uint32_t low = Le16();
  return low | (uint32_t{Le16()} << 16);
}

size_t ByteReader::Copy(uint8_t* to, size_t count) {
  const size_t n = std::min(count, remaining());
  if (n != 0) std::memcpy(to, data_.data() + at_, n);
  at_ += n;
  return n;
}

bool IsPageRead(const device::Request& request) {
  return request.cdbLength >= 6 && request.cdb[0] == device::kOpReadFlashPages;
}

bool IsPageWrite(const device::Request& request) {
  return request.cdbLength >= 6 && request.cdb[0] == device::kOpWriteFlashPages &&
         request.carrier == device::Carrier::kOut;
}

bool ChangesFlash(const device::Request& request) {
  return request.cdbLength >= 6 && device::ChangesFlash(request.cdb, request.cdbLength);
}

void WrittenPages::Store(const device::Request& request) {
  if (!IsPageWrite(request) || request.data == nullptr) return;
  pages_[PageAddress(request)].assign(request.data, request.data + request.transferLength);
}

const std::vector<uint8_t>* WrittenPages::Find(const device::Request& request) const {
  if (!IsPageRead(request)) return nullptr;
  const auto it = pages_.find(PageAddress(request));
  if (it == pages_.end() || it->second.size() < request.transferLength) return nullptr;
  return &it->second;
}

device::Result StreamTransport::Carry(const device::Request& request) {
  if (flashChanges && ChangesFlash(request)) ++*flashChanges;
  if (reader_.empty()) {
    if (exhausted != device::Outcome::kGood) return Failed(request, exhausted);
    // A short transfer: the rest of the buffer keeps what it held, and the
    // residual counts it.
    device::Result result{device::Outcome::kGood, 0};
    if (WantsData(request)) {
      const size_t sent = std::min<size_t>(request.transferLength, kExhaustedBytes);
      std::memset(request.data, 0, sent);
      result.residual = static_cast<uint32_t>(request.transferLength - sent);
    }
    written_.Store(request);
    return result;
  }
  const uint8_t outcome = reader_.Byte();
  if (outcome >= kOutcomeRefused) return Failed(request, device::Outcome::kTransportError);
  if (outcome >= kOutcomeCheck) return Failed(request, device::Outcome::kScsiStatus);
  written_.Store(request);
  if (!WantsData(request)) return device::Result{device::Outcome::kGood, 0};

  if (outcome >= kOutcomeEcho) {
    if (const std::vector<uint8_t>* pages = written_.Find(request)) {
      std::memcpy(request.data, pages->data(), request.transferLength);
      return device::Result{device::Outcome::kGood, 0};
    }
  }
  const uint8_t fill = reader_.Byte();
  const size_t prefix = std::min<size_t>(reader_.Le16(), request.transferLength);
  const size_t copied = reader_.Copy(request.data, prefix);
  std::memset(request.data + copied, fill, request.transferLength - copied);
  return device::Result{device::Outcome::kGood, 0};
}

uint32_t LetterBit(char letter) {
  for (int i = 0; i < kSlotCount; ++i) {
    if (kScanLetters[i] == letter) return uint32_t{1} << i;
  }
  return 0;
}

device::OpenResult StreamVolumes::Open(char letter) {
  if ((present_ & LetterBit(letter)) == 0) return nullptr;
  auto transport = std::make_unique<StreamTransport>(reader_, written_);
  transport->exhausted = exhausted;
  transport->flashChanges = &flashChanges;
  return transport;
}

device::Result RecordingTransport::Carry(const device::Request& request) {
  const device::Result result = inner_->Execute(request);
  if (!result.Succeeded()) {
    out_.push_back(result.outcome == device::Outcome::kScsiStatus ? kOutcomeCheck
                                                                  : kOutcomeRefused);
    return result;
  }
  written_.Store(request);
  if (!WantsData(request)) {
    out_.push_back(kOutcomeGood);
    return result;
  }
  const std::vector<uint8_t>* pages = written_.Find(request);
  if (pages && std::memcmp(pages->data(), request.data, request.transferLength) == 0) {
    out_.push_back(kOutcomeEcho);
    return result;
  }
  // The shortest prefix whose tail is one repeated byte.
  const uint8_t* data = request.data;
  const uint8_t fill = data[request.transferLength - 1];
  size_t prefix = request.transferLength;
  while (prefix > 0 && data[prefix - 1] == fill) --prefix;
  prefix = std::min({prefix, maxPrefix_, size_t{kMaxPrefix}});
  if (trimOtherPages_ && IsPageRead(request) && !LooksLikeCisPage(data, request.transferLength)) {
    prefix = std::min<size_t>(prefix, 16);
  }
  out_.push_back(kOutcomeGood);
  out_.push_back(fill);
  out_.push_back(static_cast<uint8_t>(prefix & 0xFF));
  out_.push_back(static_cast<uint8_t>(prefix >> 8));
  out_.insert(out_.end(), data, data + prefix);
  return result;
}

device::OpenResult RecordingVolumes::Open(char letter) {
  device::OpenResult inner = inner_.Open(letter);
  if (!inner) return inner;
  return std::make_unique<RecordingTransport>(std::move(inner.transport), out_, written_, maxPrefix,
                                              trimOtherPages);
}

}  // namespace kestrune::fuzz
