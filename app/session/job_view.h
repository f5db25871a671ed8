// The view a drive's job shows its boxes through: a dialog without a
// window, whose controls are state the commands read back. A front end
// gives the boxes, the file dialog and the lines of the steps.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/report.h"
#include "view/view.h"

namespace kestrune::session {

// It takes the job's steps as its reports tell them.
class JobView : public View, public ReportObserver {
 public:
  // The host path a program path ("C:\\ISP0_Backup.bin") stands for: each
  // box that names one is followed by a line saying where it really is.
  void SetHostPaths(std::function<std::string(const std::string&)> hostPath) {
    hostPath_ = std::move(hostPath);
  }
  void ShowControl(int id, bool show) override { visible_[id] = show; }
  void EnableControl(int id, bool enable) override { enabled_[id] = enable; }
  void SetControlText(int id, const std::string& text) override { texts_[id] = text; }
  std::string GetControlText(int id) override { return texts_[id]; }
  void ResetList(int id) override;
  int AddListString(int id, const std::string& text) override;
  void SetListSelection(int id, int index) override { selection_[id] = index; }
  int GetListSelection(int id) override;
  void CloseMainWindow() override { closeRequested_ = true; }
  // Called before an OK/Cancel question is shown; false answers it Cancel
  // unshown. None: every question is the view's own.
  void SetQuestionGate(std::function<bool()> gate) { gate_ = std::move(gate); }

  // Unknown controls count as visible and enabled, as a fresh dialog's do.
  bool IsVisible(int id) const;
  bool IsEnabled(int id) const;
  const std::vector<std::string>& List(int id) const;

  bool closeRequested() const { return closeRequested_; }
  // One of the dialog's commands is over (the interactive prompt runs
  // many): a view that held a box until the work on the drive was done
  // shows it now.
  virtual void CommandEnded() {}

 protected:
  const std::function<std::string(const std::string&)>& hostPath() const { return hostPath_; }
  // False when the gate answered the question Cancel.
  bool PassGate() const { return !gate_ || gate_(); }

 private:
  std::map<int, bool> visible_;
  std::map<int, bool> enabled_;
  std::map<int, std::string> texts_;
  std::map<int, std::vector<std::string>> lists_;
  std::map<int, int> selection_;
  std::function<std::string(const std::string&)> hostPath_;
  std::function<bool()> gate_;
  bool closeRequested_ = false;
};

}  // namespace kestrune::session
