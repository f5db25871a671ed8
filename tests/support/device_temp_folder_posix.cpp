#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "tests/support/device_temp_folder.h"

namespace kestrune::testing {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::path();
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (path_.empty()) return;
  // Read-only entries would block the removal.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

void TempFolder::Write(const std::string& name, const std::string& text) const {
  std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::string TempFolder::Read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  if (!in) return "<missing>";
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kestrune::testing
