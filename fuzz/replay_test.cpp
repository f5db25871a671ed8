// The fuzz drive fake: answers recorded from a simulated drive, replayed
// through the reply stream, must lead the program to the same drive record.
// Seeds recorded by a broken encoding would fuzz nothing past the first
// command, and nobody would notice.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"
#include "fuzz/reply_stream.h"
#include "simulator/virtual_drive.h"

namespace kestrune::fuzz {
namespace {

struct Identified {
  DriveSlot slot;
  uint8_t extraInfo[kExtraInfoSize];
  int32_t ispOffsets[4];
  int32_t cisPageOffsets[4];
};

Identified Capture(Program& p) {
  Identified out{};
  std::memcpy(&out.slot, &p.Slot(0), sizeof out.slot);
  std::memcpy(out.extraInfo, p.extraInfo[0], sizeof out.extraInfo);
  std::memcpy(out.ispOffsets, p.ispOffsets, sizeof out.ispOffsets);
  std::memcpy(out.cisPageOffsets, p.cisPageOffsets, sizeof out.cisPageOffsets);
  return out;
}

std::unique_ptr<sim::VirtualDrive> Load(const std::string& name) {
  std::string error;
  auto drive = sim::VirtualDrive::FromFile(std::string(KESTRUNE_FUZZ_DRIVES) + "/" + name, &error,
                                           std::string());
  EXPECT_TRUE(drive) << error;
  return drive;
}

Identified IdentifyRecorded(const std::string& name, std::vector<uint8_t>& stream, bool trim) {
  auto drive = Load(name);
  sim::SimulatedVolumes simulated;
  simulated.Attach('E', *drive);
  RecordingVolumes recording(simulated, stream);
  recording.maxPrefix = trim ? 1024 : 0xFFFF;
  recording.trimOtherPages = trim;
  Identified out{};
  World::Get().Run(recording, [&](Program& p) {
    RunIdentify(p);
    out = Capture(p);
  });
  return out;
}

Identified IdentifyReplayed(const std::vector<uint8_t>& stream, size_t* left = nullptr) {
  ByteReader reader(stream);
  StreamVolumes volumes(reader, LetterBit('E'));
  Identified out{};
  World::Get().Run(volumes, [&](Program& p) {
    RunIdentify(p);
    out = Capture(p);
  });
  if (left) *left = reader.remaining();
  return out;
}

class ReplayTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ReplayTest, FullRecordingReplaysToTheSameRecord) {
  std::vector<uint8_t> stream;
  const Identified recorded = IdentifyRecorded(GetParam(), stream, false);
  size_t left = 1;
  const Identified replayed = IdentifyReplayed(stream, &left);
  EXPECT_EQ(left, 0u) << "the replay asked fewer commands than the drive answered";
  // Everything but the handle, which counts the link's opens.
  Identified a = recorded;
  Identified b = replayed;
  a.slot.volumeHandle = b.slot.volumeHandle = 0;
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
  EXPECT_NE(+recorded.slot.controllerId, 0) << "the drive was not identified at all";
}

TEST_P(ReplayTest, TrimmedSeedKeepsWhatTheCisParsersRead) {
  std::vector<uint8_t> full;
  std::vector<uint8_t> trimmed;
  const Identified recorded = IdentifyRecorded(GetParam(), full, false);
  IdentifyRecorded(GetParam(), trimmed, true);
  EXPECT_LE(trimmed.size(), full.size());
  const Identified replayed = IdentifyReplayed(trimmed);
  // Packed fields are compared by value.
  const DriveSlot& a = recorded.slot;
  const DriveSlot& b = replayed.slot;
  EXPECT_EQ(+a.controllerId, +b.controllerId);
  EXPECT_EQ(+a.pageSize, +b.pageSize);
  EXPECT_EQ(+a.ispFound, +b.ispFound);
  EXPECT_EQ(+a.cisCount, +b.cisCount);
  EXPECT_EQ(+a.sectorCount, +b.sectorCount);
  for (int i = 0; i < kCisCopies; ++i) {
    EXPECT_EQ(+a.cis[i].present, +b.cis[i].present) << "copy " << i;
    EXPECT_EQ(+a.cis[i].ispOffset, +b.cis[i].ispOffset) << "copy " << i;
  }
  EXPECT_EQ(std::memcmp(recorded.ispOffsets, replayed.ispOffsets, sizeof recorded.ispOffsets), 0);
}

INSTANTIATE_TEST_SUITE_P(ReadyMadeDrives, ReplayTest,
                         ::testing::Values("ctrl161_healthy.json", "ctrl163_broken.json",
                                           "ctrl165_small_pages_broken.json", "ctrl168_broken.json",
                                           "ctrl169_healthy.json", "ctrl190_healthy.json",
                                           "ctrl163_large_pages_broken.json"));

Identified IdentifyDirectly(const std::string& name) {
  auto drive = Load(name);
  sim::SimulatedVolumes simulated;
  simulated.Attach('E', *drive);
  Identified out{};
  World::Get().Run(simulated, [&](Program& p) {
    RunIdentify(p);
    out = Capture(p);
  });
  return out;
}

std::vector<uint8_t> SeedFile(const std::string& target, const std::string& drive) {
  const std::string stem = drive.substr(0, drive.rfind('.'));
  std::FILE* f =
      std::fopen((std::string(KESTRUNE_FUZZ_CORPUS) + "/" + target + "/" + stem).c_str(), "rb");
  std::vector<uint8_t> bytes;
  if (f == nullptr) return bytes;
  uint8_t chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) != 0;) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  std::fclose(f);
  return bytes;
}

