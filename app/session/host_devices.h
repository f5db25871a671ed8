// The host's real drives, as the console reaches them.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "device/transport.h"
#include "platform/platform.h"
#include "recording/recording.h"

namespace kestrune::session {

// The opener of real drives. `nodes` maps letters to device nodes; when it
// is empty the host's own letter assignment is used. Null with `problem`
// set when the host cannot serve what was asked.
std::unique_ptr<device::VolumeOpener> MakeHostDevices(const std::map<char, std::string>& nodes,
                                                      std::string& problem);

// The device node of the whole disk a --drive path names: a /dev/disk/by-id
// or by-path link is followed to its node, so a bench slot keeps its letter
// while the kernel's names move, and a partition gives way to its disk.
// Empty, with `problem` set, for a partition whose disk cannot be found.
// Elsewhere the path as given.
std::string ResolveDriveNode(const std::string& path, std::string& problem);

// The node whose lock stands for the drive a --drive path names: a SCSI
// generic node, a partition and the disk's node are one drive. Elsewhere
// the path as given.
std::string DriveLockNode(const std::string& path);

// The host's candidate drives by the letters they get, read once without
// opening any. Empty where the host reaches drives by their own letters.
std::map<char, std::string> HostDriveNodes();

// What the host says of the drive behind `letter`, for a recording: `node`
// is its --drive node, or empty for a drive of the host's own letter map.
device::DriveFacts HostDriveFacts(char letter, const std::string& node);

// Why the host cannot give each drive of --all folders of its own; empty
// where it can.
std::string DriveFoldersRefusal();

// The platform of one drive of --all: `options` place its C: folder and
// work folder, and its debug output goes to `debug`. Null, with `problem`
// set, where the host cannot give a drive folders of its own.
std::unique_ptr<platform::Platform> MakeDrivePlatform(const platform::PosixOptions& options,
                                                      std::function<void(const char*)> debug,
                                                      std::string& problem);

}  // namespace kestrune::session
