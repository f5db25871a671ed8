#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "tests/support/host_fault_platform.h"

namespace kestrune::testing {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A file that stores at most `room` bytes in all and then nothing more.
class LimitedFile : public platform::File {
 public:
  LimitedFile(std::unique_ptr<platform::File> inner, size_t room, std::string reason)
      : inner_(std::move(inner)), room_(room), reason_(std::move(reason)) {}
  size_t Read(void* buffer, size_t size) override { return inner_->Read(buffer, size); }
  size_t Write(const void* data, size_t size) override {
    const size_t stored = inner_->Write(data, std::min(size, room_));
    room_ -= stored;
    if (stored < size) failed_ = true;
    return stored;
  }
  bool Seek(uint64_t offset) override { return inner_->Seek(offset); }
  bool Flush() override { return !failed_ && inner_->Flush(); }
  std::string ErrorText() const override { return failed_ ? reason_ : inner_->ErrorText(); }
  std::optional<platform::FileOwner> OtherOwner() const override { return inner_->OtherOwner(); }

 private:
  std::unique_ptr<platform::File> inner_;
  size_t room_;
  std::string reason_;
  bool failed_ = false;
};

}  // namespace

const char* HostFaultName(HostFault fault) {
  switch (fault) {
    case HostFault::kNone:
      return "none";
    case HostFault::kCannotCreate:
      return "cannot create";
    case HostFault::kShortWrite:
      return "short write";
    case HostFault::kFull:
      return "full";
  }
  return "?";
}

std::unique_ptr<platform::File> HostFaultPlatform::OpenFile(const std::string& path,
                                                            platform::OpenMode mode) {
  refused_ = false;
  if (mode == platform::OpenMode::kReadBinary || fault_ == HostFault::kNone ||
      Lower(path).find(Lower(target_)) == std::string::npos) {
    return PosixPlatform::OpenFile(path, mode);
  }
  ++applied_;
  if (fault_ == HostFault::kCannotCreate) {
    refused_ = true;
    return nullptr;
  }
  std::unique_ptr<platform::File> file = PosixPlatform::OpenFile(path, mode);
  if (!file) return nullptr;
  if (fault_ == HostFault::kShortWrite) {
    return std::make_unique<LimitedFile>(std::move(file), 16384, "");
  }
  return std::make_unique<LimitedFile>(std::move(file), 0, std::strerror(ENOSPC));
}

}  // namespace kestrune::testing
