#include "fuzz/fuzz_world.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "images/images.h"
#include "tests/support/device_test_link.h"

namespace kestrune::fuzz {

namespace fs = std::filesystem;

int OkView::ShowMessage(const std::string& text, const std::string& caption, unsigned style) {
  (void)caption;
  ++boxes;
  if (text.find("Success") != std::string::npos) ++successes;
  if (cancelQuestions && (style & 0xF) == kMbOkCancel) return kIdCancel;
  return kIdOk;
}

World& World::Get() {
  static World world;
  return world;
}

World::World() {
  char pattern[] = "/tmp/kestrune-fuzz-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  root_ = made;
  cFolder_ = root_ / "c";
  tempFolder_ = root_ / "t";
  fs::create_directories(cFolder_);
  fs::create_directories(tempFolder_);
  platform::PosixOptions options;
  options.cDriveFolder = cFolder_.string();
  options.tempFolder = tempFolder_.string();
  options.realSleep = false;
  platform_ = platform::CreateHostPlatform(options);

  // The code images must be in the work folder before any drive needs one.
  struct NoVolumes : device::VolumeOpener {
    device::OpenResult Open(char) override { return nullptr; }
    bool NeedsPrivilege() const override { return false; }
  } none;
  Run(none, [](Program& p) { ExtractImages(p.platform, p.images.get()); });
  // Remove the folder when the process ends, whichever way libFuzzer ends it.
  static const fs::path kRoot = root_;
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(kRoot, ignored);
  });
}

void World::CleanC() {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(cFolder_, ignored)) {
    if (entry.path().filename() != "ISP.log") fs::remove_all(entry.path(), ignored);
  }
}

void World::Run(device::VolumeOpener& opener, const std::function<void(Program&)>& body,
                bool cancelQuestions) {
  CleanC();
  // Logging is on when c:\ISP.log exists, so the log paths are fuzzed too.
  if (!fs::exists(cFolder_ / "ISP.log")) std::ofstream(cFolder_ / "ISP.log").put('\n');
  testing::TestLink link(opener);
  IspLog log(*platform_);
  log.StartLog();
  OkView view;
  view.cancelQuestions = cancelQuestions;
  Program program(*platform_, link, log, view);
  body(program);
  // Every road through the program closes what it opened.
  if (link.OpenVolumeCount() != 0) {
    std::fprintf(stderr, "fuzz: %zu volume(s) left open\n", link.OpenVolumeCount());
    std::abort();
  }
}

ControllerId PickController(uint8_t selector) {
  static constexpr ControllerId kIds[] = {kCtrl161, kCtrl168, kCtrl169, kCtrl162,
                                          kCtrl163, kCtrl165, kCtrl190, 0x000};
  return kIds[selector % (sizeof kIds / sizeof kIds[0])];
}

}  // namespace kestrune::fuzz
