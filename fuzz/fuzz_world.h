// The program around a fuzz target: a host platform on a scratch folder
// (C: and the temporary folder), the embedded images extracted once, a view
// that answers OK to everything, and a fresh Program for every input.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "base/program.h"
#include "device/link.h"
#include "log/isp_log.h"
#include "operations/operations.h"
#include "platform/platform.h"
#include "view/view.h"

namespace kestrune::fuzz {

class OkView : public View {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override;

  int boxes = 0;
  // Boxes that announced a successful update or destroy.
  int successes = 0;
  // Answer Cancel to OK/Cancel boxes (the confirmation before an update).
  bool cancelQuestions = false;
};

using NullDialog = CommandWindow;

class World {
 public:
  // The one world of this process (created on first use).
  static World& Get();

  // Runs `body` on a fresh Program over `opener`. Files an earlier input
  // left on C: are removed first, so every input starts alike.
  void Run(device::VolumeOpener& opener, const std::function<void(Program&)>& body,
           bool cancelQuestions = false);

  platform::Platform& platform() { return *platform_; }
  const std::filesystem::path& cFolder() const { return cFolder_; }
  // Host path of the file a program path names on C: ("C:\\x.bin").
  std::filesystem::path OnC(const std::string& name) const { return cFolder_ / name; }

 private:
  World();
  void CleanC();

  std::filesystem::path root_;
  std::filesystem::path cFolder_;
  std::filesystem::path tempFolder_;
  std::unique_ptr<platform::Platform> platform_;
};

// The two families' controllers, and one id the program does not know.
ControllerId PickController(uint8_t selector);

}  // namespace kestrune::fuzz
