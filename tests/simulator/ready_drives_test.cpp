// Every ready-made virtual drive loads and is one the program can serve:
// its text selects the controller its name promises, its verdict matches,
// its CIS pages pass the checks the program applies, and its ISP areas sit
// where an update can erase and write them.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "simulator/virtual_drive.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;
namespace fs = std::filesystem;

std::vector<std::string> DriveFiles() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(KESTRUNE_TEST_DRIVES)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The controller a file name promises: "ctrl162_via165..." is a 0x162.
uint16_t PromisedController(const std::string& name) {
  return static_cast<uint16_t>(std::stoul(name.substr(4, 3), nullptr, 16));
}

uint16_t IdFromText(const std::string& t, uint8_t memoryByte) {
  auto has = [&](const char* s) { return t.find(s) != std::string::npos; };
  if (has("Qzv")) return 0x168;
  if (has("UT0")) return 0x161;
  if (has("UT2")) return 0x169;
  if (has("Utff")) {
    if (has("U163") || has("0163")) return 0x163;
    if (has("U165") || has("0165")) return memoryByte == 'b' ? 0x162 : 0x165;
    if (has("U190") || has("0190")) return 0x190;
    if (has("U162") || has("0162")) return 0x162;
  }
  if (has("UT")) return 0x161;
  return 0;
}

// Word sums of the four 128-byte groups, as the program verifies a CIS page.
bool GroupsSumToZero(const uint8_t* p) {
  for (int g = 0; g < 4; ++g) {
    uint16_t sum = 0;
    for (int w = 0; w < 64; ++w)
      sum = static_cast<uint16_t>(sum + bytes::LoadBe16(p + g * 128 + 2 * w));
    if (sum != 0) return false;
  }
  return true;
}

const std::set<std::string> kProvidedCodeImages = {"162.BIN", "CUS6.BIN",  "CUS1.BIN", "CUS5.BIN",
                                                   "CUS.BIN", "165A0.BIN", "CAUS.BIN"};

class ReadyDrive : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string error;
    drive =
        VirtualDrive::FromFile(std::string(KESTRUNE_TEST_DRIVES) + "/" + GetParam(), &error, "");
    ASSERT_TRUE(drive) << error;
  }
  std::unique_ptr<VirtualDrive> drive;
};

TEST_P(ReadyDrive, IdentifiesAsPromised) {
  const Reply inquiry = Inquiry(*drive);
  ASSERT_TRUE(inquiry.ok());
  const std::string text = TextOf(inquiry);
  const Reply memory = ReadMemory(*drive, 0x1064, 512);
  ASSERT_TRUE(memory.ok());
  EXPECT_EQ(IdFromText(text, memory.data[0]), PromisedController(GetParam())) << text;
  const bool healthy = GetParam().find("_healthy") != std::string::npos;
  EXPECT_EQ(text.substr(12, 4) != "0000", healthy) << text;
  EXPECT_EQ(drive->IspHealthy(), healthy);
  EXPECT_TRUE(Capacity(*drive).ok());
  EXPECT_TRUE(FlashId(*drive).ok());
}

