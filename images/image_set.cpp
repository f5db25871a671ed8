// The image set of a run: the payloads built into the program or a folder
// of images named at start-up, what it is called, and whether it holds
// generated stand-ins.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "images/images.h"
#include "platform/folder.h"
#include "platform/text.h"
#include "resources/image_list.h"
#include "resources/standin_layout.h"

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

namespace {

// Whether one payload is, byte for byte, a generated stand-in. A payload
// whose digest cannot be taken is not known to be real, so it counts as
// one.
bool IsStandIn(std::span<const uint8_t> payload, std::optional<platform::Sha256Digest>& digest) {
  digest = platform::Sha256({&payload, 1});
  const std::span<const resources::PayloadDigest> standIns = resources::StandInDigests();
  return !digest || std::find(standIns.begin(), standIns.end(), *digest) != standIns.end();
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The catalogue file whose stand-in `payload` is, when that is not entry
// `entry`: by its digest, or by the name its header carries. Empty when it
// is no stand-in of another file.
std::string StandInOfAnother(std::span<const uint8_t> payload,
                             const std::optional<platform::Sha256Digest>& digest, int entry) {
  const std::span<const resources::PayloadDigest> standIns = resources::StandInDigests();
  for (size_t j = 0; digest && j < standIns.size() && j < std::size(kCatalogue); ++j) {
    if (static_cast<int>(j) != entry && standIns[j] == *digest) {
      return ImageName(static_cast<int>(j));
    }
  }
  constexpr size_t kNameAt = sizeof standin::kImageMagic;
  if (payload.size() < kNameAt + standin::kNameLength ||
      !std::equal(std::begin(standin::kImageMagic), std::end(standin::kImageMagic),
                  payload.begin())) {
    return {};
  }
  const auto* first = reinterpret_cast<const char*>(payload.data() + kNameAt);
  std::string named(first, std::find(first, first + standin::kNameLength, '\0'));
  if (SameText(named, RelativePath(kCatalogue[entry]))) return {};
  std::replace(named.begin(), named.end(), '\\', '/');
  return platform::PrintableText(named);
}

void MarkPresent(ImageFileCheck& file, std::span<const uint8_t> payload, int entry) {
  std::optional<platform::Sha256Digest> digest;
  file.state = ImageFileState::kPresent;
  file.size = payload.size();
  file.standIn = IsStandIn(payload, digest);
  if (digest) file.sha256 = platform::HexText(digest->data(), digest->size());
  // Written under this name, another file's stand-in would pass every
  // check of what a simulated drive holds.
  const std::string other = StandInOfAnother(payload, digest, entry);
  if (!other.empty()) {
    file.state = ImageFileState::kMisnamed;
    file.standIn = true;
    file.why = "the stand-in of " + other;
  }
}

// The folder's SHA256SUMS, when it has one, read whole up to its bound
// without following a link or waiting on a FIFO; each listed digest goes
// to its file.
void CheckSums(const platform::Folder& folder, ImageSetCheck& check) {
  const std::optional<std::string> name = folder.Find(kSumsFileName);
  if (!name) return;
  check.hasSums = true;
  const std::string refused = std::string(kSumsFileName) + " in the image folder ";
  platform::OpenedFile opened = folder.OpenForReading(*name);
  if (opened.status == platform::ReadStatus::kMissing) {
    check.hasSums = false;
    return;
  }
  if (opened.status != platform::ReadStatus::kRead) {
    check.sumsProblem = refused + opened.why;
    return;
  }
  std::string text(kMaxSumsBytes + 1, '\0');
  text.resize(opened.file->Read(text.data(), text.size()));
  if (text.size() > kMaxSumsBytes) {
    check.sumsProblem = refused + "is larger than " + std::to_string(kMaxSumsBytes) + " bytes";
    return;
  }
  if (!opened.file->ErrorText().empty()) {
    check.sumsProblem = refused + "cannot be read: " + opened.file->ErrorText();
    return;
  }
  ListedSums sums = ParseSums(text);
  if (!sums.problem.empty()) check.sumsProblem = refused + "cannot be used: " + sums.problem;
  check.sumsOutside = std::move(sums.outside);
  for (size_t i = 0; i < check.files.size() && i < sums.digests.size(); ++i) {
    ImageFileCheck& file = check.files[i];
    file.listed = std::move(sums.digests[i]);
    if (file.state != ImageFileState::kPresent || file.listed.empty() ||
        file.listed == file.sha256) {
      continue;
    }
    file.state = ImageFileState::kDiffers;
    file.why = std::string(kSumsFileName) + " lists " + file.listed;
    file.bytes.clear();
  }
}

// One catalogue file of a folder: read once, one byte more than the
// entry's size, which shows a file that is too long; its whole size comes
// from the open.
ImageFileCheck CheckFolderFile(ImageFolder& images, int index, std::string& problem) {
  const CatalogueEntry& entry = kCatalogue[index];
  ImageFileCheck file;
  std::shared_ptr<platform::Folder> holder;
  std::string name;
  if (!images.Holder(RelativePath(entry), holder, name, problem)) return file;
  if (!holder) return file;
  platform::OpenedFile opened = holder->OpenForReading(holder->Find(name).value_or(name));
  if (opened.status == platform::ReadStatus::kMissing) return file;
  if (opened.status == platform::ReadStatus::kRefused) {
    file.state = ImageFileState::kRefused;
    file.why = opened.why;
    return file;
  }
  std::vector<uint8_t> bytes(entry.size + 1);
  bytes.resize(opened.file->Read(bytes.data(), bytes.size()));
  if (bytes.size() != entry.size) {
    file.state = ImageFileState::kWrongSize;
    file.size =
        bytes.size() > entry.size ? std::max<uint64_t>(opened.size, bytes.size()) : bytes.size();
    return file;
  }
  MarkPresent(file, bytes, index);
  if (file.state == ImageFileState::kPresent) file.bytes = std::move(bytes);
  return file;
}

}  // namespace

bool ImageSetCheck::Complete() const {
  return problem.empty() && sumsProblem.empty() && files.size() == std::size(kCatalogue) &&
         std::all_of(files.begin(), files.end(),
                     [](const ImageFileCheck& f) { return f.state == ImageFileState::kPresent; });
}

bool ImageSetCheck::HoldsStandIn() const {
  return std::any_of(files.begin(), files.end(), [](const ImageFileCheck& f) { return f.standIn; });
}

ImageSetCheck CheckImages(platform::Platform& platform, const std::string& folder) {
  ImageSetCheck check;
  check.folder = folder;
  if (folder.empty()) {
    for (int i = 0; i < static_cast<int>(std::size(kCatalogue)); ++i) {
      const CatalogueEntry& entry = kCatalogue[i];
      ImageFileCheck& file = check.files.emplace_back();
      if (auto payload = platform.FindResource(kResourceType, entry.resourceId)) {
        if (payload->size() == entry.size) {
          MarkPresent(file, *payload, i);
        } else {
          file.state = ImageFileState::kWrongSize;
          file.size = payload->size();
        }
      }
    }
    return check;
  }
  const platform::FolderOpening opening =
      platform.OpenFolder(folder, platform::FolderRule::kPrivate);
  if (!opening.folder) {
    check.folderMissing = opening.check.refusal == platform::FolderRefusal::kMissing;
    check.problem = check.folderMissing ? "The image folder <" + folder + "> is not there."
                                        : platform::DescribeFolderRefusal(
                                              "the image folder " + folder, opening.check);
    return check;
  }
  ImageFolder images(opening.folder);
  for (int i = 0; i < static_cast<int>(std::size(kCatalogue)); ++i) {
    check.files.push_back(CheckFolderFile(images, i, check.problem));
    if (!check.problem.empty()) {
      check.files.clear();
      return check;
    }
  }
  CheckSums(*opening.folder, check);
  return check;
}

std::shared_ptr<const ImageSet> LoadImageFolder(platform::Platform& platform,
                                                const std::string& folder, std::string& problem) {
  ImageSetCheck check = CheckImages(platform, folder);
  const std::string none = "The image folder <" + folder + "> holds none of the 31 ISP images.";
  if (!check.problem.empty()) {
    problem = check.folderMissing ? none : check.problem;
    return nullptr;
  }
  std::string lines;
  int missing = 0;
  for (size_t i = 0; i < check.files.size(); ++i) {
    const ImageFileCheck& file = check.files[i];
    const CatalogueEntry& entry = kCatalogue[i];
    // Named as the folder holds them, as `kestrune images` and SHA256SUMS do.
    const std::string relative = ImageName(static_cast<int>(i));
    const std::string pinned =
        file.listed.empty() ? "" : std::string(" (listed in ") + kSumsFileName + ")";
    switch (file.state) {
      case ImageFileState::kPresent:
        break;
      case ImageFileState::kMissing:
        ++missing;
        lines += "\nmissing: " + relative;
        lines += pinned;
        break;
      case ImageFileState::kDiffers:
        lines += "\ndiffers from " + std::string(kSumsFileName) + ": " + relative +
                 " has SHA-256 " + file.sha256 + ", " + kSumsFileName + " lists " + file.listed;
        break;
      case ImageFileState::kMisnamed:
        lines += "\nmisnamed: " + relative + " holds " + file.why;
        break;
      case ImageFileState::kRefused:
        lines += "\nrefused: " + relative + " " + file.why;
        break;
      case ImageFileState::kWrongSize:
        lines += "\nwrong size: " + relative + " has " +
                 (*file.size > entry.size ? "more than " + std::to_string(entry.size)
                                          : std::to_string(*file.size)) +
                 " bytes, expected " + std::to_string(entry.size);
        break;
    }
  }
  if (missing == static_cast<int>(std::size(kCatalogue))) {
    problem = none;
    return nullptr;
  }
  if (!check.sumsProblem.empty()) lines += "\n" + check.sumsProblem;
  if (!lines.empty()) {
    const bool allThere = std::all_of(check.files.begin(), check.files.end(), [](const auto& f) {
      return f.state == ImageFileState::kPresent || f.state == ImageFileState::kDiffers ||
             f.state == ImageFileState::kMisnamed;
    });
    problem = "The image folder <" + folder + ">" +
              (allThere ? " cannot be used:" : " does not hold the 31 ISP images:") + lines;
    return nullptr;
  }
  auto set = std::make_shared<ImageSet>();
  set->folder = folder;
  for (ImageFileCheck& file : check.files) set->payloads.push_back(std::move(file.bytes));
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

// Whether any payload is, byte for byte, one of the generated stand-ins.
bool HoldsStandIn(std::span<const std::span<const uint8_t>> payloads) {
  std::optional<platform::Sha256Digest> digest;
  return std::any_of(payloads.begin(), payloads.end(), [&digest](std::span<const uint8_t> payload) {
    return IsStandIn(payload, digest);
  });
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
    text += platform::HexText(digest->data(), 6);
  } else {
    text += "(no digest)";
  }
  if (images != nullptr) text += " (from " + images->folder + ")";
  return text;
}

}  // namespace kestrune
