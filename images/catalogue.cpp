// The embedded image catalogue: extraction of every image to the work
// folder, and BinRes, which writes one embedded resource to one file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "images/images.h"

namespace kestrune {

namespace {

// Buffers for folder and path texts, as large as the system's path limit.
constexpr uint32_t kPathBufferSize = 260;
// The executable's path is read into a smaller buffer; longer paths are cut.
constexpr uint32_t kExeBufferSize = 128;

// A path that does not begin with a drive letter is taken inside the
// executable's folder.
std::string FullImagePath(platform::Platform& platform, const std::string& path) {
  const bool absolute = path.size() >= 2 && path[1] == ':';
  return absolute ? path : BinRes::GetExeFolder(platform) + "\\" + path;
}

void BytesToFile(platform::Platform& platform, const std::string& fullPath,
                 std::span<const uint8_t> bytes) {
  // An interrupt while the copy is written must not leave part of an image
  // under its name.
  const platform::RemoveOnInterrupt partial(platform.HostPath(fullPath));
  auto file = platform.OpenFile(fullPath, platform::OpenMode::kWriteBinaryTruncate);
  if (!file) return;
  const size_t written = file->Write(bytes.data(), bytes.size());
  file.reset();
  // A cut-off copy (disk full) would later be written into a drive as if it
  // were whole; remove it so the gap shows as a missing file instead.
  if (written != bytes.size()) platform.DeleteFile(fullPath);
}

}  // namespace

// The ids do not follow the file names: this pairing is the one the program
// was built with, and resources/catalogue.csv carries the same rows.
constexpr CatalogueEntry kCatalogue[31] = {
    {176, 65536, "%s\\CAUS.BIN"},          {128, 65536, "%s\\165A0.BIN"},
    {139, 65536, "%s\\162.BIN"},           {147, 65536, "%s\\US.BIN"},
    {141, 65536, "%s\\US1.BIN"},           {142, 65536, "%s\\US4.BIN"},
    {143, 65536, "%s\\US5.BIN"},           {144, 65536, "%s\\US6.BIN"},
    {145, 65536, "%s\\US7.BIN"},           {146, 65536, "%s\\US9.BIN"},
    {155, 131072, "%s\\CUS.BIN"},          {154, 131072, "%s\\CUST.BIN"},
    {163, 131072, "%s\\CUSIN.BIN"},        {162, 131072, "%s\\CUSIN1.BIN"},
    {156, 131072, "%s\\CUS1.BIN"},         {157, 131072, "%s\\CUS4.BIN"},
    {158, 131072, "%s\\CUS5.BIN"},         {159, 131072, "%s\\CUS6.BIN"},
    {160, 131072, "%s\\CUS7.BIN"},         {161, 131072, "%s\\CUS8.BIN"},
    {164, 65536, "%s\\163A2C\\US.BIN"},    {177, 65536, "%s\\163A2C\\UR.BIN"},
    {165, 65536, "%s\\163A2C\\US1.BIN"},   {166, 65536, "%s\\163A2C\\US2.BIN"},
    {167, 65536, "%s\\163A2C\\US4.BIN"},   {168, 65536, "%s\\163A2C\\US5.BIN"},
    {169, 65536, "%s\\163A2C\\US6.BIN"},   {173, 65536, "%s\\163A2C\\USIN.BIN"},
    {170, 65536, "%s\\163A2C\\USIN1.BIN"}, {171, 65536, "%s\\163A2C\\USIN2.BIN"},
    {172, 65536, "%s\\163A2C\\UST.BIN"},
};

constexpr uint32_t SumOfCatalogueSizes() {
  uint32_t sum = 0;
  for (const CatalogueEntry& entry : kCatalogue) sum += entry.size;
  return sum;
}
static_assert(SumOfCatalogueSizes() == kCatalogueBytes);

std::string ImageName(int entry) {
  if (entry < 0 || entry >= static_cast<int>(std::size(kCatalogue))) return {};
  std::string name = kCatalogue[entry].pathFormat + 3;
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

std::string ComposePath(const char* format, const std::string& folder) {
  char path[kPathBufferSize] = {};
  std::snprintf(path, sizeof path, format, folder.c_str());
  return path;
}

std::string WorkFolder(platform::Platform& platform) {
  char folder[kPathBufferSize] = {};
  const uint32_t windowsLength = platform.GetWindowsDirectory(folder, kPathBufferSize);
  if (windowsLength >= kPathBufferSize) folder[0] = '\0';  // did not fit: nothing stored
  // The temporary folder is asked into a buffer of its own so that a failed
  // or oversized answer cannot leave a half-written text over the Windows
  // folder, which then stands.
  char temp[kPathBufferSize] = {};
  const uint32_t tempLength = platform.GetTempPath(temp, kPathBufferSize);
  if (tempLength != 0 && tempLength < kPathBufferSize) std::memcpy(folder, temp, sizeof folder);
  folder[kPathBufferSize - 1] = '\0';
  return folder;
}

void ExtractImages(platform::Platform& platform, const ImageSet* images) {
  const std::string folder = WorkFolder(platform);

  auto extract = [&](int index) {
    const CatalogueEntry& entry = kCatalogue[index];
    const std::string path = ComposePath(entry.pathFormat, folder);
    if (platform.FindFile(path)) {
      // Archive alone clears read-only, hidden and system, so a protected
      // copy from an earlier run can be deleted.
      platform.SetFileAttributes(path, platform::kFileAttributeArchive);
      platform.DeleteFile(path);
    }
    try {
      if (images != nullptr) {
        // Images named at start-up replace the built-in payloads.
        const auto payload = ImagePayload(platform, images, index);
        if (payload) BytesToFile(platform, FullImagePath(platform, path), *payload);
      } else {
        BinRes::ResourceToFile(platform, kResourceType, entry.resourceId, path);
      }
    } catch (const std::runtime_error&) {
      // No executable folder to resolve a relative path against: this entry
      // gets no file, and the others are still attempted.
    }
  };

  for (int i = 0; i < kFirstSubFolderEntry; ++i) extract(i);
  // An existing sub-folder is no failure, so the result is not looked at.
  platform.CreateDirectory(ComposePath(kSubFolderFormat, folder));
  for (int i = kFirstSubFolderEntry; i < 31; ++i) extract(i);
}

std::string BinRes::GetExeFolder(platform::Platform& platform) {
  std::string exe = platform.GetModuleFileName();
  if (exe.size() > kExeBufferSize - 1) exe.resize(kExeBufferSize - 1);
  const size_t slash = exe.rfind('\\');
  if (slash == std::string::npos) throw std::runtime_error("Unable to get exe location");
  return exe.substr(0, slash);
}

// The operation takes its texts by value, as its callers know it.
// NOLINTBEGIN(performance-unnecessary-value-param)
void BinRes::ResourceToFile(platform::Platform& platform, std::string type, uint16_t id,
                            std::string path) {
  // NOLINTEND(performance-unnecessary-value-param)
  const std::string fullPath = FullImagePath(platform, path);

  // A missing resource leaves no file rather than an empty one: an empty
  // image would be taken by the updates as an ISP of zeros, while a missing
  // file makes them stop with "cannot be opened".
  const auto resource = platform.FindResource(type.c_str(), id);
  if (!resource) return;
  BytesToFile(platform, fullPath, *resource);
}

}  // namespace kestrune
