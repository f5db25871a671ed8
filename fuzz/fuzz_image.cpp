// Image files read by the updates and by code loading, against simulated
// drives. Input: a drive selector, an operation byte, then the file.
#include <map>
#include <memory>
#include <string>

#include "device/commands.h"
#include "discovery/discovery.h"
#include "fuzz/fuzz_world.h"
#include "images/images.h"
#include "operations/operations.h"
#include "simulator/virtual_drive.h"

using namespace kestrune;
using namespace kestrune::fuzz;

namespace {

constexpr const char* kImagePath = "C:\\fuzz_image.bin";
const char* const kDrives[] = {
    "ctrl163_broken.json",
    "ctrl190_broken.json",
    "ctrl161_broken.json",
    "ctrl165_small_pages_broken.json",
    "ctrl163_large_pages_broken.json",
    "ctrl168_broken.json",
};
constexpr size_t kDriveCount = sizeof kDrives / sizeof kDrives[0];

std::vector<uint8_t> ReadAll(platform::Platform& platform, const std::string& path) {
  std::vector<uint8_t> bytes;
  auto file = platform.OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) return bytes;
  uint8_t chunk[4096];
  for (size_t n; (n = file->Read(chunk, sizeof chunk)) != 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  return bytes;
}

void WriteAll(platform::Platform& platform, const std::string& path, const uint8_t* data,
              size_t size) {
  auto file = platform.OpenFile(path, platform::OpenMode::kWriteBinaryTruncate);
  if (!file || (size != 0 && file->Write(data, size) != size)) {
    std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
    std::abort();
  }
}

// The drive description text of each ready-made drive, read once.
const std::string& DriveText(size_t index) {
  static std::map<size_t, std::string> texts;
  auto it = texts.find(index);
  if (it != texts.end()) return it->second;
  const std::string path = std::string(KESTRUNE_FUZZ_DRIVES) + "/" + kDrives[index];
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "fuzz: cannot read %s\n", path.c_str());
    std::abort();
  }
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) != 0;) text.append(chunk, n);
  std::fclose(f);
  return texts.emplace(index, std::move(text)).first->second;
}

// A code or update image replaced by the fuzz data for one run, put back
// afterwards. The run's image set carries the same bytes, so that the check
// of catalogue files lets them through to the operation under test.
class ReplacedImage {
 public:
  ReplacedImage(Program& p, std::string path, const uint8_t* data, size_t size)
      : platform_(p.platform), path_(std::move(path)), original_(ReadAll(platform_, path_)) {
    WriteAll(platform_, path_, data, size);
    const int entry = CatalogueEntryOf(platform_, path_);
    if (entry < 0) return;
    auto images = std::make_shared<ImageSet>();
    images->folder = "fuzz";
    for (int i = 0; i < static_cast<int>(std::size(kCatalogue)); ++i) {
      const auto payload = ImagePayload(platform_, nullptr, i);
      images->payloads.emplace_back();
      if (payload) images->payloads.back().assign(payload->begin(), payload->end());
    }
    images->payloads[entry].assign(data, data + size);
    p.images = images;
  }
  ~ReplacedImage() { WriteAll(platform_, path_, original_.data(), original_.size()); }

 private:
  platform::Platform& platform_;
  std::string path_;
  std::vector<uint8_t> original_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t driveIndex = data[0] % kDriveCount;
  const uint8_t operation = data[1];
  const uint8_t* file = data + 2;
  const size_t fileSize = size - 2;

  std::string error;
  auto drive = sim::VirtualDrive::FromJsonText(DriveText(driveIndex), &error);
  if (!drive) {
    std::fprintf(stderr, "fuzz: %s: %s\n", kDrives[driveIndex], error.c_str());
    std::abort();
  }
  sim::SimulatedVolumes volumes;
  volumes.Attach('E', *drive);
  World& world = World::Get();
  world.Run(volumes, [&](Program& p) {
    if (CheckDriveExist(p) == 0) return;
    p.isAdmin = true;
    p.selectedDrive = 0;
    switch (operation % 4) {
      case 0:
        WriteAll(p.platform, kImagePath, file, fileSize);
        UpdateIspCode(p, kImagePath, false);
        break;
      case 1:
        WriteAll(p.platform, kImagePath, file, fileSize);
        UpdateIspCode190(p, kImagePath);
        break;
      case 2: {
        ReplacedImage image(p, ChooseCodeImage(p, 0), file, fileSize);
        if (OpenVolume(p, 0)) {
          LoadCodeBlock(p, static_cast<int8_t>(operation >> 2), 0);
          device::InitFlash(p.link, 0, p.Slot(0).volumeHandle);
          CloseVolume(p, 0);
        }
        RestartDrive(p, 0);
        break;
      }
      default: {
        // The update images themselves, as Start Fix picks them.
        const std::string path =
            p.Slot(0).controllerId == kCtrl190
                ? ChooseUpdateImage190(p.platform, TraitsOf(p.Slot(0)))
                : ChooseUpdateImage(p.platform, TraitsOf(p.Slot(0)), p.Slot(0).controllerId);
        ReplacedImage image(p, path, file, fileSize);
        NullDialog dialog;
        OnStartFix(p, dialog);
        break;
      }
    }
  });
  return 0;
}
