// The in-memory host of the tests that need no real files: paths compared
// without regard to case, debugger output recorded.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::testing {

// A host whose files live in memory (paths compared without regard to case)
// and whose debugger output is recorded. A locked file can be found but
// neither deleted nor created again.
class MemoryPlatform : public platform::Platform {
 public:
  std::vector<std::string> debug;
  std::map<std::string, std::string> files;  // by Key(path)
  std::set<std::string> locked;              // by Key(path)
  int createCalls = 0;

  static std::string Key(const std::string& path) {
    std::string key = path;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
  }
  std::string& File(const std::string& path) { return files[Key(path)]; }
  void Lock(const std::string& path) { locked.insert(Key(path)); }

  void DebugOutput(const char* text) override { debug.emplace_back(text); }
  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override {
    return Store("C:\\WINDOWS", buffer, size);
  }
  uint32_t GetTempPath(char* buffer, uint32_t size) override { return Store("T:\\", buffer, size); }
  bool FindFile(const std::string& path) override { return files.count(Key(path)) != 0; }
  bool SetFileAttributes(const std::string&, uint32_t) override { return true; }
  std::optional<uint32_t> GetFileAttributes(const std::string& path) override {
    if (!FindFile(path)) return std::nullopt;
    return platform::kFileAttributeArchive;
  }
  bool DeleteFile(const std::string& path) override {
    return locked.count(Key(path)) == 0 && files.erase(Key(path)) != 0;
  }
  bool CreateDirectory(const std::string&) override { return true; }
  bool CanOpenForReading(const std::string& path) override { return FindFile(path); }
  std::unique_ptr<platform::File> OpenFile(const std::string& path,
                                           platform::OpenMode mode) override {
    const std::string key = Key(path);
    if (mode == platform::OpenMode::kReadBinary && files.count(key) == 0) return nullptr;
    if (mode == platform::OpenMode::kWriteBinaryTruncate) {
      if (locked.count(key) != 0) return nullptr;
      ++createCalls;
      files[key].clear();
    }
    return std::make_unique<MemoryFile>(files[key]);
  }
  void Sleep(uint32_t) override {}
  bool IsAdministrator() override { return true; }
  std::string GetModuleFileName() override { return "\\usr\\bin\\kestrune"; }
  std::optional<std::span<const uint8_t>> FindResource(const char*, uint16_t) override {
    return std::nullopt;
  }

  bool SawDebug(const std::string& line) const {
    return std::find(debug.begin(), debug.end(), line) != debug.end();
  }

 private:
  class MemoryFile : public platform::File {
   public:
    explicit MemoryFile(std::string& bytes) : bytes_(bytes) {}
    size_t Read(void* buffer, size_t size) override {
      const size_t n = std::min(size, bytes_.size() - std::min(at_, bytes_.size()));
      std::memcpy(buffer, bytes_.data() + at_, n);
      at_ += n;
      return n;
    }
    size_t Write(const void* data, size_t size) override {
      if (bytes_.size() < at_ + size) bytes_.resize(at_ + size);
      std::memcpy(bytes_.data() + at_, data, size);
      at_ += size;
      return size;
    }
    bool Seek(uint64_t offset) override {
      at_ = static_cast<size_t>(offset);
      return true;
    }

   private:
    std::string& bytes_;
    size_t at_ = 0;
  };

  static uint32_t Store(const char* text, char* buffer, uint32_t size) {
    const size_t n = std::strlen(text);
    if (n + 1 > size) return 0;
    std::memcpy(buffer, text, n + 1);
    return static_cast<uint32_t>(n);
  }
};

}  // namespace kestrune::testing
