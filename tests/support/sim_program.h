// POSIX hosts only (the platform maps C: and the temporary folder onto one
// host folder). A whole program over simulated drives, for tests that run the program's
// logic end to end: a RecordingView, the host platform on a fresh folder that
// stands for both C: and the temporary folder, the device link over
// SimulatedVolumes, and the ISP log.
//
//   kestrune::testing::SimProgram sim;
//   sim.PlugReady('E', "ctrl163_broken.json");
//   sim.program.isAdmin = true;
//   ... run operations on sim.program ...
//   EXPECT_TRUE(sim.drive('E').FlashIspHealthy());
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/link.h"
#include "base/program.h"
#include "log/isp_log.h"
#include "platform/platform.h"
#include "simulator/virtual_drive.h"
#include "tests/support/device_test_link.h"
#include "tests/support/recording_view.h"

namespace kestrune::testing {

class SimProgram {
 public:
  // With `logging`, c:\ISP.log is created before the log starts, so the run
  // writes it (see IspLog::StartLog).
  explicit SimProgram(bool logging = true);
  ~SimProgram();
  SimProgram(const SimProgram&) = delete;
  SimProgram& operator=(const SimProgram&) = delete;

  // A drive from a description, flash in memory only.
  sim::VirtualDrive& Plug(char letter, const sim::DriveDescription& description);
  // The built-in default drive.
  sim::VirtualDrive& PlugDefault(char letter = 'E');
  // A ready-made drive from tests/drives/, copied into the folder first so
  // that its flash file lands there (and the next Replug sees it).
  sim::VirtualDrive& PlugReady(char letter, const std::string& fileName);
  // Unplugs the drive (its flash reaches its file) and plugs in a fresh load
  // of the same file: a second run of the program on the same stick.
  sim::VirtualDrive& Replug(char letter);
  void Unplug(char letter);

  sim::VirtualDrive& drive(char letter) { return *drives_.at(letter).drive; }

  // Host path of a program path ("C:\\ISP0_Before.bin" -> <folder>/ISP0_Before.bin).
  std::filesystem::path HostPath(const std::string& programPath) const;
  bool HostFileExists(const std::string& programPath) const;
  std::vector<uint8_t> HostFile(const std::string& programPath) const;
  std::string LogText() const;

  const std::filesystem::path& folder() const { return folder_; }

 private:
  struct Plugged {
    std::unique_ptr<sim::VirtualDrive> drive;
    std::string file;  // empty for in-memory drives
  };
  static std::filesystem::path MakeFolder();
  sim::VirtualDrive& Attach(char letter, std::unique_ptr<sim::VirtualDrive> drive,
                            const std::string& file);

  std::filesystem::path folder_;
  platform::PosixOptions options_;

 public:
  std::unique_ptr<platform::Platform> platform;
  sim::SimulatedVolumes volumes;
  testing::TestLink link;
  IspLog log;
  RecordingView view;
  Program program;

 private:
  std::map<char, Plugged> drives_;
};

}  // namespace kestrune::testing
