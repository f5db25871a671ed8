#include "app/session/run_drives.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "app/session/drive_job.h"
#include "app/session/host_devices.h"
#include "app/session/host_disks.h"
#include "platform/drive_watch.h"

namespace kestrune::session {

bool ResolveDrives(std::vector<DriveArgument>& drives, std::string& problem) {
  MarkReplays(drives);
  for (DriveArgument& drive : drives) {
    if (drive.simulated || drive.replay) continue;
    drive.path = ResolveDriveNode(drive.path, problem);
    if (drive.path.empty()) return false;
  }
  problem = SameDriveTwice(drives);
  return problem.empty();
}

bool BuildDrives(const RunRequest& plan, const std::vector<std::string>& arguments,
                 DriveSource& source, ReplayDrives& replays,
                 const std::function<void(const std::string&)>& warn, std::string& problem) {
  if (!source.Load(plan, problem)) return false;
  if (!replays.Open(plan.drives, plan.all, plan.builtIn, problem)) return false;
  for (const std::string& unchecked : replays.Unchecked()) warn(UncheckedWarning(unchecked));
  replays.MapInto(source.volumes());
  if (!source.Connect(!replays.empty(), problem)) return false;
  source.Record(StartRecording(plan, arguments, source.volumes(),
                               plan.all ? source.Letters() : std::vector<char>{}, problem));
  if (!plan.recordFile.empty() && !source.recording()) return false;
  return plan.traceFile.empty() || source.Trace(plan.traceFile, problem);
}

std::vector<AllDrive> AllDrivesOf(DriveSource& source) {
  std::vector<AllDrive> drives;
  for (LoadedDrive& drive : source.drives()) {
    drives.push_back({drive.letter, drive.Name(), drive.drive.get()});
  }
  for (const auto& [letter, node] : source.nodes()) drives.push_back({letter, node, nullptr});
  std::sort(drives.begin(), drives.end(),
            [](const AllDrive& a, const AllDrive& b) { return a.letter < b.letter; });
  // The serial the summary shows: the stick's own word, read without
  // opening it, kept to printable text.
  for (AllDrive& drive : drives) {
    drive.serial = platform::BoundedDriveText(source.opener().UsbSerial(drive.letter));
  }
  // The port of a host disk: its USB path, as the host lists it.
  std::vector<HostDisk> disks;
  std::string problem;
  if (!source.nodes().empty() && ListHostDisks(kHostSysfsRoot, kHostDevRoot, disks, problem)) {
    for (AllDrive& drive : drives) {
      if (drive.simulated != nullptr) continue;
      for (const HostDisk& disk : disks) {
        if (disk.node != drive.source) continue;
        drive.port = platform::BoundedDriveText(disk.usbPath);
        if (drive.serial.empty()) drive.serial = platform::BoundedDriveText(disk.serial);
      }
    }
  }
  // A node the disk list does not name (a generic SCSI node, /dev/sg2): its
  // port as the pass-through finds it, from the node up to its USB device.
  for (AllDrive& drive : drives) {
    if (drive.simulated == nullptr && drive.port.empty()) {
      drive.port = platform::BoundedDriveText(source.opener().UsbPort(drive.letter));
    }
  }
  return drives;
}

std::vector<DrivePlace> PlacesOf(DriveSource& source) {
  std::vector<DrivePlace> places;
  for (const AllDrive& drive : AllDrivesOf(source)) {
    places.push_back({drive.letter, drive.source, drive.port, drive.serial});
  }
  // Without a drive named the host's own letters serve the run, as its
  // disk list gives them.
  if (!places.empty()) return places;
  std::vector<HostDisk> disks;
  std::string problem;
  if (!ListHostDisks(kHostSysfsRoot, kHostDevRoot, disks, problem)) return places;
  for (const HostDisk& disk : disks) {
    if (disk.letter == 0) continue;
    places.push_back({disk.letter, disk.node, platform::BoundedDriveText(disk.usbPath),
                      platform::BoundedDriveText(disk.serial)});
  }
  return places;
}

int RunOneDrive(const OneDriveRun& one) {
  const RunSetup& run = one.setup;
  RunEnd& end = run.end;
  const std::unique_ptr<LineStream> boxStream = run.front.Lines(RunFront::Output::kBoxes, {});
  const std::unique_ptr<LineStream> errStream = run.front.Lines(RunFront::Output::kErrors, {});
  DriveJob job(0, {}, *boxStream, *errStream);
  std::unique_ptr<DriveRows> rows;
  if (run.request.command == JobCommand::kFix) rows = run.front.Rows();
  if (rows) job.watcher = &rows->Add(job);
  job.platform = &one.platform;
  job.in = &one.in;
  job.answering = run.request.answering;
  job.places = PlacesOf(one.source);
  // A replay's letter stands on its recording.
  for (const DriveArgument& drive : run.request.drives) {
    // A replay's serial is the one its recording kept; it keeps no port.
    if (drive.replay) {
      job.places.push_back(
          {drive.letter,
           drive.path,
           {},
           platform::BoundedDriveText(one.source.opener().UsbSerial(drive.letter))});
    }
  }
  for (LoadedDrive& drive : one.source.drives()) {
    job.saves.emplace_back(drive.drive.get(), drive.Name());
  }
  const RunEnd::Attachment attached = end.Attach({&job}, true);
  job.Run({run.request, run.front, run.images, one.source.opener(), run.allowStandInImages,
           one.colour});
  boxStream->Finish();
  errStream->Finish();
  if (rows) rows->Stop();
  for (const std::string& broken : one.source.FinishRecording()) end.Problem(broken);
  // A replay that left its recording stopped the run there: what it did
  // before is told, and nothing after it happened.
  if (const std::optional<device::Divergence> left = one.replays.Finish()) {
    if (one.diverged) one.diverged(*left);
    return end.Fail(kExitUsage, device::DescribeDivergence(*left));
  }
  return end.Finish();
}

}  // namespace kestrune::session
