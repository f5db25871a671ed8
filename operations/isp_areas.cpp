#include "operations/isp_areas.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <span>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"
#include "operations/messages.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace kestrune {

namespace {

bool OffsetSet(const DriveSlot& slot, int copy, uint32_t offset) {
  if (copy < 0 || copy >= kCisCopies) return false;
  return slot.cis[copy].present == 1 && offset != kUnsetOffset && offset != kInvalidPage;
}

}  // namespace

bool IspOffsetSet(const DriveSlot& slot, int copy) {
  return copy >= 0 && copy < kCisCopies && OffsetSet(slot, copy, slot.cis[copy].ispOffset);
}

bool AuxOffsetSet(const DriveSlot& slot, int copy) {
  return copy >= 0 && copy < kCisCopies && OffsetSet(slot, copy, slot.cis[copy].auxAreaOffset);
}

std::vector<CopyArea> BuildCopyList(Program& p, int slotIndex, AreaKind kind) {
  std::vector<CopyArea> list;
  const DriveSlot& slot = p.Slot(slotIndex);
  for (int copy = 0; copy < kCisCopies; ++copy) {
    if (!slot.cis[copy].present) continue;
    bool set = kind == AreaKind::kIsp ? IspOffsetSet(slot, copy) : AuxOffsetSet(slot, copy);
    uint32_t offset =
        kind == AreaKind::kIsp ? slot.cis[copy].ispOffset : slot.cis[copy].auxAreaOffset;
    uint32_t page = set ? ToDevicePage(p, slotIndex, offset) : kInvalidPage;
    list.push_back({copy, page});
  }
  return list;
}

bool AnyUsable(const std::vector<CopyArea>& list) {
  return std::any_of(list.begin(), list.end(), [](const CopyArea& area) { return area.usable(); });
}

std::string DescribeSkipped(const std::vector<CopyArea>& list) {
  std::string text;
  for (const CopyArea& area : list) {
    if (area.usable()) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(area.copy);
  }
  return text;
}

bool PageSizeFitsUpdate(uint32_t pageSize) {
  if (!IsUsablePageSize(pageSize)) return false;
  return pageSize > kLargePageThreshold || kIspAreaBytes % pageSize == 0;
}

bool PageSizeFitsChunked(uint32_t pageSize) {
  if (!IsUsablePageSize(pageSize)) return false;
  if (pageSize <= kChunkBytes) return kChunkBytes % pageSize == 0;
  // The last chunk of the ISP area carries pageSize bytes from its position.
  return kIspPayloadBytes - kChunkBytes + pageSize <= kIspAreaBytes;
}

bool EraseArea(Program& p, int slotIndex, uint32_t startPage, uint32_t pageCount) {
  const DriveSlot& slot = p.Slot(slotIndex);
  bool erased = device::EraseFlashBlock(p.link, startPage, slot.volumeHandle);
  const uint32_t perBlock = slot.pagesPerBlock;
  if (perBlock == 0 || pageCount == 0) return erased;
  const uint64_t end = uint64_t{startPage} + pageCount;
  for (uint64_t block = (uint64_t{startPage} / perBlock + 1) * perBlock; block < end;
       block += perBlock) {
    erased =
        device::EraseFlashBlock(p.link, static_cast<uint32_t>(block), slot.volumeHandle) && erased;
  }
  return erased;
}

FailureCause DifferingReadBack(const std::string& what, const uint8_t* written, const uint8_t* read,
                               size_t bytes, size_t offset) {
  size_t at = 0;
  while (at < bytes && written[at] == read[at]) ++at;
  FailureCause cause;
  cause.ownCheck = true;
  if (at == bytes) {
    cause.line = "Why: " + what + " read back differs from what was written";
    return cause;
  }
  cause.line = FormatText(
      "Why: every command answered GOOD, but %s read back differs from what "
      "was written at byte 0x%zX (written %02x, read %02x)",
      what.c_str(), offset + at, written[at], read[at]);
  return cause;
}

std::string DescribeBlocks(const std::vector<uint32_t>& blocks) {
  constexpr size_t kListed = 8;
  std::string text;
  for (size_t i = 0; i < blocks.size() && i < kListed; ++i) {
    if (!text.empty()) text += ", ";
    text += std::to_string(blocks[i]);
  }
  if (blocks.size() > kListed) text += " and " + std::to_string(blocks.size() - kListed) + " more";
  return text;
}

void WarnOfUnreadBlocks(Program& p, int slotIndex) {
  const std::vector<uint32_t>& blocks = p.cisUnreadBlocks[slotIndex];
  if (blocks.empty()) return;
  const std::string text = FormatText(kCisBlocksUnread, DescribeBlocks(blocks).c_str());
  Warn(p, text, "Warning", kMbIconExclamation);
  p.log.AppendLog(text.c_str());
}

bool ReadUpdateImage(Program& p, const std::string& path, std::vector<uint8_t>& bytes) {
  const ImageFileRead read = ReadImageFile(p.platform, p.images.get(), path, bytes);
  if (read == ImageFileRead::kRead) return true;
  std::string text = "The file <" + path + "> cannot be opened, please check.";
  NamedFiles files({path});
  if (read == ImageFileRead::kDiffers) {
    text += p.images ? "\nIt differs from the image of that name in <" + p.images->folder + ">."
                     : std::string("\nIt differs from the image built into the program.");
    if (p.images) files.paths.push_back(p.images->folder);
  }
  Fail(p, Outcome::kFailed, text, "Fail", kMbIconError | kMbTopmost, files);
  return false;
}

bool TakeUpdateImage(Program& p, const UpdateImageChoice& choice, ChosenImage& image) {
  if (!ReadUpdateImage(p, choice.path, image.bytes)) return false;
  const std::span<const uint8_t> bytes(image.bytes);
  const std::optional<platform::Sha256Digest> digest = platform::Sha256({&bytes, 1});
  if (!digest) {
    Fail(p, Outcome::kFailed, std::string(kNoDigest) + "\n" + kUpdateNotStarted, "Fail",
         kMbIconError | kMbTopmost);
    return false;
  }
  image.named = {ImageNameOf(p.platform, choice.path),
                 DescribeChoice(choice, p.Selected().controllerId),
                 platform::HexText(digest->data(), digest->size())};
  ReportImage(p, image.named);
  p.log.AppendLog(ImageLine(image.named).c_str());
  return true;
}

std::string HowToReach(Program& p) {
  const DriveSlot& slot = p.Selected();
  const UpdateImageChoice choice =
      slot.controllerId == kCtrl190
          ? ChooseUpdateImage190Row(p.platform, TraitsOf(slot))
          : ChooseUpdateImageRow(p.platform, TraitsOf(slot), slot.controllerId);
  const std::string name = ImageNameOf(p.platform, choice.path);
  if (!p.platform.CanOpenForReading(choice.path)) {
    return FormatText(kNothingReachesIt, name.c_str());
  }
  return FormatText(kFixReachesIt, p.fixHint.c_str(), name.c_str(),
                    DescribeChoice(choice, slot.controllerId).c_str());
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return text;
}

}  // namespace kestrune
