#include "simulator/virtual_drive.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>

#include "device/bytes.h"
#include "resources/standin_layout.h"
#include "simulator/flash_content.h"
#include "simulator/flash_file.h"
#include "simulator/nand_flash.h"
#include "simulator/sim_host.h"
#include "simulator/timing_model.h"
#include "simulator/wire_codes.h"

namespace kestrune::sim {

namespace {

using device::Carrier;
using device::Outcome;
using device::Request;
using device::Result;

constexpr uint8_t kCheckCondition = 0x02;
constexpr uint32_t kMemorySize = 0x10000;
constexpr uint32_t kInquirySize = 180;
constexpr uint32_t kCapacitySize = 8;
// No command of the set moves more than a few ISP areas; anything far beyond
// is a malformed request and is refused before a reply buffer is made for it.
constexpr uint32_t kMaxTransfer = 16u << 20;
// The flash file's size bound counts on no page record carrying more.
static_assert(kMaxTransfer <= kMaxRecordPageBytes);

using namespace wire;  // NOLINT(google-build-using-namespace): the codes the controller answers

// The controller turns every command down alike, as an illegal request:
// fixed-format sense naming an opcode it does not know, or a field of the
// CDB (sub-code, length, address) it will not take.
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kFixedSenseLength = 18;

Result Good() { return {Outcome::kGood, 0}; }
Result Check(uint8_t asc = kAscInvalidField) {
  Result result{Outcome::kScsiStatus, kCheckCondition};
  result.sense[0] = 0x70;  // current error, fixed format
  result.sense[2] = kSenseIllegalRequest;
  result.sense[7] = kFixedSenseLength - 8;
  result.sense[12] = asc;
  result.senseLength = kFixedSenseLength;
  return result;
}
Result Refused() { return {Outcome::kTransportError, 0}; }

void PutText(uint8_t* at, const std::string& text, size_t width) {
  std::memset(at, ' ', width);
  std::copy_n(text.begin(), std::min(text.size(), width), at);
}

class Drive final : public VirtualDrive {
 public:
  Drive(DriveDescription description, std::string flashPath)
      : d_(std::move(description)),
        flash_(d_.pageSize, kSpareSize, d_.pagesPerBlock, d_.BlockCount()),
        flashPath_(std::move(flashPath)),
        journal_(flashPath_) {
    for (const auto& rule : d_.faults) faults_.Add(rule);
  }

  bool Start(std::string* error) {
    // A file within the bound may still be more than a small machine holds.
    try {
      if (LoadFlash(error)) return true;
    } catch (const std::bad_alloc&) {
      *error = flashPath_ + ": too large to load into memory";
    }
    // The flash file was refused: this drive holds nothing of it, so it must
    // not write its own empty flash over it when it goes.
    claimed_ = false;
    return false;
  }

  bool LoadFlash(std::string* error) {
    std::vector<uint8_t> bytes;
    NandFlash flash(d_.pageSize, kSpareSize, d_.pagesPerBlock, d_.BlockCount());
    // The flash file is this program's own: a link in its place is refused,
    // not followed, and so is a file larger than this geometry can leave,
    // before it is read.
    const ReadStatus status =
        flashPath_.empty() ? ReadStatus::kMissing : ReadFlashFile(flashPath_, flash, &bytes, error);
    if (status == ReadStatus::kRefused) return false;
    if (status == ReadStatus::kRead) {
      std::string why;
      if (!ParseFlashFile(bytes, flash, &why)) {
        *error = flashPath_ + ": " + why;
        return false;
      }
    } else {
      BuildInitialFlash(d_, flash);
    }
    flash_ = std::move(flash);
    inFile_ = status == ReadStatus::kRead;
    PowerCycle();
    return true;
  }

  void Unclaim() override { claimed_ = false; }

  bool Claim(std::string* error) override {
    if (claimed_) return true;
    std::string scratch;
    if (!Start(error != nullptr ? error : &scratch)) return false;
    claimed_ = true;
    return true;
  }

