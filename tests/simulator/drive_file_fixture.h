// A copy of a ready-made virtual-drive file in a folder of its own, so that
// its flash file and lock land there, loaded as a run would load it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "simulator/virtual_drive.h"

namespace kestrune::sim {

class DriveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("kestrune-drive-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(std::filesystem::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json",
                               dir / "drive.json");
    path = (dir / "drive.json").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::unique_ptr<VirtualDrive> Load() {
    std::string error;
    auto drive = VirtualDrive::FromFile(path, &error);
    EXPECT_TRUE(drive) << error;
    return drive;
  }
  std::filesystem::path dir;
  std::string path;
};

}  // namespace kestrune::sim
