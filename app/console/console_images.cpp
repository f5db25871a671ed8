#include "app/console/console_images.h"

#include <algorithm>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "app/console/console_json.h"
#include "images/images.h"
#include "platform/platform.h"

namespace kestrune::console {

namespace {

const char* StateName(ImageFileState state) {
  switch (state) {
    case ImageFileState::kPresent:
      return "present";
    case ImageFileState::kMissing:
      return "missing";
    case ImageFileState::kWrongSize:
      return "wrong size";
    case ImageFileState::kRefused:
      return "refused";
    case ImageFileState::kDiffers:
      return "differs";
    case ImageFileState::kMisnamed:
      return "misnamed";
  }
  return "";
}

// The entry's name as a technician places it: "163A2C/US.BIN".
std::string EntryName(int entry) { return ImageName(entry); }

// What the folder's SHA256SUMS says of a file, after its digest.
std::string PinText(const ImageSetCheck& check, const ImageFileCheck& file) {
  if (!check.hasSums) return "";
  if (file.listed.empty()) return std::string(", not listed in ") + kSumsFileName;
  return file.listed == file.sha256 ? std::string(", as ") + kSumsFileName + " lists it" : "";
}

// The lines that tell the folder's SHA256SUMS as a whole.
void PrintSums(std::ostream& out, const ImageSetCheck& check) {
  if (check.folder.empty()) return;
  if (!check.hasSums) {
    out << "no " << kSumsFileName << ": the files are not pinned by their SHA-256" << std::endl;
    return;
  }
  if (!check.sumsProblem.empty()) out << check.sumsProblem << std::endl;
  int listed = 0;
  int differ = 0;
  for (const ImageFileCheck& file : check.files) {
    listed += file.listed.empty() ? 0 : 1;
    differ += file.state == ImageFileState::kDiffers ? 1 : 0;
  }
  out << kSumsFileName << " lists " << listed << " of the " << check.files.size() << " files";
  if (differ > 0) out << ", " << differ << " of them " << (differ == 1 ? "differs" : "differ");
  out << std::endl;
  if (!check.sumsOutside.empty()) {
    std::string names;
    for (const std::string& name : check.sumsOutside) names += (names.empty() ? "" : ", ") + name;
    out << kSumsFileName << " also lists " << names << ": no catalogue file, not checked"
        << std::endl;
  }
}

std::string FolderOf(const ConsoleOptions& options, const Settings& settings) {
  if (!options.checkFolder.empty()) return options.checkFolder;
  return options.imagesFolder.empty() ? settings.imagesFolder : options.imagesFolder;
}

int ExitOf(const ImageSetCheck& check) {
  if (!check.Complete()) return kExitFailure;
  return check.HoldsStandIn() ? kExitStandInImages : kExitDone;
}

std::string UseText(const ImageUse& use) {
  std::string text = std::string(ImageChooserName(use.chooser)) + " image for " + use.controllers;
  text += use.row != 0 ? " (row " + std::to_string(use.row) + "): " : " (fallback): ";
  return text + use.when;
}

// `quiet`: only the images that are not as they should be, and the last
// line, as --quiet prints only errors and the outcome.
void PrintText(std::ostream& shown, const ImageSetCheck& check, bool quiet) {
  std::ostringstream dropped;
  std::ostream& told = quiet ? static_cast<std::ostream&>(dropped) : shown;
  told << (check.folder.empty() ? "Images built into this program"
                                : "Images in the folder " + check.folder)
       << std::endl;
  int present = 0;
  int standIns = 0;
  for (size_t i = 0; i < check.files.size(); ++i) {
    const ImageFileCheck& file = check.files[i];
    const CatalogueEntry& entry = kCatalogue[i];
    std::ostream& out = file.state == ImageFileState::kPresent ? told : shown;
    std::string head = std::to_string(i + 1) + " " + EntryName(static_cast<int>(i));
    head.resize(std::max<size_t>(head.size(), 21), ' ');
    out << (i < 9 ? " " : "") << head << ' ';
    switch (file.state) {
      case ImageFileState::kPresent:
        ++present;
        standIns += file.standIn ? 1 : 0;
        out << *file.size << " bytes  " << (file.standIn ? "stand-in" : "real") << std::endl;
        out << "   sha256 " << file.sha256 << PinText(check, file) << std::endl;
        break;
      case ImageFileState::kDiffers:
        out << *file.size << " bytes  differs from " << kSumsFileName << std::endl;
        out << "   sha256 " << file.sha256 << ", " << kSumsFileName << " lists " << file.listed
            << std::endl;
        break;
      case ImageFileState::kMisnamed:
        out << *file.size << " bytes  misnamed: it is " << file.why << std::endl;
        out << "   sha256 " << file.sha256 << std::endl;
        break;
      case ImageFileState::kMissing:
        out << "missing (" << entry.size << " bytes expected)"
            << (file.listed.empty() ? "" : std::string(", listed in ") + kSumsFileName)
            << std::endl;
        break;
      case ImageFileState::kWrongSize:
        out << "wrong size: " << *file.size << " bytes, " << entry.size << " expected" << std::endl;
        break;
      case ImageFileState::kRefused:
        out << "refused: " << file.why << std::endl;
        break;
    }
    const std::vector<ImageUse> uses = UsesOfImage(static_cast<int>(i));
    if (uses.empty())
      out << "   no chooser names it; it is written to the work folder all the same\n";
    for (const ImageUse& use : uses) out << "   " << UseText(use) << '\n';
  }
  PrintSums(told, check);
  std::ostream& out = shown;
  out << present << " of " << check.files.size() << " present";
  if (!check.Complete()) {
    out << ": this set cannot be used, a run refuses it" << std::endl;
  } else if (standIns > 0) {
    out << ", " << standIns
        << " of them generated stand-ins: they serve tests and simulated drives, never a real "
           "one"
        << std::endl;
  } else {
    out << ": a complete set of real images" << std::endl;
  }
}

Json SetJson(const ImageSetCheck& check, bool entries) {
  Json images = Json::object();
  images["source"] = check.folder.empty() ? "built-in" : "folder";
  images["folder"] = check.folder.empty() ? Json() : Json(check.folder);
  images["complete"] = check.Complete();
  images["standIns"] = check.HoldsStandIn();
  if (!entries) return images;
  images["sums"] =
      check.hasSums
          ? Json{{"problem", check.sumsProblem.empty() ? Json() : Json(check.sumsProblem)},
                 {"outside", check.sumsOutside}}
          : Json();
  Json list = Json::array();
  for (size_t i = 0; i < check.files.size(); ++i) {
    const ImageFileCheck& file = check.files[i];
    Json uses = Json::array();
    for (const ImageUse& use : UsesOfImage(static_cast<int>(i))) {
      uses.push_back({{"chooser", ImageChooserName(use.chooser)},
                      {"controllers", use.controllers},
                      {"when", use.when},
                      {"row", use.row != 0 ? Json(use.row) : Json()}});
    }
    list.push_back({{"number", i + 1},
                    {"name", EntryName(static_cast<int>(i))},
                    {"resourceId", kCatalogue[i].resourceId},
                    {"expectedSize", kCatalogue[i].size},
                    {"state", StateName(file.state)},
                    {"size", file.size ? Json(*file.size) : Json()},
                    {"sha256", file.sha256.empty() ? Json() : Json(file.sha256)},
                    {"standIn", file.standIn},
                    {"why", file.why.empty() ? Json() : Json(file.why)},
                    {"listed", file.listed.empty() ? Json() : Json(file.listed)},
                    {"chosenBy", uses}});
  }
  images["entries"] = list;
  return images;
}

void PrintJson(std::ostream& out, const ConsoleOptions& options, const Json& images,
               const std::vector<std::string>& errors, int code) {
  Json document = DocumentHead(options);
  if (!images.is_null()) document["images"] = images;
  // A check of images opens no drive: it shows no box and keeps no file.
  document["messages"] = Json::array();
  document["files"] = Json::array();
  PrintDocument(out, std::move(document), errors, code);
}

}  // namespace

int RunImages(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings) {
  const std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform();
  const ImageSetCheck check = CheckImages(*host, FolderOf(options, settings));
  const int code = ExitOf(check);
  std::vector<std::string> errors;
  if (!check.problem.empty()) {
    errors.push_back(check.problem);
    io.err << "kestrune: " << check.problem << std::endl;
  }
  if (options.json) {
    PrintJson(io.out, options, SetJson(check, true), errors, code);
  } else if (check.problem.empty()) {
    PrintText(io.out, check, options.quiet);
  }
  return code;
}

int RunVersion(const ConsoleOptions& options, const ConsoleStreams& io, const Settings& settings) {
  const std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform();
  std::shared_ptr<const ImageSet> images;
  std::string problem;
  const std::string folder = FolderOf(options, settings);
  if (!LoadNamedImages(*host, folder, images, problem)) {
    io.err << "kestrune: " << problem << std::endl;
    if (options.json) PrintJson(io.out, options, Json(), {problem}, kExitUsage);
    return kExitUsage;
  }
  const std::string described = DescribeImages(*host, images.get());
  if (!options.json) {
    io.out << kVersionText << '\n' << described << std::endl;
    return kExitDone;
  }
  Json set = Json::object();
  set["source"] = folder.empty() ? "built-in" : "folder";
  set["folder"] = folder.empty() ? Json() : Json(folder);
  set["complete"] = true;
  set["standIns"] = ImagesAreStandIns(images.get());
  set["description"] = described;
  PrintJson(io.out, options, set, {}, kExitDone);
  return kExitDone;
}

}  // namespace kestrune::console