  ~Drive() override { Save(); }

  Result Execute(const Request& request) override {
    const uint64_t deviceBefore = time_;
    const uint64_t start = clock_ ? clock_->NowNanoseconds() : 0;
    killAfter_ = false;
    signalAfter_.reset();
    pauseAfter_ = false;
    Result result = Answer(request);
    // A command turned down moves no data.
    if (!result.Succeeded()) result.residual = request.transferLength;
    if (clock_) clock_->SleepUntilNanoseconds(start + (time_ - deviceBefore));
    if (killAfter_) KillProcess();
    if (signalAfter_) SignalProcess(*signalAfter_);
    if (pauseAfter_) PauseUntilTheProcessEnds(flashPath_ + ".paused");
    return result;
  }

  Result Answer(const Request& request) {
    ++commands_;
    // The planned unplug happens once; SetVanished(false) plugs the drive back in.
    if (d_.vanishAtCommand && !vanishFired_ && commands_ >= *d_.vanishAtCommand) {
      vanished_ = true;
      vanishFired_ = true;
    }
    if (vanished_) return Count(Refused());
    if (!request.cdb || request.cdbLength == 0 || request.cdbLength > 16 ||
        (request.transferLength > 0 && !request.data) || request.transferLength > kMaxTransfer) {
      return Count(Check());
    }
    const uint8_t opcode = request.cdb[0];
    const uint8_t sub = request.cdbLength > 1 ? request.cdb[1] : 0;
    time_ += timing::kRoundTripNs + timing::TransferNs(request.transferLength);

    const std::optional<FaultRule> fault = faults_.Next(opcode, sub, commands_);
    if (fault && fault->action == FaultAction::kCheckCondition) {
      Result check = Check();
      if (fault->sense) {
        check.sense[2] = (*fault->sense)[0];
        check.sense[12] = (*fault->sense)[1];
        check.sense[13] = (*fault->sense)[2];
      }
      return Count(check);
    }
    if (fault && fault->action == FaultAction::kRefuse) return Count(Refused());
    if (fault && fault->action == FaultAction::kVanish) {
      vanished_ = true;
      return Count(Refused());
    }
    dropWrite_ = fault && fault->action == FaultAction::kDropWrite;
    killAfter_ = fault && fault->action == FaultAction::kKill;
    if (fault && fault->action == FaultAction::kInterrupt) signalAfter_ = ProcessSignal::kInterrupt;
    if (fault && fault->action == FaultAction::kTerminate) signalAfter_ = ProcessSignal::kTerminate;
    if (fault && fault->action == FaultAction::kHangUp) signalAfter_ = ProcessSignal::kHangUp;
    pauseAfter_ = fault && fault->action == FaultAction::kPause && !flashPath_.empty();

    // Replies are built aside and handed over only on success, which keeps
    // the rule that a failed data-in leaves the caller's buffer untouched.
    std::vector<uint8_t> reply;
    if (request.carrier == Carrier::kIn) reply.assign(request.transferLength, 0);
    const Result result = Dispatch(request, reply);
    dropWrite_ = false;
    if (result.Succeeded() && request.carrier == Carrier::kIn && !reply.empty()) {
      if (fault && fault->action == FaultAction::kCorrupt) {
        reply[fault->byteOffset % reply.size()] ^= 0xFF;
      }
      std::memcpy(request.data, reply.data(), reply.size());
    }
    return Count(result);
  }

  uint64_t DeviceTimeNanoseconds() const override { return time_; }
  uint64_t CommandCount() const override { return commands_; }

  bool Save() override {
    if (!claimed_ || flashPath_.empty() || (inFile_ && !journal_.HasRecords())) return true;
    inFile_ = SnapshotNow();
    return inFile_;
  }

  void SetClock(std::shared_ptr<DeviceClock> clock) override { clock_ = std::move(clock); }
  bool RealTime() const override { return clock_ != nullptr; }

