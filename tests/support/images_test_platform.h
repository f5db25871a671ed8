// A host platform for the image tests, over a fresh host folder that stands
// for the temporary folder, with hooks to bend single answers (a failing
// temporary-folder query, another executable path, a missing resource, a
// disk that fills up) and a record of the paths the program touched.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::testing {

// The host platform whose temporary folder is `folder`. `tempText` receives
// the folder as GetTempPath reports it to the program (ending in a
// backslash). One implementation per host (images_host_platform_*.cpp).
std::unique_ptr<platform::Platform> CreateImagesHostPlatform(const std::filesystem::path& folder,
                                                             std::string& tempText);

// A host folder text in the program's spelling (backslashes).
std::string ImagesProgramSpelling(const std::filesystem::path& folder);

class ImagesTestPlatform : public platform::Platform {
 public:
  ImagesTestPlatform();
  ~ImagesTestPlatform() override;

  // Bends: nullopt forwards to the host.
  std::optional<std::string> tempPath;     // "" makes the query fail
  std::optional<uint32_t> tempPathResult;  // forced return value of GetTempPath
  std::optional<std::string> moduleFileName;
  std::set<uint16_t> hiddenResources;
  std::optional<size_t> writeLimit;  // each write stores at most this many bytes

  // Every path opened for writing, in order, and every folder created.
  std::vector<std::string> writes;
  std::vector<std::string> createdFolders;
  std::vector<std::string> deletes;
  // Write calls made on files opened for writing through the program.
  size_t writeCalls = 0;

  // The temporary folder as the program sees it, and its host folder.
  const std::string& tempText() const { return tempText_; }
  const std::filesystem::path& hostFolder() const { return folder_; }

  // Helpers over the platform itself, in the program's spelling.
  bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
  std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

  void DebugOutput(const char* text) override { host_->DebugOutput(text); }
  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override {
    return host_->GetWindowsDirectory(buffer, size);
  }
  uint32_t GetTempPath(char* buffer, uint32_t size) override;
  bool FindFile(const std::string& path) override { return host_->FindFile(path); }
  bool SetFileAttributes(const std::string& path, uint32_t attributes) override {
    return host_->SetFileAttributes(path, attributes);
  }
  std::optional<uint32_t> GetFileAttributes(const std::string& path) override {
    return host_->GetFileAttributes(path);
  }
  bool DeleteFile(const std::string& path) override {
    deletes.push_back(path);
    return host_->DeleteFile(path);
  }
  bool CreateDirectory(const std::string& path) override {
    createdFolders.push_back(path);
    return host_->CreateDirectory(path);
  }
  bool CanOpenForReading(const std::string& path) override {
    return host_->CanOpenForReading(path);
  }
  std::unique_ptr<platform::File> OpenFile(const std::string& path,
                                           platform::OpenMode mode) override;
  void Sleep(uint32_t) override {}
  bool IsAdministrator() override { return host_->IsAdministrator(); }
  std::string GetModuleFileName() override {
    return moduleFileName ? *moduleFileName : host_->GetModuleFileName();
  }
  std::optional<std::span<const uint8_t>> FindResource(const char* type, uint16_t id) override {
    if (hiddenResources.count(id) != 0) return std::nullopt;
    return host_->FindResource(type, id);
  }

 private:
  std::filesystem::path folder_;
  std::string tempText_;
  std::unique_ptr<platform::Platform> host_;
};

}  // namespace kestrune::testing
