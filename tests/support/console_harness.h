// The folders, drives and in-process runs the console's tests share: a C:
// folder and a private work folder in a folder of the test's own, copies of
// the ready-made drives beside them, and the console run on all of it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::testing {

// Whether the console's input and output count as terminals.
struct Terminals {
  bool input = false;
  bool output = false;
};

class ConsoleHarness : public ::testing::Test {
 protected:
  ConsoleHarness() {
    std::filesystem::create_directories(CFolder());
    std::filesystem::create_directories(WorkFolder());
    // Private, as a work folder of the user's own would be.
    std::filesystem::permissions(WorkFolder(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
  }

  std::filesystem::path CFolder() const { return folder.path() / "c"; }
  std::filesystem::path WorkFolder() const { return folder.path() / "t"; }

  // A copy named `copy` of the ready-made drive `file`, beside the folders.
  // Without a fault plan or changes it is the very bytes; otherwise the
  // description gets `faults`, then `changes` merged in.
  std::filesystem::path CopyDrive(const std::string& file, const std::string& copy,
                                  const nlohmann::json& faults = nullptr,
                                  const nlohmann::json& changes = nullptr) {
    const std::filesystem::path from = std::filesystem::path(KESTRUNE_TEST_DRIVES) / file;
    const std::filesystem::path path = folder.path() / copy;
    if (faults.is_null() && changes.is_null()) {
      std::filesystem::copy_file(from, path);
      return path;
    }
    nlohmann::json drive = nlohmann::json::parse(std::ifstream(from));
    if (!faults.is_null()) drive["faults"] = faults;
    if (!changes.is_null()) drive.merge_patch(changes);
    std::ofstream(path) << drive.dump();
    return path;
  }

  // A copy of `file` on `letter`, which every run of this test is given.
  std::filesystem::path AddDriveOn(char letter, const std::string& file,
                                   const nlohmann::json& faults = nullptr,
                                   const nlohmann::json& changes = nlohmann::json::object()) {
    const std::filesystem::path path =
        CopyDrive(file, std::string(1, letter) + ".json", faults,
                  changes.is_null() ? nlohmann::json::object() : changes);
    driveArguments.insert(driveArguments.end(),
                          {"--drive", std::string(1, letter) + "=" + path.string()});
    return path;
  }

  // The letter the next drive added takes: E, then F, ...
  char NextLetter() const { return static_cast<char>('E' + driveArguments.size() / 2); }

  // The console on `cDrive` and the work folder, with the drives added and
  // then `arguments`; `input` is what the user types.
  ConsoleResult RunIn(const std::string& cDrive, const std::vector<std::string>& arguments,
                      const std::string& input = "", Terminals terminals = {}) {
    std::vector<std::string> all{"--c-drive", cDrive, "--temp", tempArgument};
    all.insert(all.end(), driveArguments.begin(), driveArguments.end());
    all.insert(all.end(), arguments.begin(), arguments.end());
    return RunConsoleWith(all, input, terminals.input, terminals.output);
  }

  ConsoleResult RunHere(const std::vector<std::string>& arguments, const std::string& input = "",
                        Terminals terminals = {}) {
    return RunIn(CFolder().string(), arguments, input, terminals);
  }

  TempFolder folder;
  // What --temp names: the work folder unless a test names another.
  std::string tempArgument = WorkFolder().string();
  std::vector<std::string> driveArguments;
};

}  // namespace kestrune::testing