  uint32_t PageSize() const override { return flash_.PageSize(); }
  uint32_t PageCount() const override { return flash_.PageCount(); }
  std::vector<uint8_t> ReadRawPage(uint32_t page) const override {
    std::vector<uint8_t> raw(flash_.RawPageSize(), 0xFF);
    if (flash_.Contains(page)) flash_.Read(page, raw.data());
    return raw;
  }
  void WriteRawPage(uint32_t page, const std::vector<uint8_t>& bytes) override {
    if (!flash_.Contains(page)) return;
    std::vector<uint8_t> raw(flash_.RawPageSize(), 0xFF);
    std::copy_n(bytes.begin(), std::min(bytes.size(), raw.size()), raw.begin());
    flash_.Store(page, raw.data());
    PersistPages(page, 1);
  }
  bool IspHealthy() const override { return healthy_; }
  void SetVanished(bool vanished) override { vanished_ = vanished; }
  bool Vanished() const override { return vanished_; }

  const DriveDescription& Description() const override { return d_; }
  std::string IdentificationText() const override { return d_.IdentificationText(healthy_); }
  bool FlashIspHealthy() const override { return JudgeIsp(d_, flash_); }
  std::vector<uint32_t> IspAreaPages() const override { return FindIspAreas(d_, flash_); }
  void PowerCycle() override {
    memory_.fill(0);
    for (const auto& [address, data] : d_.memory) {
      std::copy(data.begin(), data.end(), memory_.begin() + address);
    }
    initialised_ = false;
    notReadyLeft_ = 0;
    healthy_ = JudgeIsp(d_, flash_);
  }
  bool FlashReady() const override { return !d_.NeedsCode() || (initialised_ && CodeRunning()); }
  std::vector<uint8_t> ReadMemory(uint32_t address, uint32_t length) const override {
    if (address >= kMemorySize) return {};
    length = std::min(length, kMemorySize - address);
    return {memory_.begin() + address, memory_.begin() + address + length};
  }
  void AddFault(const FaultRule& rule) override { faults_.Add(rule); }
  void ClearFaults() override { faults_.Clear(); }
  DriveCounters Counters() const override { return counters_; }
  std::string FlashPath() const override { return flashPath_; }

 private:
  // A change of flash reaches its file before the command completes: as a
  // record after the file's snapshot, or as the first snapshot of this run.
  void PersistPages(uint32_t page, uint32_t count) {
    if (!claimed_ || flashPath_.empty()) return;
    inFile_ = journal_.IsOpen() ? journal_.RecordPages(flash_, page, count) : SnapshotNow();
  }
  void PersistErase(uint32_t block) {
    if (!claimed_ || flashPath_.empty()) return;
    inFile_ = journal_.IsOpen() ? journal_.RecordErase(flash_, block) : SnapshotNow();
  }
  bool SnapshotNow() {
    std::string error;
    return journal_.Snapshot(flash_, &error);
  }

  Result Count(Result r) {
    if (r.outcome == Outcome::kScsiStatus) ++counters_.checkConditions;
    if (r.outcome == Outcome::kTransportError) ++counters_.refused;
    return r;
  }

  Result Dispatch(const Request& r, std::vector<uint8_t>& reply) {
    switch (r.cdb[0]) {
      case kOpInquiry:
        return Inquiry(r, reply);
      case kOpReadCapacity:
        return ReadCapacity(r, reply);
      case kOpModeByte:
        if (r.cdbLength != 6 || r.carrier != Carrier::kIn) return Check();
        return Answer(reply, {d_.modeByte});
      case kOpController:
        return Controller(r, reply);
      case kOpConfig:
        if (r.cdbLength != 12 || r.carrier != Carrier::kIn || !FlashReady()) return Check();
        return Answer(reply, d_.ConfigRecord());
      case kOpReadPages:
        return ReadPages(r, reply);
      case kOpReadSpare:
        return ReadSpare(r, reply);
      case kOpWritePages:
        return WritePages(r);
      case kOpErase:
        return Erase(r, reply);
      default:
        return Check(kAscInvalidOpcode);
    }
  }

