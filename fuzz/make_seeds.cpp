// Writes the seed corpora: each fuzz body run against ready-made simulated
// drives, their answers recorded in the reply-stream encoding, so the seeds
// reach as deep into the program as a real drive does.
//
//   kestrune_make_seeds <corpus folder>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"
#include "images/images.h"
#include "recording/recorder.h"
#include "simulator/flash_content.h"
#include "simulator/flash_file.h"
#include "simulator/virtual_drive.h"

using namespace kestrune;
using namespace kestrune::fuzz;
namespace fs = std::filesystem;

namespace {

constexpr size_t kSeedPrefixBytes = 1024;

const char* const kDrives[] = {
    "ctrl161_healthy.json", "ctrl163_broken.json", "ctrl165_small_pages_broken.json",
    "ctrl168_broken.json",  "ctrl190_broken.json", "ctrl163_large_pages_broken.json",
};

std::unique_ptr<sim::VirtualDrive> LoadDrive(const std::string& name) {
  std::string error;
  auto drive = sim::VirtualDrive::FromFile(std::string(KESTRUNE_FUZZ_DRIVES) + "/" + name, &error,
                                           std::string());
  if (!drive) std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
  return drive;
}

// Runs `body` against a fresh load of the drive and returns the answers.
std::vector<uint8_t> Record(const std::string& drive, const std::function<void(Program&)>& body) {
  std::vector<uint8_t> out;
  auto virtualDrive = LoadDrive(drive);
  if (!virtualDrive) return out;
  sim::SimulatedVolumes simulated;
  simulated.Attach('E', *virtualDrive);
  RecordingVolumes recording(simulated, out);
  recording.maxPrefix = kSeedPrefixBytes;
  recording.trimOtherPages = true;
  World::Get().Run(recording, body);
  return out;
}

// The slot header of what identification makes of the drive.
SlotHeader HeaderFor(const std::string& drive) {
  SlotHeader header;
  auto virtualDrive = LoadDrive(drive);
  if (!virtualDrive) return header;
  sim::SimulatedVolumes simulated;
  simulated.Attach('E', *virtualDrive);
  World::Get().Run(simulated, [&](Program& p) {
    RunIdentify(p);
    const DriveSlot& slot = p.Slot(0);
    for (uint8_t s = 0; s < 8; ++s) {
      if (PickController(s) == slot.controllerId) header.controller = s;
    }
    std::memcpy(header.flashId, slot.flashId, sizeof header.flashId);
    header.revision = slot.revision;
    header.pages[0] = static_cast<uint32_t>(p.cisPageOffsets[0]);
    header.pages[1] = slot.cis[0].ispOffset;
    header.pages[2] = slot.cis[0].auxAreaOffset;
  });
  return header;
}

void Write(const fs::path& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  std::printf("%-40s %6zu bytes\n", (folder.filename() / name).c_str(), bytes.size());
}

// A file in memory for the recording writer.
class MemoryFile : public platform::File {
 public:
  explicit MemoryFile(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void* data, size_t size) override {
    const auto* in = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), in, in + size);
    return size;
  }
  bool Seek(uint64_t) override { return false; }

 private:
  std::vector<uint8_t>& bytes_;
};

// A recording (recording/recording.h, in its current version, with its
// checksums) of a scan of the drive, as --record writes it.
std::vector<uint8_t> RecordScan(const std::string& drive) {
  std::vector<uint8_t> bytes;
  auto virtualDrive = LoadDrive(drive);
  if (!virtualDrive) return bytes;
  sim::SimulatedVolumes simulated;
  simulated.Attach('E', *virtualDrive);
  device::RecordingVolumes recording(simulated, nullptr);
  recording.RecordAll(std::make_shared<device::RecordingWriter>(
      std::make_unique<MemoryFile>(bytes), "seed",
      device::RecordingHeader{"seed", "2026-01-01T00:00:00Z", "seed", {"scan"}}));
  World::Get().Run(recording, [](Program& p) { CheckDriveExist(p); });
  recording.Finish();
  return bytes;
}

