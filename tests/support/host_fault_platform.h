// A platform that passes everything to another and makes the files of one
// name fail on the host side: they cannot be created, a write stops short,
// or the disk is full. The name is matched as a part of the program path,
// without regard to case, so the temporary files of a backup suffer too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace kestrune::testing {

enum class HostFault : uint8_t {
  kNone,
  kCannotCreate,  // opening for writing fails with "Permission denied"
  kShortWrite,    // a write stores 16,384 bytes and then nothing, with no reason given
  kFull,          // a write stores nothing: "No space left on device"
};

const char* HostFaultName(HostFault fault);

class HostFaultPlatform : public platform::Platform {
 public:
  explicit HostFaultPlatform(platform::Platform& host) : host_(host) {}

  void Arm(HostFault fault, const std::string& target) {
    fault_ = fault;
    target_ = target;
    applied_ = 0;
  }
  // How many opens the fault spoiled.
  int applied() const { return applied_; }

  void DebugOutput(const char* text) override { host_.DebugOutput(text); }
  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override {
    return host_.GetWindowsDirectory(buffer, size);
  }
  uint32_t GetTempPath(char* buffer, uint32_t size) override {
    return host_.GetTempPath(buffer, size);
  }
  bool FindFile(const std::string& path) override { return host_.FindFile(path); }
  bool SetFileAttributes(const std::string& path, uint32_t attributes) override {
    return host_.SetFileAttributes(path, attributes);
  }
  std::optional<uint32_t> GetFileAttributes(const std::string& path) override {
    return host_.GetFileAttributes(path);
  }
  bool DeleteFile(const std::string& path) override {
    ownError_.clear();
    return host_.DeleteFile(path);
  }
  bool CreateDirectory(const std::string& path) override { return host_.CreateDirectory(path); }
  bool CanOpenForReading(const std::string& path) override { return host_.CanOpenForReading(path); }
  std::unique_ptr<platform::File> OpenFile(const std::string& path,
                                           platform::OpenMode mode) override;
  void Sleep(uint32_t milliseconds) override { host_.Sleep(milliseconds); }
  bool IsAdministrator() override { return host_.IsAdministrator(); }
  std::string GetModuleFileName() override { return host_.GetModuleFileName(); }
  std::optional<std::span<const uint8_t>> FindResource(const char* type, uint16_t id) override {
    return host_.FindResource(type, id);
  }
  bool MoveFile(const std::string& from, const std::string& to) override {
    ownError_.clear();
    return host_.MoveFile(from, to);
  }
  std::string HostPath(const std::string& path) override { return host_.HostPath(path); }
  std::string LastErrorText() override {
    return ownError_.empty() ? host_.LastErrorText() : ownError_;
  }

 private:
  bool Targets(const std::string& path) const;

  platform::Platform& host_;
  HostFault fault_ = HostFault::kNone;
  std::string target_;
  std::string ownError_;
  int applied_ = 0;
};

}  // namespace kestrune::testing
