// The folder layer where the program's own callers do not reach it yet:
// the replacement of a whole file in one step.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/folder.h"
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

}  // namespace
}  // namespace kestrune::platform
