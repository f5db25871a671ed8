#include "app/console/console_backups.h"

#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/console/console_json.h"
#include "operations/backup_records.h"
#include "platform/platform.h"

namespace kestrune::console {

namespace {

// One save as the listing shows it.
struct ListedSave {
  std::string folder;
  SaveMark save;
  std::vector<BackupRecord> files;
  bool taken = false;  // what a restore of the stick from its source takes
};

// The saves of one stick: one model, one USB serial, one CIS page.
struct ListedStick {
  DriveIdentity drive;
  std::vector<ListedSave> saves;
};

std::string AreaOf(const BackupRecord& record) {
  if (record.copy < 0) return FormatText("area at page %u", static_cast<unsigned>(record.page));
  return DescribeArea({record.copy, IsAuxKind(record.kind)});
}

// A save cut between two of its files holds fewer than it meant to.
bool Cut(const ListedSave& listed) {
  return listed.save.areas > 0 && listed.files.size() < static_cast<size_t>(listed.save.areas);
}

bool Complete(const ListedSave& listed) {
  return !listed.save.legacy && listed.save.missing.empty() && !listed.files.empty() &&
         !Cut(listed);
}

std::string StateText(const ListedSave& listed) {
  if (listed.save.legacy) return "kept before saves were recorded: not taken whole";
  if (listed.files.empty()) return "incomplete: holds no file";
  if (listed.save.missing.empty() && Cut(listed)) {
    return FormatText("incomplete: holds %u of its %d areas",
                      static_cast<unsigned>(listed.files.size()), listed.save.areas);
  }
  if (listed.save.missing.empty()) return "complete";
  std::string text = "incomplete: lacks ";
  for (size_t i = 0; i < listed.save.missing.size(); ++i) {
    text += (i == 0 ? "" : ", ") + DescribeArea(listed.save.missing[i]);
  }
  return text;
}

// What tells one stick from another here: its model (controller,
// revision, flash ID, page size), its USB serial and its CIS page.
std::string StickKey(const DriveIdentity& d) {
  return FormatText("%04X %02X %02X%02X%02X%02X%02X %u ", d.controllerId, d.revision, d.flashId[0],
                    d.flashId[1], d.flashId[2], d.flashId[3], d.flashId[4], d.pageSize) +
         d.cisSha256 + " " + d.usbSerial;
}

// Marks, per stick and per source, the save a default restore takes, by
// the rule restore follows (NewestChangeSave); one restore would refuse as
// incomplete is not marked.
void MarkTaken(ListedStick& stick) {
  std::map<std::pair<SaveSource, std::string>, std::vector<ListedSave*>> sources;
  for (ListedSave& listed : stick.saves) {
    const SaveMark& save = listed.save;
    if (IsChangeSave(save) && OwnSave(save, stick.drive, save.source, save.recording)) {
      sources[{save.source, save.recording}].push_back(&listed);
    }
  }
  for (const auto& [source, listed] : sources) {
    std::vector<SaveInFolder> candidates;
    for (const ListedSave* save : listed) candidates.push_back({save->folder, &save->save});
    if (const std::optional<size_t> taken = NewestChangeSave(candidates).taken()) {
      listed[*taken]->taken = Complete(*listed[*taken]);
    }
  }
}

Json IdentityDocument(const DriveIdentity& d) {
  return Json{{"controllerId", FormatText("0x%X", d.controllerId)},
              {"revision", d.revision},
              {"flashId", FormatText("%02X %02X %02X %02X %02X", d.flashId[0], d.flashId[1],
                                     d.flashId[2], d.flashId[3], d.flashId[4])},
              {"pageSize", d.pageSize},
              {"usbSerial", d.usbSerial.empty() ? Json() : Json(d.usbSerial)},
              {"cisSha256", d.cisSha256.empty() ? Json() : Json(d.cisSha256)}};
}

Json SaveDocument(const ListedSave& listed) {
  const SaveMark& s = listed.save;
  Json missing = Json::array();
  for (const SaveArea& area : s.missing) {
    missing.push_back({{"copy", area.copy}, {"area", area.aux ? "auxiliary" : "ISP"}});
  }
  Json files = Json::array();
  for (const BackupRecord& record : listed.files) {
    files.push_back({{"file", listed.folder + record.file},
                     {"copy", record.copy < 0 ? Json() : Json(record.copy)},
                     {"area", IsAuxKind(record.kind) ? "auxiliary" : "ISP"},
                     {"page", record.page},
                     {"size", record.size},
                     {"sha256", record.sha256}});
  }
  return Json{{"id", s.id},
              {"command", s.legacy ? Json() : Json(s.command)},
              {"role", RoleName(s.role)},
              {"savedAt", s.savedAt},
              {"source", s.legacy ? Json() : Json(SourceName(s.source))},
              {"recording", s.recording.empty() ? Json() : Json(s.recording)},
              {"recordingFile", s.recordingFile.empty() ? Json() : Json(s.recordingFile)},
              {"records", listed.folder + kRecordDocumentName},
              {"complete", Complete(listed)},
              {"legacy", s.legacy},
              {"missing", std::move(missing)},
              {"restoreTakes", listed.taken},
              {"letter", s.letter == 0 ? Json() : Json(std::string(1, s.letter))},
              {"port", s.port.empty() ? Json() : Json(s.port)},
              {"image", s.imageSha256.empty() ? Json()
                                              : Json{{"file", s.imageFile},
                                                     {"row", s.imageRow},
                                                     {"sha256", s.imageSha256}}},
              {"changeBegun", s.changeBegun},
              {"copiesWritten", s.copiesWritten < 0 ? Json() : Json(s.copiesWritten)},
              {"copiesVerified", s.copiesVerified < 0 ? Json() : Json(s.copiesVerified)},
              {"files", std::move(files)}};
}

void PrintSticks(std::ostream& out, const std::vector<ListedStick>& sticks) {
  if (sticks.empty()) out << "No save is kept in the C: folder or its letter folders.\n";
  for (const ListedStick& stick : sticks) {
    out << "Stick: " << DescribeIdentity(stick.drive) << ", CIS page SHA-256 "
        << (stick.drive.cisSha256.empty() ? "none recorded" : stick.drive.cisSha256) << '\n';
    for (const ListedSave& listed : stick.saves) {
      const SaveMark& s = listed.save;
      out << "  save " << s.id << " (" << (s.legacy ? "?" : s.command) << ", " << RoleName(s.role)
          << ", " << s.savedAt << DescribePlace(s) << "), "
          << (s.legacy ? std::string("source not recorded") : DescribeSource(s)) << ", "
          << StateText(listed) << (listed.taken ? "; restore takes it" : "") << '\n';
      if (const std::string change = DescribeChange(s); !change.empty()) {
        out << "    " << change << '\n';
      }
      for (const BackupRecord& record : listed.files) {
        out << "    " << AreaOf(record) << ": " << listed.folder << record.file << '\n';
      }
    }
  }
  out << std::flush;
}

}  // namespace

int RunBackups(const ConsoleOptions& options, const ConsoleStreams& io) {
  platform::PosixOptions host;
  host.cDriveFolder = options.cDriveFolder;
  host.tempFolder = options.tempFolder;
  std::string problem;
  std::vector<std::string> errors;
  std::vector<ListedStick> sticks;
  std::unordered_map<std::string, size_t> stickOf;
  if (!platform::PrepareCDriveFolder(host, problem)) {
    errors.push_back(problem);
  } else {
    const std::unique_ptr<platform::Platform> c = platform::CreateHostPlatform(host);
    for (const std::string& folder : SaveFolders(*c, true)) {
      RecordBook book;
      if (!ReadRecordBook(*c, folder, book, problem)) {
        errors.push_back(problem);
        continue;
      }
      if (book.otherOwner) {
        errors.push_back(
            FormatText("The backup records <%s%s> belong to %s, not to this user: "
                       "they were not read.",
                       folder.c_str(), kRecordDocumentName, book.otherOwner->name.c_str()));
        continue;
      }
      // Each save's files, and each stick, found at once however many
      // saves the folder holds.
      std::unordered_map<std::string, std::vector<const BackupRecord*>> files;
      for (const BackupRecord& record : book.records) files[record.save].push_back(&record);
      for (const SaveMark& save : book.saves) {
        ListedSave listed{folder, save, {}, false};
        for (const BackupRecord* record : files[save.id]) listed.files.push_back(*record);
        const auto [known, added] = stickOf.emplace(StickKey(save.drive), sticks.size());
        if (added) sticks.push_back({save.drive, {}});
        sticks[known->second].saves.push_back(std::move(listed));
      }
    }
  }
  for (ListedStick& stick : sticks) {
    std::stable_sort(
        stick.saves.begin(), stick.saves.end(),
        [](const ListedSave& a, const ListedSave& b) { return a.save.savedAt > b.save.savedAt; });
    // Within one folder the order is the order the saves were kept, as
    // restore weighs them, whatever the clock said: each folder's saves
    // take that order in the places the times gave them.
    std::map<std::string, std::vector<size_t>> places;
    for (size_t i = 0; i < stick.saves.size(); ++i) places[stick.saves[i].folder].push_back(i);
    for (const auto& [folder, at] : places) {
      std::vector<ListedSave> ordered;
      for (const size_t i : at) ordered.push_back(std::move(stick.saves[i]));
      std::stable_sort(ordered.begin(), ordered.end(), [](const ListedSave& a, const ListedSave& b) {
        return a.save.sequence > b.save.sequence;
      });
      for (size_t k = 0; k < at.size(); ++k) stick.saves[at[k]] = std::move(ordered[k]);
    }
    MarkTaken(stick);
  }
  const int code = errors.empty() ? kExitDone : kExitFailure;
  for (const std::string& error : errors) io.err << "kestrune: " << error << std::endl;
  if (options.json) {
    Json list = Json::array();
    for (const ListedStick& stick : sticks) {
      Json saves = Json::array();
      for (const ListedSave& listed : stick.saves) saves.push_back(SaveDocument(listed));
      list.push_back({{"drive", IdentityDocument(stick.drive)}, {"saves", std::move(saves)}});
    }
    // backups opens no drive: it shows no box and keeps no file.
    Json document = DocumentHead(options);
    document["sticks"] = std::move(list);
    document["messages"] = Json::array();
    document["files"] = Json::array();
    PrintDocument(io.out, std::move(document), errors, code);
  } else {
    PrintSticks(io.out, sticks);
  }
  return code;
}

}  // namespace kestrune::console