  // Copies as much of `bytes` as the transfer asks for; the rest stays zero
  // and is the residual of a reply shorter than the transfer.
  static Result Answer(std::vector<uint8_t>& reply, const std::vector<uint8_t>& bytes) {
    const size_t sent = std::min(bytes.size(), reply.size());
    std::copy_n(bytes.begin(), sent, reply.begin());
    Result result = Good();
    result.residual = static_cast<uint32_t>(reply.size() - sent);
    return result;
  }

  Result Inquiry(const Request& r, std::vector<uint8_t>& reply) {
    if (r.cdbLength != 6 || r.carrier != Carrier::kIn) return Check();
    std::vector<uint8_t> data(kInquirySize, 0);
    data[0] = 0x00;  // direct-access block device
    data[1] = 0x80;  // removable medium
    data[2] = 0x02;
    data[3] = 0x02;
    data[4] = kInquirySize - 5;
    PutText(&data[8], d_.vendor, 8);
    PutText(&data[16], d_.product, 16);
    PutText(&data[32], d_.productRevision, 4);
    const std::string text = IdentificationText();
    std::memcpy(&data[36], text.data(), std::min<size_t>(text.size(), kInquirySize - 37));
    // The allocation length of the CDB limits the reply like the transfer does.
    data.resize(std::min<size_t>(data.size(), r.cdb[4]));
    return Answer(reply, data);
  }

  Result ReadCapacity(const Request& r, std::vector<uint8_t>& reply) {
    if (r.cdbLength != 10 || r.carrier != Carrier::kIn) return Check();
    if (notReadyLeft_ > 0) {
      --notReadyLeft_;
      return Check();
    }
    std::vector<uint8_t> data(kCapacitySize, 0);
    bytes::StoreBe32(&data[0], d_.lastLba.value_or(DefaultLastLba()));
    bytes::StoreBe16(&data[6], d_.blockLength);
    return Answer(reply, data);
  }

  uint32_t DefaultLastLba() const {
    const uint64_t blockLength = d_.blockLength ? d_.blockLength : 512;
    const uint64_t bytes = uint64_t{d_.ceCount} * d_.zoneCount * d_.UsableBlocksPerZone() *
                           d_.pagesPerBlock * d_.pageSize;
    const uint64_t sectors = bytes / blockLength;
    if (sectors == 0) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, 0xFFFFFFFF));
  }

  Result Controller(const Request& r, std::vector<uint8_t>& reply) {
    if (r.cdbLength != 10) return Check();
    const uint8_t* c = r.cdb;
    switch (c[1]) {
      case kSubFlashId:
        if (r.carrier != Carrier::kIn) return Check();
        return Answer(reply, {d_.flashId.begin(), d_.flashId.end()});
      case kSubReset:
        if (c[2] != 0x07 || c[3] != 0x01 || r.carrier != Carrier::kIn) return Check();
        return Reset();
      case kSubPrepare:
        return r.carrier == Carrier::kIn ? Good() : Check();
      case kSubInitFlash:
        if (r.carrier != Carrier::kIn) return Check();
        return InitFlash();
      case kSubMemory:
        if (c[2] == 0x00) return ReadMemoryCommand(r, reply);
        if (c[2] == 0x01) return WriteMemoryCommand(r);
        return Check();
      default:
        return Check();
    }
  }

  // The code block now at 0xF000, when it is one this controller accepts.
  std::optional<uint8_t> LoadedCodeBlock() const {
    uint8_t number = 0;
    std::string name;
    if (!ParseCodeBlock(memory_.data() + kCodeAddress, &number, &name)) return std::nullopt;
    if (!d_.codeImage.empty() && !SameImageName(name, d_.codeImage)) return std::nullopt;
    return number;
  }
  bool CodeRunning() const {
    const auto block = LoadedCodeBlock();
    return block && (*block == 5 || *block == 12);
  }

