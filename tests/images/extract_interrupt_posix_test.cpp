// An interrupt while the images are copied out ends the run, and no part of
// an image stays under its name: a later run that found a short image with
// the right name would otherwise only be stopped by the content check.
#include <gtest/gtest.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "device/link.h"
#include "base/program.h"
#include "images/images.h"
#include "log/isp_log.h"
#include "platform/posix_platform.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/recording_view.h"
#include "tests/support/scripted_transport.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr int kExitCode = 42;
constexpr unsigned kGuardSeconds = 30;

// Stores half of what it is given, then the user presses Ctrl-C; the
// platform's thread ends the process.
class InterruptedFile : public platform::File {
 public:
  explicit InterruptedFile(std::unique_ptr<platform::File> inner) : inner_(std::move(inner)) {}
  size_t Read(void* buffer, size_t size) override { return inner_->Read(buffer, size); }
  size_t Write(const void* data, size_t size) override {
    inner_->Write(data, size / 2);
    ::kill(::getpid(), SIGINT);
    for (;;) ::pause();
  }
  bool Seek(uint64_t offset) override { return inner_->Seek(offset); }

 private:
  std::unique_ptr<platform::File> inner_;
};

class InterruptingPlatform : public platform::PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;
  std::unique_ptr<platform::File> OpenFile(const std::string& path,
                                           platform::OpenMode mode) override {
    auto file = PosixPlatform::OpenFile(path, mode);
    const bool target =
        path.size() >= 7 && ::strcasecmp(path.c_str() + path.size() - 7, "US1.BIN") == 0;
    if (!file || mode == platform::OpenMode::kReadBinary || !target) return file;
    return std::make_unique<InterruptedFile>(std::move(file));
  }
};

TEST(ExtractInterrupt, LeavesNoPartOfAnImageUnderItsName) {
  testing::TempFolder work;
  platform::PosixOptions options;
  options.cDriveFolder = work.str();
  options.tempFolder = work.str();
  EXPECT_EXIT(
      {
        ::alarm(kGuardSeconds);
        platform::CatchInterrupts("", kExitCode);
        InterruptingPlatform host(options);
        testing::ScriptedVolumes volumes;
        device::DeviceLink link(volumes);
        IspLog log(host);
        testing::RecordingView view;
        Program p(host, link, log, view);
        ExtractImages(p.platform, p.images.get());
      },
      ::testing::ExitedWithCode(kExitCode), "");
  // The images before it were whole and stay; the one cut off is gone.
  EXPECT_EQ(fs::file_size(work.path() / "US.BIN"), 65536u);
  EXPECT_FALSE(fs::exists(work.path() / "US1.BIN"));
}

}  // namespace
}  // namespace kestrune
