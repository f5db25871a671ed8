// The image set of a run: the payloads built into the program or a folder
// of images named at start-up, what it is called, and whether it holds
// generated stand-ins.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "images/images.h"
#include "platform/folder.h"
#include "resources/image_list.h"

namespace kestrune {

std::string StandInsRefusedText(const std::string& howToName) {
  return std::string(
             "The images of this run are generated stand-ins, not real ISP images: they are not "
             "written into a real drive, nor is their code loaded into one. Name a folder that "
             "holds the 31 real ISP images") +
         (howToName.empty() ? "" : " " + howToName) + ", or use a build made with the real images.";
}

namespace {

// The entry's path inside the work folder, "163A2C\\US.BIN".
const char* RelativePath(const CatalogueEntry& entry) { return entry.pathFormat + 3; }

// The image folder, and its one sub-folder once it was asked for. Both are
// opened once, without following a link at their names, and pass the work
// folder's rule: what they hold goes into a drive.
class ImageFolder {
 public:
  explicit ImageFolder(std::shared_ptr<platform::Folder> top) : top_(std::move(top)) {}

  // The folder that holds `relative` and the file's name in it; null when
  // the sub-folder is not there. False, with `problem` set, when the
  // sub-folder is refused.
  bool Holder(const std::string& relative, std::shared_ptr<platform::Folder>& folder,
              std::string& name, std::string& problem) {
    const size_t slash = relative.find('\\');
    if (slash == std::string::npos) {
      folder = top_;
      name = relative;
      return true;
    }
    if (!subAsked_) {
      subAsked_ = true;
      const std::string sub = relative.substr(0, slash);
      const std::string spelled = top_->Find(sub).value_or(sub);
      platform::FolderOpening opening =
          top_->OpenSub(spelled, platform::FolderRule::kPrivate, false);
      if (!opening.folder && opening.check.refusal != platform::FolderRefusal::kMissing) {
        problem = platform::DescribeFolderRefusal("the image folder " + top_->PathOf(spelled),
                                                  opening.check);
        return false;
      }
      sub_ = std::move(opening.folder);
    }
    folder = sub_;
    name = relative.substr(slash + 1);
    return true;
  }

