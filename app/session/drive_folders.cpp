#include "app/session/drive_folders.h"

#include <utility>

#include "app/session/host_devices.h"
#include "log/isp_log.h"

namespace kestrune::session {

namespace {

RunFolder OpenRunFolder(const std::shared_ptr<platform::Folder>& opened, const std::string& path,
                        platform::FolderRule rule, const std::string& kind) {
  RunFolder run{opened, {}, kind + " " + path};
  if (!run.folder) {
    platform::FolderOpening opening = platform::Folder::Open(path, rule);
    run.folder = std::move(opening.folder);
    run.check = opening.check;
  }
  return run;
}

// A folder of the drive's own inside one of the run's, made 0700 when it is
// missing. One that is there must be a folder of this user's that nobody
// else may write: another user could swap or read what the drive keeps
// there. It is opened once, here, before the question, and used through
// that descriptor to the end, whatever is renamed or linked meanwhile.
std::shared_ptr<platform::Folder> OpenDriveFolder(const RunFolder& parent, char letter,
                                                  std::string& problem) {
  if (!parent.folder) {
    problem = platform::DescribeFolderRefusal(parent.what, parent.check);
    return nullptr;
  }
  const std::string name(1, letter);
  const platform::FolderOpening opening =
      parent.folder->OpenSub(name, platform::FolderRule::kOwn, true);
  int error = 0;
  const std::string what = "the drive folder " + parent.folder->PathOf(name);
  if (!opening.folder) {
    problem = platform::DescribeFolderRefusal(what, opening.check);
    return nullptr;
  }
  if (!opening.folder->Writable(&error)) {
    problem = what + " cannot be written: " + platform::SystemErrorText(error);
    return nullptr;
  }
  return opening.folder;
}

}  // namespace

DriveFolders::DriveFolders(const platform::PosixOptions& run)
    : run_(run),
      cDrive_(OpenRunFolder(run.cDrive, run.cDriveFolder.empty() ? "." : run.cDriveFolder,
                            platform::FolderRule::kShared, "the C: folder")),
      work_(OpenRunFolder(run.work, run.tempFolder, platform::FolderRule::kPrivate,
                          "the work folder")) {}

std::unique_ptr<platform::Platform> DriveFolders::Prepare(char letter, platform::Platform& host,
                                                          std::function<void(const char*)> debug,
                                                          bool& madeLog,
                                                          std::string& problem) const {
  platform::PosixOptions options = run_;
  options.cDrive = OpenDriveFolder(cDrive_, letter, problem);
  if (!options.cDrive) return nullptr;
  options.work = OpenDriveFolder(work_, letter, problem);
  if (!options.work) return nullptr;
  options.cDriveFolder = options.cDrive->path();
  options.tempFolder = options.work->path();
  std::unique_ptr<platform::Platform> drive = MakeDrivePlatform(options, std::move(debug), problem);
  if (!drive) return nullptr;
  // The log is on for a drive when it is on for the run: the drive's log
  // starts only where its file exists.
  if (host.FindFile(kIspLogPath) && !drive->FindFile(kIspLogPath)) {
    if (!drive->OpenFile(kIspLogPath, platform::OpenMode::kCreateNew)) {
      problem = "cannot create " + drive->HostPath(kIspLogPath) + ": " + drive->LastErrorText();
      return nullptr;
    }
    madeLog = true;
  }
  return drive;
}

std::unique_ptr<platform::Platform> DriveFolders::Tree(char letter, std::string& problem) const {
  if (!cDrive_.folder) {
    problem = platform::DescribeFolderRefusal(cDrive_.what, cDrive_.check);
    return nullptr;
  }
  platform::PosixOptions options = run_;
  options.cDrive = cDrive_.folder;
  options.work = OpenDriveFolder(work_, letter, problem);
  if (!options.work) return nullptr;
  options.cDriveFolder = cDrive_.folder->path();
  options.tempFolder = options.work->path();
  return MakeDrivePlatform(
      options, [](const char*) {}, problem);
}

}  // namespace kestrune::session
