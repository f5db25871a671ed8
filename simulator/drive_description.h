// What a virtual drive is: controller, flash geometry, the replies it gives
// and the contents its flash starts with. A virtual-drive file (JSON) is
// parsed into this record; tests may also fill one in code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simulator/fault_plan.h"

namespace kestrune::sim {

// Spare bytes behind every page.
inline constexpr uint32_t kSpareSize = 16;

// What an ISP area holds when the drive is made.
enum class IspContent : uint8_t {
  kValid,    // a valid ISP payload, laid out as an update writes it
  kCorrupt,  // a valid payload with one byte changed, so its CRC fails
  kZeros,    // the whole area zero, as a destroy leaves it
  kGarbage,  // deterministic noise
  kErased,   // left erased (0xFF)
};

// One family-B CIS copy: a "CodeMark" page at the first page of `block`.
struct CodeMarkCopy {
  uint32_t block = 0;  // device block of the CIS page, inside the first zone
  // ISP and auxiliary areas, CIS numbering. When not given: the first page
  // of block+1 (ISP) and block+2 (auxiliary).
  std::optional<uint32_t> ispOffset;
  std::optional<uint32_t> auxOffset;
  std::string marker = "CodeMark";    // any other 8 characters, e.g. "codemark"
  bool badChecksum = false;           // one check group sums to 1
  std::optional<IspContent> content;  // overrides the drive-wide content
};

// One family-A header page at the first page of `block` (0 or 1).
struct HeaderPage {
  uint32_t block = 0;
  bool mark = true;            // "mark" at byte 57
  bool countsValid = true;     // 0xFE at byte 62
  uint8_t secondGroupSum = 0;  // anything but 0 makes the page rejected
  bool badCheckValue = false;  // the check value at 128 off by one
};

struct DriveDescription {
  uint16_t controllerId = 0x163;
  uint8_t revision = 2;
  std::string vendor = "KSTRUNE";          // INQUIRY bytes 8..15
  std::string product = "USB Flash Disk";  // INQUIRY bytes 16..31
  std::string productRevision = "1.00";    // INQUIRY bytes 32..35
  // The serial number the stick gives as a USB device; empty: none.
  std::string usbSerial;
  // Set on a drive made from a recording: the recording's file name and
  // SHA-256. Backups of such a drive are never a stick's own.
  std::string exportedFromFile;
  std::string exportedFromSha256;
  // Identification text from INQUIRY byte 36; derived from the controller,
  // revision and ISP verdict when not given. A given text is used verbatim,
  // whatever the verdict, unless a healthy text is given beside it: then
  // `inquiryText` is the text while the ISP is broken, this one while it is
  // healthy.
  std::optional<std::string> inquiryText;
  std::optional<std::string> healthyInquiryText;
  // Name in the code block records the controller accepts as working code
  // ("CAUS.BIN"); empty accepts any valid code block.
  std::string codeImage;
  // When false, flash commands need no loaded code (family A default).
  std::optional<bool> needsCode;

  std::array<uint8_t, 5> flashId = {0xEC, 0xD3, 0x51, 0x95, 0x58};
  uint8_t modeByte = 0;

  // The real NAND array.
  uint32_t pageSize = 2048;
  uint32_t pagesPerBlock = 64;
  uint32_t blockCount = 0;  // 0: ceCount * zoneCount * blocksPerZone

  // Configuration record fields (F2). Unset fields follow the geometry.
  uint8_t flashType = 0x00;
  std::optional<uint8_t> cfgFlags;
  std::optional<uint8_t> cisPagesPerBlockByte;  // byte 2
  uint16_t blocksPerZone = 1024;
  uint8_t zoneCount = 1;
  uint8_t ceCount = 1;
  std::optional<uint16_t> configPagesPerBlock;  // bytes 7..8
  std::optional<uint16_t> usableBlocksPerZone;  // bytes 9..10
  std::optional<uint16_t> cisPagesPerBlock;     // family B bytes 12..13
  uint8_t channelCount = 1;
  std::optional<uint16_t> configPageSize;  // family B bytes 22..23
  uint8_t optionFlags = 0;
  // Replaces the whole record when given (any length up to 34).
  std::optional<std::vector<uint8_t>> configBytes;