  Result InitFlash() {
    time_ += timing::kInitFlashNs;
    if (!d_.NeedsCode()) return Good();
    const auto block = LoadedCodeBlock();
    initialised_ = block && *block == 5;
    return initialised_ ? Good() : Check();
  }

  // Restarting on code block 12 is how the drive re-enumerates: it drops off
  // the bus for a few polls, forgets its working code and boots from the ISP
  // in its flash, which decides the verdict it reports from then on.
  Result Reset() {
    const auto block = LoadedCodeBlock();
    if (!block || *block != 12) return Check();
    time_ += timing::kResetNs;
    memory_.fill(0);
    for (const auto& [address, data] : d_.memory) {
      std::copy(data.begin(), data.end(), memory_.begin() + address);
    }
    initialised_ = false;
    notReadyLeft_ = d_.notReadyPolls;
    healthy_ = JudgeIsp(d_, flash_);
    return Good();
  }

  Result ReadMemoryCommand(const Request& r, std::vector<uint8_t>& reply) {
    const uint8_t* c = r.cdb;
    const uint32_t address = (uint32_t{c[6]} << 16) | (uint32_t{c[3]} << 8) | c[4];
    const uint32_t length = bytes::LoadBe16(c + 7);
    if (r.carrier != Carrier::kIn || r.transferLength != length || address >= kMemorySize ||
        length > kMemorySize - address) {
      return Check();
    }
    std::copy_n(memory_.begin() + address, length, reply.begin());
    return Good();
  }

  Result WriteMemoryCommand(const Request& r) {
    const uint8_t* c = r.cdb;
    const uint32_t address = bytes::LoadBe16(c + 3);
    const uint32_t length = r.transferLength;
    if (r.carrier != Carrier::kOut || c[6] != 0x03 || length == 0 ||
        length > kMemorySize - address) {
      return Check();
    }
    if (!dropWrite_) std::memcpy(memory_.data() + address, r.data, length);
    return Good();
  }

  // Page address, page count and whether the transfer carries exactly
  // those pages.
  bool PageRange(const Request& r, uint32_t* page, uint32_t* count) const {
    *page = bytes::LoadBe32(r.cdb + 2);
    *count = bytes::LoadBe16(r.cdb + 7);
    return r.cdbLength == 10 && *count > 0 &&
           uint64_t{*count} * flash_.PageSize() == r.transferLength &&
           flash_.Contains(*page, *count);
  }

  Result ReadPages(const Request& r, std::vector<uint8_t>& reply) {
    uint32_t page = 0;
    uint32_t count = 0;
    if (r.carrier != Carrier::kIn || !FlashReady() || !PageRange(r, &page, &count)) return Check();
    std::vector<uint8_t> raw(flash_.RawPageSize());
    for (uint32_t i = 0; i < count; ++i) {
      flash_.Read(page + i, raw.data());
      std::copy_n(raw.begin(), flash_.PageSize(), reply.begin() + size_t{i} * flash_.PageSize());
    }
    counters_.pagesRead += count;
    time_ += timing::kPageReadNs * count;
    return Good();
  }

  Result ReadSpare(const Request& r, std::vector<uint8_t>& reply) {
    const uint32_t page = bytes::LoadBe32(r.cdb + 2);
    if (r.cdbLength != 10 || r.carrier != Carrier::kIn || !FlashReady() || !flash_.Contains(page) ||
        r.transferLength > kSpareSize) {
      return Check();
    }
    std::vector<uint8_t> raw(flash_.RawPageSize());
    flash_.Read(page, raw.data());
    std::copy_n(raw.begin() + flash_.PageSize(), reply.size(), reply.begin());
    counters_.pagesRead += 1;
    time_ += timing::kPageReadNs;
    return Good();
  }