std::vector<uint8_t> FileStart(const std::string& programPath, size_t count) {
  std::vector<uint8_t> bytes(count);
  auto file = World::Get().platform().OpenFile(programPath, platform::OpenMode::kReadBinary);
  size_t n = file ? file->Read(bytes.data(), count) : 0;
  bytes.resize(n);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[1];
  for (const char* drive : kDrives) {
    const std::string name = fs::path(drive).stem().string();
    Write(corpus / "identify", name, Record(drive, [](Program& p) { RunIdentify(p); }));

    const SlotHeader header = HeaderFor(drive);
    std::vector<uint8_t> bytes;
    header.Append(bytes);
    std::vector<uint8_t> replies = Record(drive, [&](Program& p) { RunGeometry(p, header); });
    bytes.insert(bytes.end(), replies.begin(), replies.end());
    Write(corpus / "geometry", name, bytes);

    bytes.clear();
    header.Append(bytes);
    replies = Record(drive, [&](Program& p) { RunCis(p, header); });
    bytes.insert(bytes.end(), replies.begin(), replies.end());
    Write(corpus / "cis", name, bytes);

    // The scan stops recording after identification: Start Fix then runs
    // on answers that all succeed.
    const uint32_t present = LetterBit('E');
    bytes = {static_cast<uint8_t>(present), static_cast<uint8_t>(present >> 8),
             static_cast<uint8_t>(present >> 16), static_cast<uint8_t>(present >> 24), 0};
    replies = Record(drive, [](Program& p) { CheckDriveExist(p); });
    bytes.insert(bytes.end(), replies.begin(), replies.end());
    Write(corpus / "scan", name, bytes);

    // Recording seeds beside the kept recordings the build copies in.
    Write(corpus / "recording", name + ".scan.krec", RecordScan(drive));
  }

  // Image seeds: the start of the file each operation reads, as the
  // program picks it for the drive.
  constexpr size_t kImageSeedBytes = 2048;
  struct ImageSeed {
    uint8_t drive;  // index into the image target's drive list
    uint8_t operation;
    const char* file;  // the same drive in this list
    const char* name;
  };
  const ImageSeed kImageSeeds[] = {
      {0, 0, "ctrl163_broken.json", "update_163"},
      {1, 1, "ctrl190_broken.json", "update_190"},
      {0, 2 | (5 << 2), "ctrl163_broken.json", "code_163_block5"},
      {3, 2 | (12 << 2), "ctrl165_small_pages_broken.json", "code_165_block12"},
      {2, 3, "ctrl161_broken.json", "startfix_161"},
  };
  for (const ImageSeed& seed : kImageSeeds) {
    std::string path;
    auto drive = LoadDrive(seed.file);
    if (!drive) return 1;
    sim::SimulatedVolumes simulated;
    simulated.Attach('E', *drive);
    World::Get().Run(simulated, [&](Program& p) {
      CheckDriveExist(p);
      const ControllerId id = p.Slot(0).controllerId;
      if (seed.operation % 4 == 2) {
        path = ChooseCodeImage(p, 0);
      } else {
        path = id == kCtrl190 ? ChooseUpdateImage190(p.platform, TraitsOf(p.Slot(0)))
                              : ChooseUpdateImage(p.platform, TraitsOf(p.Slot(0)), id);
      }
    });
    std::vector<uint8_t> bytes = {seed.drive, seed.operation};
    const std::vector<uint8_t> start = FileStart(path, kImageSeedBytes);
    bytes.insert(bytes.end(), start.begin(), start.end());
    Write(corpus / "image", seed.name, bytes);
  }

  // Flash-file seeds: the file each drive keeps, a snapshot of its first
  // flash and one erase and one program after it, as a run leaves it. The
  // snapshot keeps the drive's first few stored pages, so the seeds stay
  // small.
  constexpr size_t kSeedPages = 4;
  for (size_t i = 0; i < std::size(kFlashFileDrives); ++i) {
    auto drive = LoadDrive(kFlashFileDrives[i]);
    if (!drive) return 1;
    sim::NandFlash first = BlankFlashOf(static_cast<uint8_t>(i));
    sim::BuildInitialFlash(drive->Description(), first);
    std::vector<uint32_t> stored;
    for (const auto& entry : first.Pages()) stored.push_back(entry.first);
    std::sort(stored.begin(), stored.end());
    sim::NandFlash flash = BlankFlashOf(static_cast<uint8_t>(i));
    for (size_t k = 0; k < std::min(kSeedPages, stored.size()); ++k) {
      flash.Store(stored[k], first.Pages().at(stored[k]).data());
    }
    const fs::path file = fs::temp_directory_path() / "kestrune-seed.flash";
    {
      sim::FlashJournal journal(file.string());
      std::string error;
      if (!journal.Snapshot(flash, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      const uint32_t block = flash.BlockCount() - 1;
      flash.EraseBlock(block);
      journal.RecordErase(flash, block);
      const std::vector<uint8_t> page(flash.PageSize(), 0x3C);
      flash.Program(block * flash.PagesPerBlock(), page.data(), nullptr);
      journal.RecordPages(flash, block * flash.PagesPerBlock(), 1);
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(i)};
    bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), {});
    fs::remove(file);
    Write(corpus / "flash", fs::path(kFlashFileDrives[i]).stem().string(), bytes);
  }
  return 0;
}
