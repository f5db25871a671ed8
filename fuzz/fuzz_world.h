// The program around a fuzz target: a host platform on a scratch folder
// (C: and the temporary folder), the embedded images extracted once, a view
// that answers OK to everything, and a fresh Program for every input.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "device/link.h"
#include "base/program.h"
#include "log/isp_log.h"
#include "operations/operations.h"
#include "platform/platform.h"
#include "view/view.h"

namespace kestrune::fuzz {

class OkView : public View {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override;
  void ShowControl(int, bool) override {}
  void EnableControl(int, bool) override {}
  void SetControlText(int, const std::string&) override {}
  std::string GetControlText(int) override { return {}; }
  void ResetList(int) override {}
  int AddListString(int, const std::string&) override { return 0; }
  void SetListSelection(int, int) override {}
  int GetListSelection(int) override { return 0; }
  std::string BrowseForFile(const std::string&, uint32_t) override { return {}; }
  void CloseMainWindow() override {}

  int boxes = 0;
  // Boxes that announced a successful update or destroy.
  int successes = 0;
  // Answer Cancel to OK/Cancel boxes (the confirmation before an update).
  bool cancelQuestions = false;
};

class NullDialog : public DialogControls {
 public:
  void DisableInputs() override {}
  void EnableInputs() override {}
  void ShowControl(int, bool) override {}
  void FillDriveList() override {}
};

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