TEST_P(ReadyDrive, CisPagesAndIspAreasFitTheProgram) {
  const DriveDescription& d = drive->Description();
  if (d.NeedsCode()) {
    ASSERT_EQ(kProvidedCodeImages.count(d.codeImage), 1u) << d.codeImage;
    ASSERT_TRUE(StartWorkingCode(*drive, d.codeImage));
  }
  const Reply cfg = Config(*drive, d.FamilyA() ? 12 : 34);
  ASSERT_TRUE(cfg.ok());
  const uint32_t ppb = bytes::LoadBe16(&cfg.data[7]);
  const uint32_t blocksPerZone = bytes::LoadBe16(&cfg.data[3]);
  uint32_t cisPpb = cfg.data[2];
  uint32_t pageSize = drive->PageSize();
  if (!d.FamilyA()) {
    if (bytes::LoadBe16(&cfg.data[12]) != 0) cisPpb = bytes::LoadBe16(&cfg.data[12]);
    pageSize = bytes::LoadBe16(&cfg.data[22]);
  }
  ASSERT_EQ(pageSize, drive->PageSize());
  ASSERT_GT(ppb, 0u);
  ASSERT_GT(cisPpb, 0u);
  auto toDevice = [&](uint32_t cis) { return cis / cisPpb * ppb + cis % cisPpb; };
  // The ISP area takes 16 pages of large flash, else 64 KiB of pages.
  const uint32_t areaPages = pageSize > 4096 ? 16 : 65536 / pageSize;

  std::vector<uint32_t> ispOffsets;
  if (d.FamilyA()) {
    uint32_t accepted = UINT32_MAX;
    for (uint32_t page : {0u, ppb}) {
      const Reply r = ReadPages(*drive, page, 1, pageSize);
      ASSERT_TRUE(r.ok());
      uint8_t second = 0;
      for (int i = 64; i < 128; ++i) second = static_cast<uint8_t>(second + r.data[i]);
      if (second == 0 && r.data[0] == 0x1E && r.data[1] == 0x03) {
        accepted = page;
        break;
      }
    }
    ASSERT_NE(accepted, UINT32_MAX) << "no header page accepted";
    ispOffsets.push_back((accepted / ppb * cisPpb / cisPpb + 1) * cisPpb);
  } else {
    for (uint32_t block = 0; block < blocksPerZone && ispOffsets.size() < 3; ++block) {
      const Reply r = ReadPages(*drive, block * ppb, 1, pageSize);
      ASSERT_TRUE(r.ok());
      if (std::memcmp(r.data.data(), "CodeMark", 8) != 0) continue;
      ASSERT_TRUE(GroupsSumToZero(r.data.data())) << "block " << block;
      EXPECT_LE(block * cisPpb, 0x8000u);
      ispOffsets.push_back(bytes::LoadBe16(&r.data[176]));
      if (d.controllerId == 0x190) {
        const uint32_t aux = bytes::LoadBe16(&r.data[462]);
        EXPECT_NE(aux / cisPpb, ispOffsets.back() / cisPpb) << "auxiliary area shares a block";
        EXPECT_LE(aux % cisPpb + 4, ppb);
      }
    }
    EXPECT_GE(ispOffsets.size(), 2u);
  }
  for (uint32_t offset : ispOffsets) {
    EXPECT_GE(offset, cisPpb) << "a missing page conversion would not show";
    const uint32_t page = toDevice(offset);
    EXPECT_EQ(page % ppb, 0u) << "an erase at the area start must clear it";
    EXPECT_LE(page % ppb + areaPages, ppb) << "ISP area leaves its erase block";
    EXPECT_TRUE(ReadPages(*drive, page, 1, pageSize).ok());
  }
  EXPECT_EQ(drive->IspAreaPages().size(), ispOffsets.size());
}

INSTANTIATE_TEST_SUITE_P(Files, ReadyDrive, ::testing::ValuesIn(DriveFiles()),
                         [](const auto& info) {
                           std::string n = info.param.substr(0, info.param.size() - 5);
                           for (char& c : n) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

TEST(ReadyDrives, EveryControllerHasAHealthyAndABrokenDrive) {
  const auto files = DriveFiles();
  const std::set<std::string> present(files.begin(), files.end());
  for (const char* id : {"161", "162", "163", "165", "168", "169", "190", "162_via165"}) {
    EXPECT_TRUE(present.count(std::string("ctrl") + id + "_healthy.json")) << id;
    EXPECT_TRUE(present.count(std::string("ctrl") + id + "_broken.json")) << id;
  }
}

TEST(ReadyDrives, OddGeometriesAreWhatTheirNamesSay) {
  std::string error;
  const std::string dir = KESTRUNE_TEST_DRIVES;
  auto small = VirtualDrive::FromFile(dir + "/ctrl165_small_pages_broken.json", &error, "");
  ASSERT_TRUE(small) << error;
  EXPECT_EQ(small->PageSize(), 512u);
  EXPECT_EQ(small->Description().SectorsPerPage(), 1u);
  auto large = VirtualDrive::FromFile(dir + "/ctrl163_large_pages_broken.json", &error, "");
  ASSERT_TRUE(large) << error;
  EXPECT_EQ(large->PageSize(), 8192u);
  auto toshiba = VirtualDrive::FromFile(dir + "/ctrl163_toshiba_broken.json", &error, "");
  ASSERT_TRUE(toshiba) << error;
  const Reply id = FlashId(*toshiba);
  EXPECT_EQ(id.data[0], 0x98);
  EXPECT_TRUE(id.data[4] & 0x02);
  EXPECT_GE(toshiba->Description().zoneCount, 8);
}

}  // namespace
}  // namespace kestrune::sim