// The committed seeds still lead as far as the drives they were recorded
// from: when the program's commands change, they need writing again
// (kestrune_make_seeds).
class SeedTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SeedTest, IdentifySeedStillIdentifiesItsDrive) {
  const std::vector<uint8_t> seed = SeedFile("identify", GetParam());
  ASSERT_FALSE(seed.empty()) << "no identify seed for " << GetParam();
  const Identified direct = IdentifyDirectly(GetParam());
  const Identified replayed = IdentifyReplayed(seed);
  EXPECT_EQ(+direct.slot.controllerId, +replayed.slot.controllerId);
  EXPECT_EQ(+direct.slot.ispFound, +replayed.slot.ispFound);
  EXPECT_EQ(+direct.slot.cisCount, +replayed.slot.cisCount);
  EXPECT_EQ(std::memcmp(direct.ispOffsets, replayed.ispOffsets, sizeof direct.ispOffsets), 0);
}

TEST_P(SeedTest, ScanSeedFindsItsDriveOnE) {
  const std::vector<uint8_t> seed = SeedFile("scan", GetParam());
  ASSERT_GT(seed.size(), 5u) << "no scan seed for " << GetParam();
  ByteReader reader(std::span<const uint8_t>(seed).subspan(5));
  StreamVolumes volumes(reader, LetterBit('E'));
  uint8_t found = 0;
  char letter = 0;
  World::Get().Run(volumes, [&](Program& p) {
    found = CheckDriveExist(p);
    letter = p.Slot(0).letter;
  });
  EXPECT_EQ(found, 1);
  EXPECT_EQ(letter, 'E');
}

INSTANTIATE_TEST_SUITE_P(CommittedSeeds, SeedTest,
                         ::testing::Values("ctrl161_healthy.json", "ctrl163_broken.json",
                                           "ctrl165_small_pages_broken.json", "ctrl168_broken.json",
                                           "ctrl190_broken.json",
                                           "ctrl163_large_pages_broken.json"));

