#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/posix_platform.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/scoped_env.h"

namespace kestrune::platform {
namespace {

using testing::TempFolder;

class PosixPlatformTest : public ::testing::Test {
 protected:
  PosixPlatformTest() : platform(Options()) {}
  PosixOptions Options() {
    PosixOptions options;
    options.cDriveFolder = cDrive.str();
    options.tempFolder = temp.str();
    options.realSleep = false;
    return options;
  }
  TempFolder cDrive;
  TempFolder temp;
  PosixPlatform platform;
};

struct MappingCase {
  const char* program;
  const char* host;  // with C/ and T/ for the two folders; "" for no mapping
};

class PathMapping : public PosixPlatformTest, public ::testing::WithParamInterface<MappingCase> {};

TEST_P(PathMapping, MapsDriveLettersAndSeparators) {
  std::string expected = GetParam().host;
  if (expected.rfind("C/", 0) == 0) expected = cDrive.str() + expected.substr(1);
  if (expected.rfind("T/", 0) == 0) expected = temp.str() + expected.substr(1);
  EXPECT_EQ(MapToHostPath(platform.options(), GetParam().program), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathMapping,
    ::testing::Values(MappingCase{"c:\\ISP.log", "C/ISP.log"},
                      MappingCase{"C:\\ISP0_Before.bin", "C/ISP0_Before.bin"},
                      MappingCase{"C:\\WINDOWS\\\\163A2C\\US.BIN", "C/WINDOWS/163A2C/US.BIN"},
                      MappingCase{"T:\\\\CAUS.BIN", "T/CAUS.BIN"},
                      MappingCase{"t:\\163A2C", "T/163A2C"},
                      MappingCase{"\\usr\\bin\\kestrune", "/usr/bin/kestrune"},
                      MappingCase{"D:\\ISP.log", ""}, MappingCase{"\\\\.\\E:", "/E:"}));

TEST_F(PosixPlatformTest, ExistingComponentsMatchWithoutRegardToCase) {
  cDrive.Write("Work/US1.BIN", "x");
  EXPECT_EQ(MapToHostPath(platform.options(), "c:\\work\\us1.bin"), cDrive.str() + "/Work/US1.BIN");
  // A missing component and everything after it keep their spelling.
  EXPECT_EQ(MapToHostPath(platform.options(), "c:\\WORK\\New\\us1.bin"),
            cDrive.str() + "/Work/New/us1.bin");
  EXPECT_TRUE(platform.FindFile("C:\\WORK\\us1.BIN"));
  EXPECT_TRUE(platform.CanOpenForReading("C:\\work\\US1.bin"));
}

TEST_F(PosixPlatformTest, FolderQueriesReportWindowsSpelling) {
  char buffer[260];
  ASSERT_EQ(platform.GetTempPath(buffer, sizeof buffer), 3u);
  EXPECT_STREQ(buffer, "T:\\");
  ASSERT_EQ(platform.GetWindowsDirectory(buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  EXPECT_EQ(platform.GetTempPath(buffer, 3), 0u);  // no room for the NUL
  std::string exe = platform.GetModuleFileName();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe[0], '\\');
  EXPECT_EQ(exe.find('/'), std::string::npos);
  EXPECT_TRUE(platform.CanOpenForReading(exe));
}

TEST_F(PosixPlatformTest, FindFileSeesFilesFoldersAndPatterns) {
  EXPECT_FALSE(platform.FindFile("c:\\ISP.log"));
  cDrive.Write("ISP.log", "old");
  EXPECT_TRUE(platform.FindFile("c:\\ISP.log"));
  EXPECT_TRUE(platform.FindFile("c:\\isp.*"));
  EXPECT_FALSE(platform.FindFile("c:\\*.bin"));
  ASSERT_TRUE(platform.CreateDirectory("T:\\\\163A2C"));
  EXPECT_TRUE(platform.FindFile("T:\\163a2c"));
  EXPECT_FALSE(platform.CreateDirectory("T:\\163A2C"));  // already there
  EXPECT_FALSE(platform.FindFile("E:\\ISP.log"));
}

TEST_F(PosixPlatformTest, ReadOnlyBlocksDeleteAndWriteUntilCleared) {
  cDrive.Write("US1.BIN", "old");
  ASSERT_TRUE(
      platform.SetFileAttributes("c:\\US1.BIN", kFileAttributeReadOnly | kFileAttributeHidden));
  EXPECT_EQ(platform.GetFileAttributes("c:\\US1.BIN"),
            kFileAttributeReadOnly | kFileAttributeHidden);
  EXPECT_FALSE(platform.DeleteFile("c:\\US1.BIN"));
  EXPECT_EQ(platform.OpenFile("c:\\US1.BIN", OpenMode::kWriteBinaryTruncate), nullptr);
  EXPECT_EQ(cDrive.Read("US1.BIN"), "old");

  ASSERT_TRUE(platform.SetFileAttributes("c:\\US1.BIN", kFileAttributeArchive));
  EXPECT_EQ(platform.GetFileAttributes("c:\\US1.BIN"), kFileAttributeArchive);
  EXPECT_TRUE(platform.DeleteFile("c:\\US1.BIN"));
  EXPECT_FALSE(platform.FindFile("c:\\US1.BIN"));
  EXPECT_EQ(platform.GetFileAttributes("c:\\US1.BIN"), std::nullopt);
  EXPECT_FALSE(platform.SetFileAttributes("c:\\US1.BIN", kFileAttributeArchive));
}

TEST_F(PosixPlatformTest, FoldersAreNeitherDeletedNorOpenedAsFiles) {
  ASSERT_TRUE(platform.CreateDirectory("c:\\Dir"));
  EXPECT_FALSE(platform.DeleteFile("c:\\Dir"));
  EXPECT_FALSE(platform.CanOpenForReading("c:\\Dir"));
  EXPECT_EQ(platform.OpenFile("c:\\Dir", OpenMode::kReadBinary), nullptr);
  EXPECT_EQ(platform.OpenFile("c:\\Dir", OpenMode::kWriteBinaryTruncate), nullptr);
  EXPECT_EQ(platform.GetFileAttributes("c:\\dir").value_or(0) & kFileAttributeDirectory,
            kFileAttributeDirectory);
}

TEST_F(PosixPlatformTest, OnlyRegularFilesAreOpenedForReadingAndAFifoNeverBlocks) {
  ASSERT_EQ(::mkfifo((cDrive.path() / "US.BIN").c_str(), 0600), 0);
  EXPECT_EQ(platform.OpenFile("c:\\US.BIN", OpenMode::kReadBinary), nullptr);
}

TEST_F(PosixPlatformTest, FilesWriteThroughAndReadBack) {
  auto file = platform.OpenFile("c:\\ISP0_Before.bin", OpenMode::kWriteBinaryTruncate);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write("abcdef", 6), 6u);
  // Unbuffered: the bytes are in the file before it is closed.
  EXPECT_EQ(cDrive.Read("ISP0_Before.bin"), "abcdef");
  file.reset();

  auto in = platform.OpenFile("c:\\isp0_before.BIN", OpenMode::kReadBinary);
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(in->Seek(2));
  char buffer[8] = {};
  EXPECT_EQ(in->Read(buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "cdef");
  EXPECT_EQ(platform.OpenFile("c:\\missing.bin", OpenMode::kReadBinary), nullptr);
  EXPECT_EQ(platform.OpenFile("Q:\\x.bin", OpenMode::kWriteBinaryTruncate), nullptr);
}

// A second user may plant a link under a name the program is about to
// create; the file the link leads to must keep its bytes either way.
struct PlantedLinkCase {
  OpenMode mode;
  bool opens;
};

class PlantedLink : public PosixPlatformTest,
                    public ::testing::WithParamInterface<PlantedLinkCase> {};

TEST_P(PlantedLink, IsNeverFollowed) {
  temp.Write("victim", "root's data");
  std::filesystem::create_symlink(temp.path() / "victim", cDrive.path() / "ISP.log");
  auto file = platform.OpenFile("c:\\ISP.log", GetParam().mode);
  EXPECT_EQ(file != nullptr, GetParam().opens);
  if (file) {
    EXPECT_EQ(file->Write("new", 3), 3u);
  }
  file.reset();
  EXPECT_EQ(temp.Read("victim"), "root's data");
  if (GetParam().opens) {
    EXPECT_FALSE(std::filesystem::is_symlink(cDrive.path() / "ISP.log"));
    EXPECT_EQ(cDrive.Read("ISP.log"), "new");
  } else {
    EXPECT_EQ(platform.LastErrorText(), std::strerror(EEXIST));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, PlantedLink,
                         ::testing::Values(PlantedLinkCase{OpenMode::kWriteBinaryTruncate, true},
                                           PlantedLinkCase{OpenMode::kCreateNew, false}));

TEST_F(PosixPlatformTest, MoveNeverReplacesAnExistingName) {
  cDrive.Write("ISP0_Before.bin", "older");
  cDrive.Write("new.tmp", "newer");
  EXPECT_FALSE(platform.MoveFile("C:\\new.tmp", "C:\\ISP0_Before.bin"));
  EXPECT_EQ(platform.LastErrorText(), std::strerror(EEXIST));
  EXPECT_EQ(cDrive.Read("ISP0_Before.bin"), "older");
  EXPECT_EQ(cDrive.Read("new.tmp"), "newer");

  ASSERT_TRUE(platform.MoveFile("C:\\ISP0_Before.bin", "C:\\ISP0_Before.1.bin"));
  ASSERT_TRUE(platform.MoveFile("C:\\new.tmp", "C:\\ISP0_Before.bin"));
  EXPECT_EQ(cDrive.Read("ISP0_Before.1.bin"), "older");
  EXPECT_EQ(cDrive.Read("ISP0_Before.bin"), "newer");
  EXPECT_FALSE(platform.FindFile("C:\\new.tmp"));
  EXPECT_FALSE(platform.MoveFile("C:\\new.tmp", "C:\\other.bin"));
  EXPECT_EQ(platform.LastErrorText(), std::strerror(ENOENT));
}

TEST_F(PosixPlatformTest, HostPathIsAbsoluteWithTheFolderResolved) {
  std::filesystem::create_directory(cDrive.path() / "real");
  std::filesystem::create_directory_symlink(cDrive.path() / "real", temp.path() / "alias");
  PosixOptions options;
  options.cDriveFolder = (temp.path() / "alias" / ".").string();
  PosixPlatform host(options);
  const std::string real = std::filesystem::canonical(cDrive.path() / "real").string();
  EXPECT_EQ(host.HostPath("C:\\ISP0_Before.bin"), real + "/ISP0_Before.bin");

  options.cDriveFolder = "relative";
  PosixPlatform relative(options);
  EXPECT_EQ(relative.HostPath("c:\\ISP.log"),
            (std::filesystem::current_path() / "relative" / "ISP.log").string());
}

TEST_F(PosixPlatformTest, SleepOnlyCountsWhenNotReal) {
  platform.Sleep(1000);
  platform.Sleep(20000);
  EXPECT_EQ(platform.SleptMilliseconds(), 21000u);
}

TEST_F(PosixPlatformTest, ResourcesAreFoundByTypeWithoutRegardToCase) {
  auto resources = EmbeddedResources();
  if (resources.empty()) GTEST_SKIP() << "no resources linked into this program";
  const EmbeddedResource& first = resources.front();
  std::string lower = first.type;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto found = platform.FindResource(lower.c_str(), first.id);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->data(), first.data);
  EXPECT_EQ(found->size(), first.size);
  EXPECT_FALSE(platform.FindResource(lower.c_str(), 0).has_value());
  EXPECT_FALSE(platform.FindResource("NO_SUCH_TYPE", first.id).has_value());
}

// --- the work folder ---

std::string DefaultFolderName() { return "kestrune-" + std::to_string(::geteuid()); }

struct WorkFolderCase {
  const char* label;
  // Sets the scene in `base` (which is TMPDIR) and returns what --temp
  // names, "" for the default folder.
  std::string (*scene)(const std::filesystem::path& base);
  // After "the work folder <path>": why a named folder is refused, or why
  // the default one is passed over for a fresh one; "" when it is taken.
  const char* problem;
};
void PrintTo(const WorkFolderCase& c, std::ostream* os) { *os << c.label; }

const WorkFolderCase kWorkFolderCases[] = {
    {"default_is_made", [](const std::filesystem::path&) { return std::string(); }, ""},
    {"default_planted_as_link",
     [](const std::filesystem::path& base) {
       std::filesystem::create_directory_symlink("/", base / DefaultFolderName());
       return std::string();
     },
     " is a symbolic link; it must be a folder of your own"},
    {"named_link_with_a_slash",
     [](const std::filesystem::path& base) {
       // The slash would have the system follow the link.
       ::mkdir((base / "real").c_str(), 0700);
       std::filesystem::create_directory_symlink(base / "real", base / "work");
       return (base / "work").string() + "/";
     },
     " is a symbolic link; it must be a folder of your own"},
    {"a_file",
     [](const std::filesystem::path& base) {
       std::ofstream(base / "file") << "x";
       return (base / "file").string();
     },
     " is not a folder"},
    {"group_writable",
     [](const std::filesystem::path& base) {
       ::mkdir((base / "work").c_str(), 0700);
       ::chmod((base / "work").c_str(), 0770);
       return (base / "work").string();
     },
     " can be written by other users (mode 0770)"},
    {"of_another_user",
     [](const std::filesystem::path& base) {
       ::mkdir((base / "work").c_str(), 0700);
       const bool given = ::chown((base / "work").c_str(), 65534, 65534) == 0;
       return given ? (base / "work").string() : std::string("skip");
     },
     " belongs to another user (uid 65534)"},
};

class WorkFolderTest : public ::testing::TestWithParam<WorkFolderCase> {};

TEST_P(WorkFolderTest, OnlyAPrivateFolderOfTheUserIsTaken) {
  const WorkFolderCase& c = GetParam();
  TempFolder base;
  kestrune::testing::ScopedEnv tmpdir("TMPDIR", base.str());
  PosixOptions options;
  options.tempFolder = c.scene(base.path());
  if (options.tempFolder == "skip") GTEST_SKIP() << "only root can give a folder away";
  const bool named = !options.tempFolder.empty();
  const std::string given =
      named ? options.tempFolder : (base.path() / DefaultFolderName()).string();
  std::string problem;

  const bool ok = PrepareWorkFolder(options, problem);

  const std::string refused = *c.problem != '\0' ? "the work folder " + given + c.problem : "";
  if (named && !refused.empty()) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(problem, refused);
    return;
  }
  // A default folder that is not the user's own gives way to a fresh one.
  ASSERT_TRUE(ok) << problem;
  EXPECT_EQ(options.defaultWorkRefused, refused);
  const std::string folder = options.tempFolder;
  EXPECT_EQ(folder == given, refused.empty()) << folder;
  struct stat st;
  ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u) << "made private";
  // The program's temporary folder is the work folder itself.
  EXPECT_EQ(MapToHostPath(options, "T:\\CAUS.BIN"), folder + "/CAUS.BIN");
  options.work.reset();
  EXPECT_EQ(std::filesystem::exists(folder), refused.empty()) << "a stand-in folder stays";
}

INSTANTIATE_TEST_SUITE_P(Scenes, WorkFolderTest, ::testing::ValuesIn(kWorkFolderCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(StatusHasRawIoTest, ReadsBit17OfTheEffectiveSet) {
  EXPECT_TRUE(StatusHasRawIo("Name:\tx\nCapInh:\t0\nCapEff:\t0000000000020000\n"));
  EXPECT_TRUE(StatusHasRawIo("CapEff:\t000001ffffffffff\n"));
  EXPECT_FALSE(StatusHasRawIo("CapPrm:\t0000000000020000\nCapEff:\t00000000a80425fb\n"));
  EXPECT_FALSE(StatusHasRawIo("CapEff:\t0000000000000000\n"));
  EXPECT_FALSE(StatusHasRawIo("no capabilities here"));
  EXPECT_FALSE(StatusHasRawIo("CapEff:\tzz"));
}

}  // namespace
}  // namespace kestrune::platform
