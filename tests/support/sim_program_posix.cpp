#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "tests/support/device_temp_folder.h"
#include "tests/support/sim_program.h"

namespace kestrune::testing {

namespace fs = std::filesystem;

fs::path SimProgram::MakeFolder() {
  static std::atomic<unsigned> counter{0};
  static const unsigned salt = std::random_device{}();
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate =
        base / ("kestrune-sim-" + std::to_string(salt) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) return candidate;
    if (ec) throw std::runtime_error("cannot create a test folder under " + base.string());
  }
}

SimProgram::SimProgram(bool logging)
    : folder_(MakeFolder()),
      options_(FolderOptions(folder_)),
      platform(platform::CreateHostPlatform(options_)),
      link(volumes),
      log(*platform),
      program(*platform, link, log, view) {
  if (logging) std::ofstream(folder_ / "ISP.log", std::ios::binary);
}

SimProgram::~SimProgram() {
  drives_.clear();
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

sim::VirtualDrive& SimProgram::Attach(char letter, std::unique_ptr<sim::VirtualDrive> drive,
                                      const std::string& file) {
  if (!drive) throw std::runtime_error("virtual drive did not load");
  volumes.Detach(letter);
  drives_.erase(letter);
  sim::VirtualDrive& ref = *drive;
  drives_[letter] = Plugged{std::move(drive), file};
  volumes.Attach(letter, ref);
  return ref;
}

sim::VirtualDrive& SimProgram::Plug(char letter, const sim::DriveDescription& description) {
  std::string error;
  auto drive = sim::VirtualDrive::FromDescription(description, &error);
  if (!drive) throw std::runtime_error("virtual drive: " + error);
  return Attach(letter, std::move(drive), "");
}

sim::VirtualDrive& SimProgram::PlugDefault(char letter) {
  return Attach(letter, sim::VirtualDrive::Default(), "");
}

sim::VirtualDrive& SimProgram::PlugReady(char letter, const std::string& fileName) {
  const fs::path copy = folder_ / ("drive-" + std::string(1, letter) + "-" + fileName);
  fs::copy_file(fs::path(KESTRUNE_TEST_DRIVES) / fileName, copy,
                fs::copy_options::overwrite_existing);
  fs::remove(sim::FlashPathFor(copy.string()));
  std::string error;
  auto drive = sim::VirtualDrive::FromFile(copy.string(), &error);
  if (!drive) throw std::runtime_error("virtual drive: " + error);
  return Attach(letter, std::move(drive), copy.string());
}

sim::VirtualDrive& SimProgram::Replug(char letter) {
  const std::string file = drives_.at(letter).file;
  if (file.empty()) {
    // An in-memory drive keeps its flash object; only the power cycle shows.
    sim::VirtualDrive& d = drive(letter);
    d.PowerCycle();
    return d;
  }
  Unplug(letter);
  std::string error;
  auto fresh = sim::VirtualDrive::FromFile(file, &error);
  if (!fresh) throw std::runtime_error("virtual drive: " + error);
  return Attach(letter, std::move(fresh), file);
}

void SimProgram::Unplug(char letter) {
  volumes.Detach(letter);
  auto it = drives_.find(letter);
  if (it == drives_.end()) return;
  it->second.drive->Save();
  drives_.erase(it);
}

fs::path SimProgram::HostPath(const std::string& programPath) const {
  std::string rest = programPath;
  if (rest.size() >= 2 && rest[1] == ':') rest = rest.substr(2);
  fs::path out = folder_;
  std::string part;
  for (char c : rest + "\\") {
    if (c == '\\' || c == '/') {
      if (!part.empty()) {
        // Match an existing entry without regard to case, as the platform does.
        fs::path next = out / part;
        std::error_code ec;
        if (!fs::exists(next, ec) && fs::is_directory(out, ec)) {
          for (const auto& entry : fs::directory_iterator(out, ec)) {
            std::string a = entry.path().filename().string();
            std::string b = part;
            if (a.size() == b.size() &&
                std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                  return std::tolower(static_cast<unsigned char>(x)) ==
                         std::tolower(static_cast<unsigned char>(y));
                })) {
              next = entry.path();
              break;
            }
          }
        }
        out = next;
      }
      part.clear();
    } else {
      part += c;
    }
  }
  return out;
}

bool SimProgram::HostFileExists(const std::string& programPath) const {
  std::error_code ec;
  return fs::is_regular_file(HostPath(programPath), ec);
}

std::string SimProgram::LogText() const {
  const auto bytes = HostFile("c:\\ISP.log");
  return {bytes.begin(), bytes.end()};
}

std::vector<uint8_t> SimProgram::HostFile(const std::string& programPath) const {
  std::ifstream file(HostPath(programPath), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace kestrune::testing
