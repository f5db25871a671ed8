// POSIX only: the POSIX platform, with the files of one name failing on the
// host side: they cannot be created, a write stops short, or the disk is
// full. The name is matched as a part of the program path, without regard to
// case, so the temporary files of a backup suffer too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/posix_platform.h"

namespace kestrune::testing {

enum class HostFault : uint8_t {
  kNone,
  kCannotCreate,  // opening for writing fails with "Permission denied"
  kShortWrite,    // writes store 16,384 bytes in all, with no reason given
  kFull,          // writes store nothing: "No space left on device"
};

const char* HostFaultName(HostFault fault);

class HostFaultPlatform : public platform::PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;

  void Arm(HostFault fault, const std::string& target) {
    fault_ = fault;
    target_ = target;
    applied_ = 0;
  }
  // How many opens the fault spoiled.
  int applied() const { return applied_; }

  std::unique_ptr<platform::File> OpenFile(const std::string& path,
                                           platform::OpenMode mode) override;
  std::string LastErrorText() override {
    return refused_ ? std::string(kRefusal) : PosixPlatform::LastErrorText();
  }
  bool DeleteFile(const std::string& path) override {
    refused_ = false;
    return PosixPlatform::DeleteFile(path);
  }
  bool MoveFile(const std::string& from, const std::string& to) override {
    refused_ = false;
    return PosixPlatform::MoveFile(from, to);
  }

 private:
  static constexpr const char* kRefusal = "Permission denied";

  HostFault fault_ = HostFault::kNone;
  std::string target_;
  bool refused_ = false;
  int applied_ = 0;
};

}  // namespace kestrune::testing
