// The console's commands, once: the word that names each, what it does,
// and what it goes with. Parsing, help, the documents and watch read this
// table.
#pragma once

#include <string_view>

#include "app/console/console_options.h"

namespace kestrune::console {

struct CommandRow {
  Command command;
  const char* name;
  const char* does;
  // watch may run it on each drive plugged in.
  bool watched;
};

inline constexpr CommandRow kCommands[] = {
    {Command::kScan, "scan", "start up and list the drives", true},
    {Command::kFix, "fix", "Start Fix on the selected drive", true},
    {Command::kDestroy, "destroy", "Destory ISP on the selected drive", false},
    {Command::kBackup, "backup", "save the ISP areas of the selected drive to ISP<n>_Backup.bin",
     true},
    {Command::kRestore, "restore", "write backup files back", false},
    {Command::kList, "list", "the candidate disks as sysfs describes them, none opened", false},
    {Command::kExportDrive, "export-drive",
     "OUT.json: a virtual drive made of the recording --drive names", false},
    {Command::kMap, "map",
     "draw the selected drive's flash, its ISP copies compared with the image, into ISP_Map.svg",
     false},
};

// The word of `command`; empty for the interactive prompt, which has none.
constexpr const char* CommandWord(Command command) {
  for (const CommandRow& row : kCommands) {
    if (row.command == command) return row.name;
  }
  return "";
}

// The row `word` names; null for none.
constexpr const CommandRow* FindCommand(std::string_view word) {
  for (const CommandRow& row : kCommands) {
    if (word == row.name) return &row;
  }
  return nullptr;
}

static_assert(std::string_view(CommandWord(Command::kExportDrive)) == "export-drive");
static_assert(std::string_view(CommandWord(Command::kInteractive)).empty());

}  // namespace kestrune::console