 private:
  std::shared_ptr<platform::Folder> top_;
  std::shared_ptr<platform::Folder> sub_;
  bool subAsked_ = false;
};

}  // namespace

std::shared_ptr<const ImageSet> LoadImageFolder(platform::Platform& platform,
                                                const std::string& folder, std::string& problem) {
  const platform::FolderOpening opening =
      platform.OpenFolder(folder, platform::FolderRule::kPrivate);
  const std::string none = "The image folder <" + folder + "> holds none of the 31 ISP images.";
  if (!opening.folder) {
    problem = opening.check.refusal == platform::FolderRefusal::kMissing
                  ? none
                  : platform::DescribeFolderRefusal("the image folder " + folder, opening.check);
    return nullptr;
  }
  ImageFolder images(opening.folder);
  auto set = std::make_shared<ImageSet>();
  set->folder = folder;
  std::string lines;
  int missing = 0;
  for (const CatalogueEntry& entry : kCatalogue) {
    const std::string relative = RelativePath(entry);
    std::shared_ptr<platform::Folder> holder;
    std::string name;
    if (!images.Holder(relative, holder, name, problem)) return nullptr;
    platform::OpenedFile opened;
    if (holder) opened = holder->OpenForReading(holder->Find(name).value_or(name));
    if (opened.status == platform::ReadStatus::kMissing || !holder) {
      ++missing;
      lines += "\nmissing: " + relative;
      continue;
    }
    if (opened.status == platform::ReadStatus::kRefused) {
      lines += "\nrefused: " + relative + " " + opened.why;
      continue;
    }
    // Read once, one byte more than the entry's size: that byte shows a
    // file that is too long.
    std::vector<uint8_t> bytes(entry.size + 1);
    bytes.resize(opened.file->Read(bytes.data(), bytes.size()));
    if (bytes.size() != entry.size) {
      lines += "\nwrong size: " + relative + " has " +
               (bytes.size() > entry.size ? "more than " + std::to_string(entry.size)
                                          : std::to_string(bytes.size())) +
               " bytes, expected " + std::to_string(entry.size);
      continue;
    }
    set->payloads.push_back(std::move(bytes));
  }
  if (missing == static_cast<int>(std::size(kCatalogue))) {
    problem = none;
    return nullptr;
  }
  if (!lines.empty()) {
    problem = "The image folder <" + folder + "> does not hold the 31 ISP images:" + lines;
    return nullptr;
  }
  return set;
}

bool LoadNamedImages(platform::Platform& platform, const std::string& folder,
                     std::shared_ptr<const ImageSet>& images, std::string& problem) {
  images.reset();
  if (folder.empty()) return true;
  images = LoadImageFolder(platform, folder, problem);
  return images != nullptr;
}

std::optional<std::span<const uint8_t>> ImagePayload(platform::Platform& platform,
                                                     const ImageSet* images, int entry) {
  if (entry < 0 || entry >= static_cast<int>(std::size(kCatalogue))) return std::nullopt;
  if (images != nullptr) {
    if (static_cast<size_t>(entry) >= images->payloads.size()) return std::nullopt;
    return std::span<const uint8_t>(images->payloads[entry]);
  }
  return platform.FindResource(kResourceType, kCatalogue[entry].resourceId);
}

namespace {

// Whether any payload is, byte for byte, one of the generated stand-ins. A
// payload whose digest cannot be taken is not known to be real, so it
// counts as one.
bool HoldsStandIn(std::span<const std::span<const uint8_t>> payloads) {
  const std::span<const resources::PayloadDigest> standIns = resources::StandInDigests();
  for (const std::span<const uint8_t> payload : payloads) {
    const std::optional<platform::Sha256Digest> digest = platform::Sha256({&payload, 1});
    if (!digest || std::find(standIns.begin(), standIns.end(), *digest) != standIns.end()) {
      return true;
    }
  }
  return false;
}

// The payloads built into this program are the same for the whole process,
// so they are looked at once, through the host's own resources.
bool BuiltInImagesAreStandIns() {
  static const bool standIns = [] {
    const std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform();
    std::vector<std::span<const uint8_t>> payloads;
    for (const CatalogueEntry& entry : kCatalogue) {
      if (auto payload = host->FindResource(kResourceType, entry.resourceId)) {
        payloads.push_back(*payload);
      }
    }
    return HoldsStandIn(payloads);
  }();
  return standIns;
}

}  // namespace

bool ImagesAreStandIns(const ImageSet* images) {
  if (images == nullptr) return BuiltInImagesAreStandIns();
  std::call_once(images->standInsChecked, [images] {
    const std::vector<std::span<const uint8_t>> payloads(images->payloads.begin(),
                                                         images->payloads.end());
    images->standIns = HoldsStandIn(payloads);
  });
  return images->standIns;
}

std::string DescribeImages(platform::Platform& platform, const ImageSet* images) {
  if (ImagesAreStandIns(images)) {
    return images == nullptr ? "stand-in images" : "stand-in images (from " + images->folder + ")";
  }
  std::vector<std::span<const uint8_t>> pieces;
  for (int i = 0; i < static_cast<int>(std::size(kCatalogue)); ++i) {
    if (auto payload = ImagePayload(platform, images, i)) pieces.push_back(*payload);
  }
  const std::optional<platform::Sha256Digest> digest = platform::Sha256(pieces);
  std::string text = "images: ";
  if (digest) {
    for (size_t i = 0; i < 6; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", (*digest)[i]);
      text += hex;
    }
  } else {
    text += "(no digest)";
  }
  if (images != nullptr) text += " (from " + images->folder + ")";
  return text;
}

}  // namespace kestrune
