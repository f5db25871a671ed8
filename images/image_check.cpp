// Reading an image file for an update or a code load, and checking that a
// file of the catalogue still holds the image the run extracted.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "images/images.h"

namespace kestrune {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

// The components of a relative path, with "." dropped and ".." applied, so
// that every spelling of one file gives one list.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  std::string current;
  auto flush = [&] {
    if (current == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!current.empty() && current != ".") {
      parts.push_back(current);
    }
    current.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      current.push_back(c);
    }
  }
  flush();
  return parts;
}

}  // namespace

int CatalogueEntryOf(platform::Platform& platform, const std::string& path) {
  const std::string folder = WorkFolder(platform);
  if (folder.empty() || path.size() < folder.size() ||
      !SameText(path.substr(0, folder.size()), folder)) {
    return -1;
  }
  const std::vector<std::string> parts = Components(path.substr(folder.size()));
  for (int i = 0; i < static_cast<int>(std::size(kCatalogue)); ++i) {
    const std::vector<std::string> entry = Components(kCatalogue[i].pathFormat + 3);
    if (entry.size() == parts.size() &&
        std::equal(entry.begin(), entry.end(), parts.begin(), SameText)) {
      return i;
    }
  }
  return -1;
}

std::string ImageNameOf(platform::Platform& platform, const std::string& path) {
  const int entry = CatalogueEntryOf(platform, path);
  if (entry >= 0) return ImageName(entry);
  const std::string folder = WorkFolder(platform);
  const bool inside = !folder.empty() && path.size() >= folder.size() &&
                      SameText(path.substr(0, folder.size()), folder);
  std::string name;
  for (const std::string& part : Components(inside ? path.substr(folder.size()) : path)) {
    name += (name.empty() ? "" : "/") + part;
  }
  return name;
}

ImageFileRead ReadImageFile(platform::Platform& platform, const ImageSet* images,
                            const std::string& path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  auto file = platform.OpenFile(path, platform::OpenMode::kReadBinary);
  if (!file) return ImageFileRead::kCannotOpen;
  bytes.resize(kMaxImageFileBytes + 1);
  bytes.resize(file->Read(bytes.data(), bytes.size()));
  file.reset();

  const int entry = CatalogueEntryOf(platform, path);
  if (entry < 0) return ImageFileRead::kRead;
  // A catalogue file that cannot be compared is not trusted either.
  const std::optional<std::span<const uint8_t>> payload = ImagePayload(platform, images, entry);
  if (!payload || !std::equal(bytes.begin(), bytes.end(), payload->begin(), payload->end())) {
    return ImageFileRead::kDiffers;
  }
  return ImageFileRead::kRead;
}

void CopyImageBytes(const std::vector<uint8_t>& image, size_t offset, uint8_t* out, size_t count) {
  if (offset >= image.size()) return;
  std::memcpy(out, image.data() + offset, std::min(count, image.size() - offset));
}

}  // namespace kestrune
