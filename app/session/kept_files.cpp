#include "app/session/kept_files.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <span>

#include "platform/platform.h"

namespace kestrune::session {

namespace {

// A kept file larger than this is named without its digest: backups hold
// 48 KiB and a log a few hundred, so only a file swapped under the name
// could be larger.
constexpr uint64_t kLargestDigested = uint64_t{64} << 20;

}  // namespace


std::vector<DriveFile> MeasureKeptFiles(platform::Platform& files, char drive,
                                        const std::vector<Report>& reports) {
  std::vector<DriveFile> measured;
  std::set<std::string> growing;
  for (const Report& report : reports) {
    for (const KeptFile& file : report.files) {
      if (!file.size && !growing.insert(file.hostPath).second) continue;
      measured.push_back(MeasureFile(files, drive, file));
    }
  }
  return measured;
}

DriveFile MeasureFile(platform::Platform& files, char drive, const KeptFile& file) {
  DriveFile measured{drive, file, std::nullopt};
  std::unique_ptr<platform::File> in = files.OpenFile(file.name, platform::OpenMode::kReadBinary);
  if (!in) return measured;
  constexpr size_t kChunk = 65536;
  std::vector<uint8_t> bytes;
  for (;;) {
    const size_t have = bytes.size();
    if (have > kLargestDigested) return measured;
    bytes.resize(have + kChunk);
    const size_t got = in->Read(bytes.data() + have, kChunk);
    bytes.resize(have + got);
    if (got == 0) break;
  }
  const std::span<const uint8_t> piece(bytes);
  const std::optional<platform::Sha256Digest> digest =
      platform::Sha256(std::span<const std::span<const uint8_t>>(&piece, 1));
  if (!digest) return measured;
  measured.file.size = bytes.size();
  measured.sha256 = HexText(digest->data(), digest->size());
  return measured;
}

}  // namespace kestrune::session
