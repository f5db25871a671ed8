// The folder layer where the program's own callers do not reach it yet:
// the replacement of a whole file in one step.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/folder.h"
#include "platform/platform.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::platform {
namespace {

using testing::TempFolder;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A reader sees the old file or the new one, never a part; a link planted
// under the temporary name leads nowhere the bytes go; and the folder is
// the one opened, though its name now leads elsewhere.
TEST(FolderReplace, PutsTheWholeFileInPlaceThroughTheFolderItOpened) {
  TempFolder base;
  base.Write("records/victim", "not yours");
  base.Write("records/state.json", "old");
  const FolderOpening opening = Folder::Open(base.str() + "/records", FolderRule::kPrivate);
  ASSERT_TRUE(opening.folder);
  std::filesystem::create_symlink(base.path() / "records/victim",
                                  base.path() / "records/state.json.new");
  std::filesystem::rename(base.path() / "records", base.path() / "moved");
  std::filesystem::create_directory(base.path() / "records");

  int error = 0;
  EXPECT_TRUE(opening.folder->Replace("state.json", Bytes("new"), &error)) << error;

  EXPECT_EQ(base.Read("moved/state.json"), "new");
  EXPECT_EQ(base.Read("moved/victim"), "not yours");
  EXPECT_FALSE(std::filesystem::exists(
      std::filesystem::symlink_status(base.path() / "moved/state.json.new")));
  EXPECT_TRUE(std::filesystem::is_empty(base.path() / "records"));
}

// A document rewritten in one step keeps who may read it: a private one
// stays private, whatever the umask would give a new file.
TEST(FolderReplace, NeverWidensThePermissionsOfTheFileItReplaces) {
  TempFolder base;
  base.Write("records/state.json", "old");
  const FolderOpening opening = Folder::Open(base.str() + "/records", FolderRule::kPrivate);
  ASSERT_TRUE(opening.folder);
  const std::filesystem::path file = base.path() / "records/state.json";
  for (const auto mode : {std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                          std::filesystem::perms::owner_read}) {
    std::filesystem::permissions(file, mode, std::filesystem::perm_options::replace);
    int error = 0;
    EXPECT_TRUE(opening.folder->Replace("state.json", Bytes("new"), &error)) << error;
    EXPECT_EQ(std::filesystem::status(file).permissions(), mode);
  }
}

// Anyone who may read a folder may lock it and so hold up the runs that
// keep backups there: the failure names who holds it.
TEST(FolderLock, AFolderLockedElsewhereNamesItsHolder) {
  TempFolder base;
  base.Write("c/ISP.log", "");
  const int held = ::open((base.str() + "/c").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  PosixOptions options;
  options.cDriveFolder = base.str() + "/c";
  std::unique_ptr<Platform> platform = CreateHostPlatform(options);
  EXPECT_FALSE(platform->LockFolder("C:\\", 0));
  const std::string text = platform->LastErrorText();
  EXPECT_NE(text.find("the folder is locked by user"), std::string::npos) << text;
  EXPECT_NE(text.find("(uid " + std::to_string(::getuid()) + ")"), std::string::npos) << text;
  EXPECT_NE(text.find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos) << text;
  ::close(held);
  EXPECT_TRUE(platform->LockFolder("C:\\", 0)) << "the lock is free again";
}

}  // namespace
}  // namespace kestrune::platform
