#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "tests/support/scoped_env.h"

namespace kestrune::platform {
namespace {

class Win32PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[260];
    ASSERT_GT(platform->GetTempPath(buffer, sizeof buffer), 0u);
    temp = buffer;
    ASSERT_EQ(temp.back(), '\\');
    folder = temp + "kestrune_platform_test";
    platform->CreateDirectory(folder);
  }
  void TearDown() override {
    platform->SetFileAttributes(file(), kFileAttributeArchive);
    platform->DeleteFile(file());
    platform->DeleteFile(other());
  }
  std::string file() const { return folder + "\\US1.BIN"; }
  std::string other() const { return folder + "\\US1.1.BIN"; }
  bool Put(const std::string& path, const std::string& text) {
    auto out = platform->OpenFile(path, OpenMode::kWriteBinaryTruncate);
    return out && out->Write(text.data(), text.size()) == text.size() && out->Flush();
  }
  std::string Get(const std::string& path) {
    auto in = platform->OpenFile(path, OpenMode::kReadBinary);
    if (!in) return "<missing>";
    char buffer[64] = {};
    return std::string(buffer, in->Read(buffer, sizeof buffer));
  }

  std::unique_ptr<Platform> platform = CreateHostPlatform();
  std::string temp;
  std::string folder;
};

TEST_F(Win32PlatformTest, ReadOnlyHiddenCopyIsClearedAndReplaced) {
  {
    auto out = platform->OpenFile(file(), OpenMode::kWriteBinaryTruncate);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->Write("abc", 3), 3u);
  }
  ASSERT_TRUE(platform->SetFileAttributes(file(), kFileAttributeReadOnly | kFileAttributeHidden));
  EXPECT_EQ(platform->GetFileAttributes(file()).value_or(0) & 0x3u, 0x3u);
  EXPECT_FALSE(platform->DeleteFile(file()));
  EXPECT_TRUE(platform->FindFile(folder + "\\us1.bin"));

  ASSERT_TRUE(platform->SetFileAttributes(file(), kFileAttributeArchive));
  EXPECT_TRUE(platform->CanOpenForReading(file()));
  auto in = platform->OpenFile(file(), OpenMode::kReadBinary);
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(in->Seek(1));
  char buffer[4] = {};
  EXPECT_EQ(in->Read(buffer, 3), 2u);
  EXPECT_STREQ(buffer, "bc");
  in.reset();
  EXPECT_TRUE(platform->DeleteFile(file()));
  EXPECT_FALSE(platform->FindFile(file()));
  EXPECT_EQ(platform->GetFileAttributes(file()), std::nullopt);
}

TEST_F(Win32PlatformTest, NewFilesAndMovesNeverReplaceAnExistingName) {
  ASSERT_TRUE(Put(file(), "older"));
  EXPECT_EQ(platform->OpenFile(file(), OpenMode::kCreateNew), nullptr);
  EXPECT_FALSE(platform->LastErrorText().empty());
  {
    auto created = platform->OpenFile(other(), OpenMode::kCreateNew);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->Write("newer", 5), 5u);
    EXPECT_TRUE(created->Flush());
  }
  EXPECT_FALSE(platform->MoveFile(other(), file()));
  EXPECT_FALSE(platform->LastErrorText().empty());
  EXPECT_EQ(Get(file()), "older");
  EXPECT_EQ(Get(other()), "newer");

  ASSERT_TRUE(platform->DeleteFile(file()));
  ASSERT_TRUE(platform->MoveFile(other(), file()));
  EXPECT_EQ(Get(file()), "newer");
  EXPECT_FALSE(platform->FindFile(other()));
}

TEST_F(Win32PlatformTest, HostPathIsTheFullPath) {
  const std::string full = platform->HostPath(folder + "\\sub\\..\\US1.BIN");
  EXPECT_EQ(full, platform->HostPath(file()));
  ASSERT_GT(full.size(), 3u);
  EXPECT_EQ(full.substr(1, 2), ":\\");
  EXPECT_EQ(full.find(".."), std::string::npos);
}

TEST_F(Win32PlatformTest, FoldersAreNotFilesToRead) {
  EXPECT_TRUE(platform->FindFile(folder));
  EXPECT_FALSE(platform->CanOpenForReading(folder));
  EXPECT_FALSE(platform->CreateDirectory(folder));
}

TEST_F(Win32PlatformTest, ModuleAndWindowsFolders) {
  std::string exe = platform->GetModuleFileName();
  ASSERT_GT(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
  EXPECT_TRUE(platform->CanOpenForReading(exe));
  char buffer[260];
  EXPECT_GT(platform->GetWindowsDirectory(buffer, sizeof buffer), 0u);
  EXPECT_EQ(platform->GetTempPath(buffer, 2), 0u);
  EXPECT_EQ(platform->FindResource("NO_SUCH_TYPE", 1), std::nullopt);
}

// The temporary folder must be there before the images are written into
// it; GetTempPath names it from TMP without looking.
TEST_F(Win32PlatformTest, TheWorkFolderMustBeAFolder) {
  PosixOptions unused;
  std::string problem;
  EXPECT_TRUE(PrepareWorkFolder(unused, problem)) << problem;
  {
    kestrune::testing::ScopedEnv tmp("TMP", folder + "\\none");
    EXPECT_FALSE(PrepareWorkFolder(unused, problem));
    EXPECT_EQ(problem, "the work folder " + folder + "\\none\\ does not exist");
  }
  {
    auto out = platform->OpenFile(file(), OpenMode::kWriteBinaryTruncate);
    ASSERT_NE(out, nullptr);
  }
  kestrune::testing::ScopedEnv tmp("TMP", file());
  EXPECT_FALSE(PrepareWorkFolder(unused, problem));
  EXPECT_EQ(problem, "the work folder " + file() + "\\ is not a folder");
}

// BCrypt gives the published digest of "abc", however the text is cut.
TEST(Win32Sha256, DigestsThePiecesAsOneText) {
  const uint8_t a[] = {'a'};
  const uint8_t bc[] = {'b', 'c'};
  const std::span<const uint8_t> pieces[] = {a, {}, bc};
  const Sha256Digest abc = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                            0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                            0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(Sha256(pieces), std::optional<Sha256Digest>(abc));
}

}  // namespace
}  // namespace kestrune::platform
