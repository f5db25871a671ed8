// Loading a 4 KiB code block into controller memory, restarting a drive on
// its restart code, and reading a page's spare bytes under loaded code; the
// code image a drive takes, and whether this run's images may reach it.
#include <cstring>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "images/images.h"

namespace kestrune {

namespace {

constexpr uint32_t kCodeBlockBytes = 4096;
constexpr uint32_t kCodePieceBytes = 512;
constexpr uint32_t kCodeAddress = 0xF000;
constexpr uint32_t kCodeFillByte = 0xFF;
constexpr int kRestartPolls = 10;
constexpr uint32_t kSpareBytes = 16;

}  // namespace

DriveTraits TraitsOf(const DriveSlot& slot) {
  DriveTraits traits;
  static_assert(sizeof traits.flashId == sizeof slot.flashId);
  static_assert(sizeof traits.inquiryText == sizeof slot.inquiryText);
  traits.controllerId = slot.controllerId;
  std::memcpy(traits.flashId, slot.flashId, sizeof traits.flashId);
  traits.revision = slot.revision;
  std::memcpy(traits.inquiryText, slot.inquiryText, sizeof traits.inquiryText);
  return traits;
}

std::string ChooseCodeImage(Program& p, int slotIndex) {
  DriveSlot& slot = p.Slot(slotIndex);
  const CodeImageChoice choice = CodeImageFor(p.platform, TraitsOf(slot));
  if (choice.marksA0) {
    // The update chooser reads inquiryText[9] later; this stamp stays in
    // the slot until it is reset, whether or not the load succeeds.
    slot.inquiryText[8] = 'A';
    slot.inquiryText[9] = '0';
  }
  return choice.path;
}

bool StandInsBarredFrom(Program& p, int slotIndex) {
  // A slot that is not there might be anything, so it counts as real.
  const bool real = slotIndex < 0 || slotIndex >= kSlotCount ||
                    p.link.opener().ServesRealDevice(p.Slot(slotIndex).letter);
  if (!real || !ImagesAreStandIns(p.images.get())) return false;
  return !p.allowStandInImages;
}

bool LoadCodeBlock(Program& p, int8_t block, int slotIndex) {
  const std::string path = ChooseCodeImage(p, slotIndex);
  // A negative block would lie before the file's start; sending block 0 in
  // its place would put the wrong code into the controller.
  if (block < 0) return false;

  // Stand-in code must not run in a real controller.
  if (StandInsBarredFrom(p, slotIndex)) {
    p.standInCodeRefused = true;
    p.codeNotLoaded[slotIndex] =
        "the images of this run are generated stand-ins, and no stand-in code is loaded into a "
        "real drive";
    p.log.Debug("Code not loaded: this build carries only stand-in images \r\n");
    return false;
  }

  device::HeapBlock buffer = p.link.AllocBuffer(kCodeBlockBytes, 4);
  if (!buffer) return false;
  std::memset(buffer.get(), 0xFF, kCodeBlockBytes);

  std::vector<uint8_t> image;
  const ImageFileRead read = ReadImageFile(p.platform, p.images.get(), path, image);
  if (read == ImageFileRead::kCannotOpen) {
    p.codeNotLoaded[slotIndex] = "its code image <" + path + "> cannot be opened";
    return false;
  }
  if (read == ImageFileRead::kDiffers) {
    p.codeNotLoaded[slotIndex] = "its code image <" + path + "> differs from the image of this run";
    p.log.Debug(("Code not loaded: " + path + " differs from its image \r\n").c_str());
    return false;
  }
  // A file that ends early is no error: the rest of the block stays 0xFF.
  CopyImageBytes(image, static_cast<size_t>(block) * kCodeBlockBytes, buffer.get(),
                 kCodeBlockBytes);

  const device::VolumeHandle handle = p.Slot(slotIndex).volumeHandle;
  // The controller gives no usable answer to these; a load that did not
  // take shows up in the commands that follow it.
  device::PrepareCodeLoad(p.link, handle);
  for (size_t k = 0; k < kCodeBlockBytes / kCodePieceBytes; ++k) {
    device::WriteControllerMemory(p.link, static_cast<uint32_t>(kCodeAddress + k * kCodePieceBytes),
                                  kCodePieceBytes, kCodeFillByte,
                                  buffer.get() + k * kCodePieceBytes, handle);
  }
  return true;
}

std::string CodeNotLoadedText(Program& p, int slotIndex) {
  std::string text = std::string("Drive ") + p.Slot(slotIndex).letter +
                     ": runs on code loaded from an ISP image, and none was loaded: " +
                     p.codeNotLoaded[slotIndex] +
                     ". It is listed with what it told without that code; its flash is neither "
                     "read nor written.";
  if (StandInsBarredFrom(p, slotIndex)) {
    text += " Name a folder that holds the 31 real ISP images";
    if (!p.imagesHint.empty()) text += " " + p.imagesHint;
    text += ".";
  }
  return text;
}

bool RestartDrive(Program& p, int slotIndex) {
  // Opening over a handle still stored would leave that volume open for
  // the rest of the run.
  if (p.Slot(slotIndex).volumeHandle != device::kNoVolume) CloseVolume(p, slotIndex);
  if (!OpenVolume(p, slotIndex)) return false;
  if (!LoadCodeBlock(p, 12, slotIndex) ||
      !device::ResetController(p.link, p.Slot(slotIndex).volumeHandle)) {
    CloseVolume(p, slotIndex);
    return false;
  }

  // QueryCapacity puts 512 into sectorSize when the query fails, so only a
  // successful query with a whole number of 512-byte units shows that the
  // drive answers as a disk again.
  bool ready = false;
  for (int poll = 0; poll < kRestartPolls && !ready; ++poll) {
    const bool answered = QueryCapacity(p, slotIndex);
    const uint32_t sectorSize = p.Slot(slotIndex).sectorSize;
    ready = answered && sectorSize != 0 && sectorSize % 512 == 0;
  }
  CloseVolume(p, slotIndex);
  return ready;
}

bool ReadSpareUnderCode(Program& p, uint32_t page, int slotIndex) {
  DriveSlot& slot = p.Slot(slotIndex);
  // The spare bytes go right behind the page data; a page size the buffer
  // cannot hold with them (or no buffer at all) is refused before any
  // command is sent.
  if (!p.pageBuffer || slot.pageSize > kPageBufferSize - kSpareBytes) {
    CloseVolume(p, slotIndex);
    return false;
  }

  if (slot.needsCodeInit && !LoadCodeBlock(p, 12, slotIndex)) {
    CloseVolume(p, slotIndex);
    return false;
  }
  const bool read = device::ReadPageSpare(p.link, page, kSpareBytes,
                                          p.pageBuffer.get() + slot.pageSize, slot.volumeHandle);
  // The working code goes back in whatever the spare read did.
  if (slot.needsCodeInit && !LoadCodeBlock(p, 5, slotIndex)) {
    CloseVolume(p, slotIndex);
    return false;
  }
  if (!read) {
    CloseVolume(p, slotIndex);
    return false;
  }
  return true;
}

}  // namespace kestrune
