// watch: the command runs on each USB drive as it is plugged in, in a
// thread of its own with a free letter and that letter's folders, as
// --all runs its drives; an unplugged drive frees its letter once its job
// is over. An interrupt ends the watch after the work under way, and the
// summary tells of every drive seen.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/session/drive_runner.h"
#include "device/transport.h"
#include "platform/drive_watch.h"

namespace kestrune::session {

// The letters watch gives, in this order; a drive plugged in while all are
// taken is left alone (see RunWatch).
inline constexpr char kFirstWatchLetter = 'D';
inline constexpr char kLastWatchLetter = 'Z';

// The question watch fix asks once, before any drive.
inline constexpr const char* kWatchQuestion =
    "update new ISP code on every drive plugged in from now on ?";

// Said on stderr once the watch watches and an interrupt ends it as its way
// out (not with --quiet).
inline constexpr const char* kWatchingText = "watching for USB drives; an interrupt ends the watch";

// What a watch says of the `count` drives it leaves alone because they
// were plugged in before it began.
std::string PresentLeftAloneText(size_t count);

struct WatchRun {
  // The request, front end, end, folders and images of the run.
  const RunSetup& run;
  platform::DriveWatch& watch;
  // The opener of the drive at `node`, serving `letter` alone; null with
  // `problem` set when it cannot be had.
  std::function<std::unique_ptr<device::VolumeOpener>(char letter, const std::string& node,
                                                      std::string& problem)>
      open = nullptr;
  // How long one wait for the host's events lasts.
  uint32_t waitMilliseconds = 100;
  // Whether the watch is to end now; null: once an interrupt came.
  std::function<bool()> stop = nullptr;
};

// Watches until an interrupt; returns the exit code from the reports of the
// drives seen. A drive that finds every letter taken is not run: it is
// named as a problem of the run and fails it, and is taken when plugged in
// again once a letter is free.
int RunWatch(const WatchRun& watch);

}  // namespace kestrune::session