  Result WritePages(const Request& r) {
    uint32_t page = 0;
    uint32_t count = 0;
    if (r.carrier != Carrier::kOut || !FlashReady() || !PageRange(r, &page, &count)) {
      return Check();
    }
    time_ += timing::kPageProgramNs * count;
    if (dropWrite_) return Good();
    for (uint32_t i = 0; i < count; ++i) {
      flash_.Program(page + i, r.data + size_t{i} * flash_.PageSize(), nullptr);
    }
    counters_.pagesProgrammed += count;
    PersistPages(page, count);
    return Good();
  }

  Result Erase(const Request& r, std::vector<uint8_t>& reply) {
    const uint32_t page = bytes::LoadBe32(r.cdb + 2);
    if (r.cdbLength != 10 || r.carrier != Carrier::kIn || !FlashReady() || !flash_.Contains(page) ||
        page % flash_.PagesPerBlock() != 0) {
      return Check();
    }
    time_ += timing::kBlockEraseNs;
    if (!reply.empty()) reply[0] = 0x00;  // the controller's status byte: done
    if (dropWrite_) return Good();
    flash_.EraseBlock(page / flash_.PagesPerBlock());
    counters_.blocksErased += 1;
    PersistErase(page / flash_.PagesPerBlock());
    return Good();
  }

  DriveDescription d_;
  NandFlash flash_;
  std::string flashPath_;
  FlashJournal journal_;
  // Whether the file holds what the flash holds; a drive made from its
  // description has no file until something is saved.
  bool inFile_ = false;
  std::shared_ptr<DeviceClock> clock_;
  FaultPlan faults_;
  std::array<uint8_t, kMemorySize> memory_{};
  bool healthy_ = false;
  bool initialised_ = false;
  bool vanished_ = false;
  bool vanishFired_ = false;
  bool dropWrite_ = false;
  bool killAfter_ = false;
  std::optional<ProcessSignal> signalAfter_;
  bool pauseAfter_ = false;
  // False while another run may hold the drive's files: nothing is written
  // to the flash file then (see Unclaim).
  bool claimed_ = true;
  uint32_t notReadyLeft_ = 0;
  uint64_t commands_ = 0;
  uint64_t time_ = 0;
  DriveCounters counters_;
};

}  // namespace

std::unique_ptr<VirtualDrive> VirtualDrive::FromDescription(const DriveDescription& description,
                                                            std::string* error,
                                                            const std::string& flashPath) {
  std::string scratch;
  if (!error) error = &scratch;
  const std::string problem = ValidateDescription(description);
  if (!problem.empty()) {
    *error = problem;
    return nullptr;
  }
  auto drive = std::make_unique<Drive>(description, flashPath);
  if (!drive->Start(error)) return nullptr;
  return drive;
}

std::unique_ptr<VirtualDrive> VirtualDrive::FromFile(const std::string& path, std::string* error,
                                                     const std::string& flashPath) {
  std::string scratch;
  if (!error) error = &scratch;
  std::vector<uint8_t> bytes;
  switch (ReadRegularFile(path, kMaxDriveFileBytes, true, &bytes, error)) {
    case ReadStatus::kMissing:
      *error = path + ": no such file";
      return nullptr;
    case ReadStatus::kRefused:
      return nullptr;
    case ReadStatus::kRead:
      break;
  }
  const std::string text(bytes.begin(), bytes.end());
  DriveDescription description;
  if (!ParseDescription(text, &description, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return FromDescription(description, error, flashPath);
}

std::unique_ptr<VirtualDrive> VirtualDrive::FromFile(const std::string& path, std::string* error) {
  return FromFile(path, error, FlashPathFor(path));
}

std::unique_ptr<VirtualDrive> VirtualDrive::FromJsonText(const std::string& json,
                                                         std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  DriveDescription description;
  if (!ParseDescription(json, &description, error)) return nullptr;
  return FromDescription(description, error);
}

std::unique_ptr<VirtualDrive> VirtualDrive::Default() {
  return FromDescription(DefaultDescription(), nullptr);
}

}  // namespace kestrune::sim
