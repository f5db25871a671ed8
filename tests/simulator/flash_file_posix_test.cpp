// What a flash file keeps of the permissions it was given, which only POSIX
// systems have.
#include <gtest/gtest.h>

#include <filesystem>

#include "simulator/flash_file.h"
#include "simulator/virtual_drive.h"
#include "tests/simulator/drive_file_fixture.h"
#include "tests/simulator/sim_commands.h"

namespace kestrune::sim {
namespace {

using namespace cmd;
namespace fs = std::filesystem;

using FlashFile = DriveFileTest;

// A flash may hold pieces of a customer's files. Each run that changes the
// drive writes its file anew, and the new file is never readable by more
// users than the one it replaces (export-drive makes it 0600).
TEST_F(FlashFile, ARewrittenFileKeepsItsPermissions) {
  using fs::perms;
  for (const perms mode : {perms::owner_read | perms::owner_write,
                           perms::owner_read | perms::owner_write | perms::group_read}) {
    for (int run = 0; run < 2; ++run) {
      auto drive = Load();
      ASSERT_TRUE(drive);
      ASSERT_TRUE(StartWorkingCode(*drive));
      ASSERT_TRUE(Erase(*drive, drive->IspAreaPages().at(0)).ok());
      MakeTransport(*drive).reset();
      drive.reset();
      if (run == 0) fs::permissions(FlashPathFor(path), mode, fs::perm_options::replace);
    }
    EXPECT_EQ(fs::status(FlashPathFor(path)).permissions(), mode)
        << std::oct << static_cast<unsigned>(mode);
  }
}

}  // namespace
}  // namespace kestrune::sim