  // READ CAPACITY reply; unset: the usable sectors, 512-byte blocks.
  std::optional<uint32_t> lastLba;
  uint16_t blockLength = 512;

  // Controller memory patches (address, bytes), applied at power-on.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> memory;

  // READ CAPACITY polls answered "not ready" after a re-enumeration.
  uint32_t notReadyPolls = 2;

  // The verdict the controller gives on one ISP area while it holds the
  // very bytes it held when the verdict was seen (a drive made from a
  // recording holds ISP code the simulated controller cannot judge, or only
  // the pages that were read of it). Other contents are judged as usual.
  struct JudgedArea {
    uint32_t page = 0;   // device page the area starts at
    uint32_t crc32 = 0;  // of the area's 49,152 payload bytes as read back
    bool healthy = false;
  };
  std::vector<JudgedArea> judgedAreas;

  // ISP state at creation.
  bool ispHealthy = false;
  std::optional<IspContent> ispContent;  // default: valid when healthy, else garbage
  std::string ispImage = "US.BIN";       // name in the payload record

  // Family B.
  std::vector<CodeMarkCopy> codeMarks;
  std::string cisVendor = "KSTRUNE";
  std::string cisProduct = "USB DISK 2.0";
  uint8_t cisFlashType = 0x00;  // byte 83
  // Block counts [unit][zone] written in the CIS pages; unset: every zone of
  // every unit holds usableBlocksPerZone, the rest 0xFFFF.
  std::optional<std::vector<std::vector<uint16_t>>> zoneBlockCounts;
  // Controller 0x190: the 64 meaningful bytes of the information page.
  std::vector<uint8_t> extraInfo;

  // Family A.
  std::vector<HeaderPage> headerPages;

  // Faults.
  std::vector<FaultRule> faults;
  std::optional<uint64_t> vanishAtCommand;  // 1-based command number overall

  // Derived values.
  bool FamilyA() const {
    return controllerId == 0x161 || controllerId == 0x168 || controllerId == 0x169;
  }
  bool NeedsCode() const { return needsCode.value_or(!FamilyA()); }
  uint32_t BlockCount() const {
    return blockCount ? blockCount : uint32_t{ceCount} * zoneCount * blocksPerZone;
  }
  uint8_t CfgFlags() const;
  uint16_t ReportedPagesPerBlock() const { return configPagesPerBlock.value_or(pagesPerBlock); }
  uint16_t ReportedCisPagesPerBlock() const;
  uint16_t UsableBlocksPerZone() const;
  IspContent Content() const {
    return ispContent.value_or(ispHealthy ? IspContent::kValid : IspContent::kGarbage);
  }
  // The configuration record as the controller answers it (12 or 34 bytes).
  std::vector<uint8_t> ConfigRecord() const;
  // The identification text, given or derived for `healthy`.
  std::string IdentificationText(bool healthy) const;
  // Sectors per page in the sense the program computes it.
  uint32_t SectorsPerPage() const;
  uint32_t ToDevicePage(uint32_t cisPage) const;
  uint32_t ToCisPage(uint32_t page) const;
  uint16_t ZoneBlockCount(uint32_t unit, uint32_t zone) const;
};

// Checks the description for values a drive cannot have (page size, block
// counts, copies outside the flash). Empty when fine.
std::string ValidateDescription(const DriveDescription& d);

// Parses virtual-drive JSON text. False with `error` set on any problem,
// unknown keys included.
bool ParseDescription(const std::string& jsonText, DriveDescription* out, std::string* error);

// The virtual-drive JSON text of `d`, as ParseDescription reads it back:
// every field the description holds, indented by two, with a newline at
// the end.
std::string DescriptionText(const DriveDescription& d);

// The built-in default drive.
DriveDescription DefaultDescription();

}  // namespace kestrune::sim
