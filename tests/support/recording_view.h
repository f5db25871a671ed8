// A view that records what the user saw and answers boxes from a script;
// as the observer of a program's reports it records the steps and files too.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/dialog/window_controls.h"
#include "base/report.h"
#include "view/view.h"

namespace kestrune::testing {

struct ShownBox {
  std::string text;
  std::string caption;
  unsigned style;
  int answer;
  // The files the program said the text names.
  std::vector<std::string> files;
};

// It is the window's controls too, for the dialog's tests.
class RecordingView : public View, public WindowControls, public ReportObserver {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, unsigned style) override;
  // Every box records the files it names, and fails the test when its
  // text names a file on drive C: that is not among them: a console would
  // not say where that file is on its host.
  int ShowMessageNaming(const std::string& text, const std::string& caption, unsigned style,
                        const std::vector<BoxFile>& files) override;
  // The status line is the dialog's status control.
  void StatusChanged(const std::string& text) override {
    visible[kIdcStatus] = false;
    texts[kIdcStatus] = text;
  }
  void ShowControl(int id, bool show) override { visible[id] = show; }
  void EnableControl(int id, bool enable) override { enabled[id] = enable; }
  void SetControlText(int id, const std::string& text) override { texts[id] = text; }
  std::string GetControlText(int id) override { return texts[id]; }
  void ResetList(int id) override;
  int AddListString(int id, const std::string& text) override;
  void SetListSelection(int id, int index) override { selection[id] = index; }
  int GetListSelection(int id) override;
  std::string BrowseForFile(const std::string& filter, uint32_t flags) override;
  void CloseMainWindow() override { ++closeRequests; }
  void Step(const StepEvent& step) override;
  void FileKept(const KeptFile& file) override { files.push_back(file); }

  // Answers for the next boxes, in order; when none is queued, OK/Cancel
  // boxes get `defaultAnswer` and other boxes kIdOk.
  std::deque<int> answers;
  int defaultAnswer = kIdOk;
  // Runs while a box is up, before it is answered: what the user might do
  // meanwhile (say, change a file).
  std::function<void(const std::string& text)> whileShown;
  std::string browseResult;

  std::vector<ShownBox> boxes;
  std::map<int, bool> visible;
  std::map<int, bool> enabled;
  std::map<int, std::string> texts;
  std::map<int, std::vector<std::string>> lists;
  std::map<int, int> selection;
  // "start: ", "done: " or "failed: " and the step.
  std::vector<std::string> progress;
  std::vector<KeptFile> files;
  int closeRequests = 0;

  // Texts of the boxes shown, in order.
  std::vector<std::string> BoxTexts() const;
  bool Saw(const std::string& text) const;
};

}  // namespace kestrune::testing