// One command through a link over the stream.
struct OneDrive {
  explicit OneDrive(std::vector<uint8_t> bytes) : data(std::move(bytes)), reader(data) {}
  std::vector<uint8_t> data;
  ByteReader reader;
  StreamVolumes volumes{reader, LetterBit('E')};
  device::DeviceLink link{volumes};
  device::VolumeHandle handle = device::kNoVolume;
  bool Open() { return link.OpenVolume('E', handle); }
};

TEST(ReplyStreamTest, OutcomesDataPrefixAndFill) {
  OneDrive d({kOutcomeGood, 0x7E, 3, 0, 'a', 'b', 'c', kOutcomeCheck, kOutcomeRefused});
  ASSERT_TRUE(d.Open());
  std::vector<uint8_t> page(2048, 0);
  ASSERT_TRUE(device::ReadFlashPages(d.link, 0, 1, 2048, 1, page.data(), d.handle));
  EXPECT_EQ(std::string(page.begin(), page.begin() + 3), "abc");
  EXPECT_EQ(page[3], 0x7E);
  EXPECT_EQ(page[2047], 0x7E);
  uint8_t reply[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_FALSE(device::ReadCapacity(d.link, reply, sizeof reply, d.handle));
  EXPECT_FALSE(device::ReadCapacity(d.link, reply, sizeof reply, d.handle));
  EXPECT_EQ(reply[0], 1) << "a failed short read changed the buffer";
  // Out of data: the default outcome answers.
  EXPECT_FALSE(device::ReadCapacity(d.link, reply, sizeof reply, d.handle));
  d.volumes.exhausted = device::Outcome::kGood;
  d.link.CloseVolume(d.handle);
  ASSERT_TRUE(d.Open());
  EXPECT_TRUE(device::ReadCapacity(d.link, reply, sizeof reply, d.handle));
  EXPECT_EQ(reply[0], 0);
  d.link.CloseVolume(d.handle);
}

TEST(ReplyStreamTest, EchoAnswersWithWhatWasWrittenAtThatPage) {
  OneDrive d({kOutcomeGood, kOutcomeEcho, kOutcomeEcho, 0x00, 2, 0, 9, 9});
  ASSERT_TRUE(d.Open());
  std::vector<uint8_t> written(4096);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(device::WriteFlashPages(d.link, 0x40, 2, 4096, written.data(), d.handle));
  std::vector<uint8_t> back(4096, 0);
  ASSERT_TRUE(device::ReadFlashPages(d.link, 0x40, 2, 4096, 1, back.data(), d.handle));
  EXPECT_EQ(back, written);
  // A page nothing was written to takes its data from the stream.
  ASSERT_TRUE(device::ReadFlashPages(d.link, 0x80, 1, 2048, 1, back.data(), d.handle));
  EXPECT_EQ(back[0], 9);
  EXPECT_EQ(back[2], 0);
  EXPECT_EQ(d.volumes.flashChanges, 1u);
  d.link.CloseVolume(d.handle);
}

TEST(ReplyStreamTest, SlotHeaderSurvivesItsEncoding) {
  SlotHeader header;
  header.controller = 6;
  const uint8_t id[5] = {0x98, 0xD7, 0x95, 0x32, 0x7A};
  std::memcpy(header.flashId, id, sizeof id);
  header.revision = 3;
  header.capacityRead = 1;
  header.pages[0] = 0x12345678;
  header.pages[2] = 0xFFFFFFFF;
  std::vector<uint8_t> bytes;
  header.Append(bytes);
  bytes.push_back(0xAB);  // the first reply byte
  ByteReader reader(bytes);
  const SlotHeader back = SlotHeader::Read(reader);
  EXPECT_EQ(back.controller, 6);
  EXPECT_EQ(std::memcmp(back.flashId, id, sizeof id), 0);
  EXPECT_EQ(back.revision, 3);
  EXPECT_EQ(back.pages[0], 0x12345678u);
  EXPECT_EQ(back.pages[2], 0xFFFFFFFFu);
  EXPECT_EQ(reader.Byte(), 0xAB);
}

}  // namespace
}  // namespace kestrune::fuzz
