// Files a virtual drive is given that are not what they claim: the console
// program refuses each with a message naming it and exit code 2, at once,
// and never writes through a link planted where it creates its flash file.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::sim {
namespace {

namespace fs = std::filesystem;
using testing::ChildRun;
using testing::RunChild;
using testing::TempFolder;

constexpr int kExitUsage = 2;

class BadFileFolder {
 public:
  BadFileFolder() {
    fs::create_directories(folder.path() / "c");
    fs::create_directories(folder.path() / "t");
  }
  std::string Path(const std::string& name) const { return (folder.path() / name).string(); }
  std::string CopyDrive() const {
    fs::copy_file(fs::path(KESTRUNE_TEST_DRIVES) / "ctrl163_broken.json", Path("drive.json"));
    return Path("drive.json");
  }
  ChildRun Console(const std::string& drive, const std::string& command) const {
    return RunChild({KESTRUNE_CONSOLE_PROGRAM, "--drive", "E=" + drive, "--c-drive", Path("c"),
                     "--temp", Path("t"), "--yes", command},
                    std::chrono::seconds(30));
  }

  TempFolder folder;
};

// A socket file that stays while the test runs.
class SocketFile {
 public:
  explicit SocketFile(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ok_ = fd_ >= 0 && path.size() < sizeof address.sun_path &&
          ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~SocketFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

struct BadFile {
  const char* name;
  // Makes the bad file in the folder; returns the --drive path.
  std::function<std::string(BadFileFolder&)> make;
  const char* message;
};

const BadFile kBadFiles[] = {
    {"DriveFileIsADirectory",
     [](BadFileFolder& f) {
       fs::create_directory(f.Path("d.json"));
       return f.Path("d.json");
     },
     "is a directory"},
    {"DriveFileIsAFifo",
     [](BadFileFolder& f) {
       ::mkfifo(f.Path("f.json").c_str(), 0600);
       return f.Path("f.json");
     },
     "is a FIFO"},
    {"DriveFileIsADevice",
     [](BadFileFolder& f) {
       fs::create_symlink("/dev/null", f.Path("n.json"));
       return f.Path("n.json");
     },
     "is a device"},
    {"DriveFileOver16MiB",
     [](BadFileFolder& f) {
       // A valid drive, padded with blanks to one byte over the limit.
       std::string drive = f.CopyDrive();
       const auto size = fs::file_size(drive);
       std::ofstream(drive, std::ios::app) << std::string((16u << 20) + 1 - size, ' ');
       return drive;
     },
     "over 16 MiB"},
    {"FlashFileIsADirectory",
     [](BadFileFolder& f) {
       std::string drive = f.CopyDrive();
       fs::create_directory(drive + ".flash");
       return drive;
     },
     ".flash: is a directory"},
    {"FlashFileIsAFifo",
     [](BadFileFolder& f) {
       std::string drive = f.CopyDrive();
       ::mkfifo((drive + ".flash").c_str(), 0600);
       return drive;
     },
     ".flash: is a FIFO"},
};

void PrintTo(const BadFile& file, std::ostream* out) { *out << file.name; }

class BadFiles : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadFiles, AreRefusedAtOnceWithExitCode2) {
  BadFileFolder folder;
  const std::string drive = GetParam().make(folder);
  const ChildRun run = folder.Console(drive, "scan");
  ASSERT_FALSE(run.hung) << "the program waited on " << drive;
  EXPECT_TRUE(run.exited) << run.Describe();
  EXPECT_EQ(run.code, kExitUsage) << run.Describe();
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.Describe();
  EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(Console, BadFiles, ::testing::ValuesIn(kBadFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BadFileSocket, DriveFileThatIsASocketIsRefused) {
  BadFileFolder folder;
  SocketFile socket(folder.Path("s.json"));
  ASSERT_TRUE(socket.ok());
  const ChildRun run = folder.Console(folder.Path("s.json"), "scan");
  ASSERT_FALSE(run.hung);
  EXPECT_EQ(run.code, kExitUsage) << run.Describe();
  EXPECT_NE(run.err.find("is a socket"), std::string::npos) << run.Describe();
}

// Another user may plant a link where the flash file is first written; the
// file it points to must keep its bytes.
TEST(FlashFileCreation, FollowsNoLinkPlantedAtItsTemporaryName) {
  BadFileFolder folder;
  const std::string drive = folder.CopyDrive();
  const std::string victim = folder.Path("victim");
  std::ofstream(victim) << "not yours";
  fs::create_symlink(victim, drive + ".flash.tmp");

  const ChildRun fix = folder.Console(drive, "fix");
  EXPECT_EQ(fix.code, 0) << fix.Describe();
  EXPECT_TRUE(folder.folder.Read("victim") == "not yours") << "the planted link was followed";
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(drive + ".flash")));
  EXPECT_EQ(folder.Console(drive, "scan").FirstLine(), "[Check ISP] ISP is OK!");
}

}  // namespace
}  // namespace kestrune::sim
