// Program-wide state and the services every subsystem reaches. A test
// creates one fresh, so each test starts from a clean program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/drive_slot.h"
#include "base/report.h"
#include "device/link.h"
#include "log/isp_log.h"
#include "platform/platform.h"
#include "view/view.h"

namespace kestrune {

inline constexpr uint32_t kPageBufferSize = 65536;

// How a restore's refusal says files of another drive are taken, where the
// front end has not said how it takes them.
inline constexpr const char* kPlainDonorFilesHint = "by name, as another drive's";
inline constexpr const char* kPlainDonorHint = "as another drive's";
// How the front end names the fix, where a refusal names what reaches a
// drive.
inline constexpr const char* kPlainFixHint = "Start Fix";

// The images a run writes and checks files against (images/images.h).
struct ImageSet;
// The save a run's backups belong to (operations/backup_records.h).
struct SaveMark;
class ChangeMark;

struct Program {
  Program(platform::Platform& platformIn, device::DeviceLink& linkIn, IspLog& logIn, View& viewIn)
      : platform(platformIn), link(linkIn), log(logIn), view(viewIn) {}

  platform::Platform& platform;
  device::DeviceLink& link;
  IspLog& log;
  View& view;

  // What each operation did (base/report.h). Shared, so a front end
  // can keep a program's reports beyond the program.
  std::shared_ptr<Reports> reports = std::make_shared<Reports>();

  // Set at start-up by the administrator check.
  bool isAdmin = false;
  // The images chosen at start-up; null stands for the payloads built into
  // the program.
  std::shared_ptr<const ImageSet> images;
  // From the run's settings: the folder of images the dialog takes at
  // start-up when `images` is not set already (empty: the built-in
  // payloads), and the test switch that lets stand-in images reach a drive
  // served through real pass-through.
  std::string imagesFolder;
  bool allowStandInImages = false;
  // How the front end takes a folder of images, for the box that refuses
  // stand-ins (images/images.h).
  std::string imagesHint;
  // How the front end takes files of another drive for a restore, and how
  // it takes the answer that writes a named file of another drive anyway.
  std::string donorFilesHint = kPlainDonorFilesHint;
  // The run this program's saves are made in: every drive of one --all or
  // watch shares it, so that two sticks of one identity seen by one run
  // show in their saves; empty: each save is a run of its own.
  std::string runId;
  std::string donorHint = kPlainDonorHint;
  std::string fixHint = kPlainFixHint;
  // Start Fix asks before a 0x190 update too, as before every other
  // controller's (the console front end sets it).
  bool confirmFix190 = false;
  // While set, a failure's box is kept among the warnings and leaves the
  // outcome as it is: what fails then cannot undo what the operation did
  // (see FailuresWarn in base/report.h).
  bool failuresWarn = false;
  // A code load was refused because stand-in code must not run in a real
  // drive; a scan that then finds nothing says so instead.
  bool standInCodeRefused = false;
  // Per slot: why the drive's working code could not be loaded (stand-in
  // images and a real drive, a code image that is not there or differs);
  // empty when it was, or when the drive needs none. Such a drive is
  // listed with what it told without code, and goes no further.
  std::string codeNotLoaded[kSlotCount];
  // Per slot: why the scan could not read the drive's flash configuration
  // (the command that failed, or the record that named no usable layout);
  // unset when it read one. Nothing is read from or written to the flash
  // of such a drive: its page size and blocks are unknown.
  std::optional<FailureCause> configNotRead[kSlotCount];
  // The first stick the scan reached that answered but could not be
  // listed: its INQUIRY answered with a status, or a step after a
  // controller of the family answered failed. A scan that lists no drive
  // names it rather than saying none was found.
  struct UnlistedDrive {
    char letter = 0;
    // What failed: "its identification (INQUIRY)", "loading its working code".
    std::string step;
    FailureCause why;
  };
  std::optional<UnlistedDrive> unlisted;
  // While an operation keeps a save, the save its backups join; null: each
  // backup is a save of its own.
  SaveMark* openSave = nullptr;
  // The Before save of the change under way, marked when its first erase
  // goes out (see ChangeMark).
  ChangeMark* openChange = nullptr;
  // The C: folder whose tree a restore searches for the drive's saves, when
  // `platform`'s C: is a letter folder inside it (a drive of --all); null:
  // `platform`'s own.
  platform::Platform* savesPlatform = nullptr;

  // Where a file the program names ("C:\\ISP0_Before.bin") is on this host:
  // in the drive's own folder, or else in the tree `savesPlatform` keeps,
  // where a save of another letter is.
  std::string HostPathOf(const std::string& path) {
    const std::string own = platform.HostPath(path);
    if (savesPlatform == nullptr || platform.FindFile(path)) return own;
    return savesPlatform->FindFile(path) ? savesPlatform->HostPath(path) : own;
  }
  // Filled by the CodeMark search; ispOffsets ends at its first -1.
  int32_t cisPageOffsets[4] = {0, 0, 0, 0};
  int32_t ispOffsets[4] = {-1, -1, -1, -1};
  // Per slot: the blocks whose first page the last CodeMark search could
  // not read reliably, so the drive may hold a copy there that the search
  // does not list. Empty after a complete search.
  std::vector<uint32_t> cisUnreadBlocks[kSlotCount];
  // Per slot: the bytes of the CIS page identification accepted (the first
  // 1,024, which the parsers read); empty when none was. Backups keep its
  // digest, which tells sticks of one serial apart.
  std::vector<uint8_t> acceptedCisPage[kSlotCount];
  // One flash page and, right behind it, its 16 spare bytes during the CIS
  // check of Start Fix. Null outside it.
  device::HeapBlock pageBuffer;

  // The drive table (it belongs to the main dialog; kept here so that every
  // operation reaches it).
  DriveSlot slots[kSlotCount] = {};
  uint8_t extraInfo[kSlotCount][kExtraInfoSize] = {};
  // Dialog state the operations read.
  uint8_t selectedDrive = 0;
  uint8_t ispHealthy = 0;

  DriveSlot& Slot(int index) { return slots[index]; }
  DriveSlot& Selected() { return slots[selectedDrive]; }
};

}  // namespace kestrune
