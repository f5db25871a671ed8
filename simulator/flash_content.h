// Contents the virtual drive lays into its flash and judges there: ISP
// payloads, code blocks, family-B "CodeMark" pages, family-A header pages and
// the controller's verdict on the ISP it would boot from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/drive_description.h"
#include "simulator/nand_flash.h"

namespace kestrune::sim {

inline constexpr uint32_t kIspAreaBytes = 65536;
inline constexpr uint32_t kCodeAddress = 0xF000;

// A valid "KSTRISP" payload (49,152 bytes) named `name`, carrying valid code
// blocks 5 and 12 at their image positions.
std::vector<uint8_t> BuildIspPayload(const std::string& name);
bool IsValidIspPayload(const uint8_t* payload);

// A valid "KSTRCODE" block (4,096 bytes).
std::vector<uint8_t> BuildCodeBlock(uint8_t number, const std::string& imageName);
// True when `block` (4,096 bytes) is a code block with a correct CRC; its
// number and name (without padding) are returned.
bool ParseCodeBlock(const uint8_t* block, uint8_t* number, std::string* name);
// Image names compare without regard to case and to any folder part.
bool SameImageName(const std::string& a, const std::string& b);

// The 1,024 bytes of a family-B CIS page for `copy`.
std::vector<uint8_t> BuildCodeMarkPage(const DriveDescription& d, const CodeMarkCopy& copy);
// The four check groups of the first 512 bytes, as the program checks them.
bool CheckCodeMarkGroups(const uint8_t* page);
// The 256 bytes of a family-A header page.
std::vector<uint8_t> BuildHeaderPage(const DriveDescription& d, const HeaderPage& header);
// Whether a family-A header page would be accepted (marker and second group).
bool HeaderPageAccepted(const uint8_t* page);

// ISP area position of one family-B copy, CIS numbering.
uint32_t CopyIspOffset(const DriveDescription& d, const CodeMarkCopy& copy);
uint32_t CopyAuxOffset(const DriveDescription& d, const CodeMarkCopy& copy);

// Lays out an ISP area at `page` as an update writes it: for pages up to
// 4,096 bytes 65,536 bytes over consecutive pages, for larger pages 4,096
// bytes at the start of each of 16 pages with zeros behind them.
void WriteIspArea(NandFlash& flash, uint32_t page, const std::vector<uint8_t>& area);
// The 49,152 payload bytes of the area at `page` read back the same way.
// Empty when the area does not fit the flash.
std::vector<uint8_t> ReadIspPayload(const NandFlash& flash, uint32_t page);
// The 65,536 bytes an area starts with for `content`.
std::vector<uint8_t> MakeIspArea(IspContent content, const std::string& imageName, uint32_t seed);

// Writes the drive's initial flash: CIS pages, ISP and auxiliary areas,
// information pages.
void BuildInitialFlash(const DriveDescription& d, NandFlash& flash);

// Device pages of the ISP areas the controller finds in flash now (the
// CodeMark copies, or the area after the accepted family-A header page).
std::vector<uint32_t> FindIspAreas(const DriveDescription& d, const NandFlash& flash);
// The controller's verdict: every ISP area found holds a valid payload, and
// there is at least one.
bool JudgeIsp(const DriveDescription& d, const NandFlash& flash);

// Deterministic filler.
void FillNoise(uint8_t* out, size_t size, uint32_t seed);

}  // namespace kestrune::sim
