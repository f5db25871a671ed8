#include "app/session/recording_wiring.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

#include "app/session/drive_source.h"
#include "app/session/host_devices.h"
#include "operations/backup_records.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "program_version.h"
#include "simulator/drive_export.h"
#include "simulator/flash_file.h"
#include "simulator/virtual_drive.h"

namespace kestrune::session {

namespace {

namespace fs = std::filesystem;

std::string LetterList(const std::vector<char>& letters) {
  std::string text;
  for (char letter : letters) {
    if (!text.empty()) text += ", ";
    text += letter;
    text += ':';
  }
  return text;
}

// The file most easily given in a recording's place: a virtual drive's
// flash file, which sits beside the drive's description.
const device::LookAlikes& RecordingLookAlikes() {
  static const device::LookAlikes lookAlikes = {
      {std::string(sim::kFlashFileMagic),
       "is the flash file of a virtual drive, not a recording; give the drive's .json file"}};
  return lookAlikes;
}

// The SHA-256 of the recording at `path`, read through its folder as the
// replay read it (a regular file only, never waited on); empty with
// `problem` set when it cannot be read.
std::string RecordingDigest(const std::string& path, std::string& problem) {
  const platform::FolderOfFile place =
      platform::OpenFolderOf(path, platform::FolderRule::kFollowed);
  if (!place.opening.folder) {
    problem = place.Refusal(path);
    return {};
  }
  platform::OpenedFile opened = place.opening.folder->OpenForReading(place.name, true);
  const std::optional<platform::Sha256Digest> digest =
      opened.file ? platform::Sha256OfFile(*opened.file) : std::nullopt;
  if (!digest) {
    problem =
        path + ": its SHA-256 cannot be taken" + (opened.why.empty() ? "" : ": " + opened.why);
    return {};
  }
  return HexText(digest->data(), digest->size());
}

// The drive says which recording it was made of, so that its backups are
// never taken for the stick's own. False with `problem` set.
bool MarkExported(sim::ExportedDrive& drive, const std::string& path, std::string& problem) {
  const std::string digest = RecordingDigest(path, problem);
  if (digest.empty()) return false;
  drive.description.exportedFromFile = LeafOf(path);
  drive.description.exportedFromSha256 = digest;
  drive.json = sim::DescriptionText(drive.description);
  return true;
}

}  // namespace

std::string UncheckedWarning(const std::string& path) {
  return path +
         " is a recording of version 1, which carries no checksums: damage in it cannot be told "
         "from what the drive answered";
}

void MarkReplays(std::vector<DriveArgument>& drives) {
  for (DriveArgument& drive : drives) {
    if (!drive.simulated && !drive.replay)
      drive.replay = device::StartsAsRecording(drive.path, RecordingLookAlikes());
  }
}

bool ReplayDrives::Open(const std::vector<DriveArgument>& drives, bool all, bool builtIn,
                        std::string& problem) {
  for (const DriveArgument& drive : drives) {
    if (!drive.replay) continue;
    if (all) {
      problem = "--all does not replay; replay each letter's recording in a run of its own";
      return false;
    }
    std::unique_ptr<device::ReplayVolumes> replay =
        device::ReplayVolumes::Open(drive.path, problem, RecordingLookAlikes());
    if (!replay) {
      problem = "cannot replay " + problem;
      return false;
    }
    const std::vector<char>& letters = replay->Letters();
    if (std::find(letters.begin(), letters.end(), drive.letter) == letters.end()) {
      problem = drive.path + " holds no drive " + drive.letter + ": (it holds " +
                (letters.empty() ? std::string("none") : LetterList(letters)) +
                "); give the letter it was recorded on";
      return false;
    }
    // The recording answers for every letter it holds, so no other drive
    // of the run may stand on one of them.
    for (char letter : letters) {
      const bool taken = (builtIn && letter == kBuiltInLetter) ||
                         std::any_of(drives.begin(), drives.end(), [&](const DriveArgument& d) {
                           return d.letter == letter && d.path != drive.path;
                         });
      if (taken) {
        problem = drive.path + " answers for drive " + letter + ":, which another drive of the " +
                  "run stands on";
        return false;
      }
    }
    if (!replay->Checked()) unchecked_.push_back(drive.path);
    // What the replay keeps is recorded as coming from this recording.
    const std::string digest = RecordingDigest(drive.path, problem);
    if (digest.empty()) {
      problem = "cannot replay " + problem;
      return false;
    }
    replay->SetRecordingDigest(digest);
    replays_.push_back(std::move(replay));
  }
  return true;
}

void ReplayDrives::MapInto(device::VolumeMap& volumes) {
  for (const auto& replay : replays_) {
    for (char letter : replay->Letters()) volumes.Map(letter, *replay);
  }
}

std::optional<device::Divergence> ReplayDrives::Finish() {
  std::optional<device::Divergence> first;
  for (const auto& replay : replays_) {
    replay->Finish();
    if (replay->divergence() && !first) first = replay->divergence();
  }
  return first;
}

std::string RecordingPathFor(const std::string& path, char letter) {
  const fs::path named(path);
  const std::string tag = std::string(".") + letter;
  if (!named.has_extension()) return path + tag;
  fs::path renamed = named;
  renamed.replace_filename(named.stem().string() + tag + named.extension().string());
  return renamed.string();
}

std::unique_ptr<device::RecordingVolumes> StartRecording(const RunRequest& plan,
                                                         const std::vector<std::string>& arguments,
                                                         device::VolumeOpener& inner,
                                                         const std::vector<char>& letters,
                                                         std::string& problem) {
  if (plan.recordFile.empty()) return nullptr;
  const device::RecordingHeader header{kProgramVersion, UtcTimestamp(),
                                       platform::SystemDescription(), arguments};
  const std::vector<DriveArgument> drives = plan.drives;
  const bool simulate = plan.builtIn;
  auto describe = [drives, simulate](char letter) {
    device::DriveFacts facts;
    for (const DriveArgument& drive : drives) {
      if (drive.letter != letter) continue;
      if (!drive.simulated && !drive.replay) return HostDriveFacts(letter, drive.path);
      facts.node = drive.path;
      return facts;
    }
    if (simulate && letter == kBuiltInLetter) {
      facts.node = "(built-in)";
      return facts;
    }
    return HostDriveFacts(letter, {});
  };
  auto recording = std::make_unique<device::RecordingVolumes>(inner, describe);
  if (letters.empty()) {
    std::unique_ptr<device::RecordingWriter> writer =
        device::RecordingWriter::Create(plan.recordFile, plan.recordOverwrite, header, problem);
    if (!writer) return nullptr;
    recording->RecordAll(std::move(writer));
    return recording;
  }
  // Every letter's file goes in one folder, opened once and checked on the
  // way: the files are made, and on failure removed, relative to it.
  std::string name;
  const std::shared_ptr<platform::Folder> folder =
      device::OpenRecordingFolder(plan.recordFile, name, problem);
  if (!folder) return nullptr;
  std::vector<std::string> made;
  for (char letter : letters) {
    const std::string path = RecordingPathFor(plan.recordFile, letter);
    const std::string file = RecordingPathFor(name, letter);
    std::unique_ptr<device::RecordingWriter> writer =
        device::RecordingWriter::Create(*folder, file, path, plan.recordOverwrite, header, problem);
    if (!writer) {
      // A run refused here leaves no half set of files behind.
      for (const std::string& done : made) folder->Remove(done, nullptr);
      return nullptr;
    }
    made.push_back(file);
    recording->RecordLetter(letter, std::move(writer));
  }
  return recording;
}

// One reading of a recording for the export of the drive of `letter`.
struct ExportPass {
  std::vector<char> letters;    // every letter opened or tried, in order
  std::vector<char> commanded;  // every letter sent a command, in order
  sim::DriveExport exporter;
  std::string serial;
  uint32_t commands = 0;  // to `letter`
};

// Reads `reader` to its end into `pass`. False with `problem` set for a
// file that is damaged or a command the export turns down.
bool ReadForExport(device::RecordingReader& reader, const std::string& path, char letter,
                   ExportPass& pass, std::string& problem) {
  device::RecordedOpen open;
  device::RecordedCommand command;
  std::string why;
  // Only the data the export keeps is held while the file is read.
  const auto wanted = [&](const device::RecordedCommand& sent) {
    return sent.letter == letter && pass.exporter.WantsData(sent.cdb.data(), sent.cdb.size());
  };
  const auto add = [](std::vector<char>& list, char one) {
    if (std::find(list.begin(), list.end(), one) == list.end()) list.push_back(one);
  };
  for (;;) {
    switch (reader.Next(open, command, why, wanted)) {
      case device::RecordingReader::Item::kOpen:
        add(pass.letters, open.letter);
        if (open.letter == letter && open.facts) pass.serial = open.facts->usbSerial;
        break;
      case device::RecordingReader::Item::kCommand:
        add(pass.commanded, command.letter);
        if (command.letter != letter) break;
        ++pass.commands;
        if (!pass.exporter.Observe(device::RequestOf(command), command.result, command.dataIn)) {
          problem = "cannot export " + path + ": at command " + std::to_string(command.number) +
                    " (" + device::DescribeRecorded(command) + ") " + pass.exporter.problem();
          return false;
        }
        break;
      case device::RecordingReader::Item::kEnd:
        return true;
      case device::RecordingReader::Item::kBad:
        problem = "cannot export " + path + ": it " + why;
        return false;
    }
  }
}

RecordingExport ExportRecordedDrive(const std::vector<DriveArgument>& named,
                                    const std::string& file) {
  RecordingExport made;
  const auto fail = [&made](const std::string& problem) {
    made.problem = problem;
    return made;
  };
  std::vector<DriveArgument> drives = named;
  MarkReplays(drives);
  if (drives.size() != 1 || !drives[0].replay) {
    return fail("export-drive takes one --drive X=FILE that names a recording");
  }
  const DriveArgument& source = drives[0];
  made.letter = source.letter;
  made.source = source.path;
  std::string problem;
  std::unique_ptr<device::RecordingReader> reader =
      device::RecordingReader::Open(source.path, problem, RecordingLookAlikes());
  if (!reader) return fail("cannot export " + problem);
  if (!reader->checked()) made.warnings.push_back(UncheckedWarning(source.path));

  // A replay takes the recording under any letter it opened or tried to
  // open and answers for all of them, so the export takes the same letters
  // and makes the drive the recording sent its commands to.
  ExportPass pass;
  if (!ReadForExport(*reader, source.path, source.letter, pass, made.problem)) return made;
  const std::vector<char>& letters = pass.letters;
  if (std::find(letters.begin(), letters.end(), source.letter) == letters.end()) {
    return fail(source.path + " holds no drive " + source.letter + ": (it holds " +
                (letters.empty() ? std::string("none") : LetterList(letters)) +
                "); give the letter it was recorded on");
  }
  if (pass.commands == 0 && pass.commanded.size() == 1) {
    // The letter was only tried, as a scan tries every letter: the drive is
    // the one the commands went to.
    made.letter = pass.commanded.front();
    if (!reader->Rewind(problem)) return fail("cannot export " + source.path + ": " + problem);
    pass = ExportPass{};
    if (!ReadForExport(*reader, source.path, made.letter, pass, made.problem)) return made;
  } else if (pass.commands == 0 && pass.commanded.size() > 1) {
    return fail(source.path + " sent no command to drive " + source.letter +
                ":; it sent commands to " + LetterList(pass.commanded) +
                "; give the letter of the drive to export");
  }
  const uint32_t commands = pass.commands;
  if (!reader->finished()) {
    made.warnings.push_back(
        source.path + " ends without its end marker (the recorded run did not finish" +
        (reader->unanswered() ? "; " + *reader->unanswered() + " got no reply" : "") +
        "); the drive is made of the " + std::to_string(commands) + " commands it holds");
  }
  std::optional<sim::ExportedDrive> drive = pass.exporter.Finish(pass.serial, problem);
  if (!drive) return fail("cannot make a drive of " + source.path + ": " + problem);
  if (!MarkExported(*drive, source.path, problem)) return fail("cannot export " + problem);
  if (!sim::WriteExportedDrive(file, *drive, problem)) return fail(problem);
  made.done = true;
  made.drive = std::move(drive);
  made.commands = commands;
  return made;
}

}  // namespace kestrune::session
