#include "tests/support/images_test_platform.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

namespace kestrune::testing {

namespace {

std::filesystem::path FreshFolder() {
  static std::atomic<int> counter{0};
  std::random_device random;
  const auto name =
      "kestrune-images-" + std::to_string(random()) + "-" + std::to_string(counter.fetch_add(1));
  auto folder = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(folder);
  return folder;
}

// Counts the writes and, when asked, stores only part of each.
class WatchedFile : public platform::File {
 public:
  WatchedFile(std::unique_ptr<platform::File> file, std::optional<size_t> limit, size_t& calls)
      : file_(std::move(file)), limit_(limit), calls_(calls) {}
  size_t Read(void* buffer, size_t size) override { return file_->Read(buffer, size); }
  size_t Write(const void* data, size_t size) override {
    ++calls_;
    return file_->Write(data, limit_ && size > *limit_ ? *limit_ : size);
  }
  bool Seek(uint64_t offset) override { return file_->Seek(offset); }
  std::optional<platform::FileOwner> OtherOwner() const override { return file_->OtherOwner(); }

 private:
  std::unique_ptr<platform::File> file_;
  std::optional<size_t> limit_;
  size_t& calls_;
};

}  // namespace

std::string ImagesProgramSpelling(const std::filesystem::path& folder) {
  std::string text = folder.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

ImagesTestPlatform::ImagesTestPlatform()
    : folder_(FreshFolder()), host_(CreateImagesHostPlatform(folder_, tempText_)) {}

ImagesTestPlatform::~ImagesTestPlatform() {
  std::error_code ignored;
  // Extracted files are archive-only; anything a test left read-only is
  // made writable so the folder can go.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(folder_, ignored);
}

uint32_t ImagesTestPlatform::GetTempPath(char* buffer, uint32_t size) {
  const std::string text = tempPath ? *tempPath : tempText_;
  if (tempPathResult) {
    std::snprintf(buffer, size, "%s", text.c_str());
    return *tempPathResult;
  }
  if (text.empty() || text.size() + 1 > size) return 0;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<uint32_t>(text.size());
}

std::unique_ptr<platform::File> ImagesTestPlatform::OpenFile(const std::string& path,
                                                             platform::OpenMode mode) {
  if (mode == platform::OpenMode::kWriteBinaryTruncate) writes.push_back(path);
  auto file = host_->OpenFile(path, mode);
  if (file && mode == platform::OpenMode::kWriteBinaryTruncate) {
    return std::make_unique<WatchedFile>(std::move(file), writeLimit, writeCalls);
  }
  return file;
}

bool ImagesTestPlatform::WriteWholeFile(const std::string& path,
                                        const std::vector<uint8_t>& bytes) {
  auto file = host_->OpenFile(path, platform::OpenMode::kWriteBinaryTruncate);
  return file && file->Write(bytes.data(), bytes.size()) == bytes.size();
}

std::optional<std::vector<uint8_t>> ImagesTestPlatform::ReadWholeFile(const std::string& path) {
  auto file = host_->OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t chunk[8192];
  for (size_t n; (n = file->Read(chunk, sizeof chunk)) != 0;) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

}  // namespace kestrune::testing
