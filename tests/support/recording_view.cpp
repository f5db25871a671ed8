#include "tests/support/recording_view.h"

#include <algorithm>

namespace kestrune::testing {

int RecordingView::ShowMessage(const std::string& text, const std::string& caption,
                               unsigned style) {
  int answer = kIdOk;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  } else if ((style & 0xF) == kMbOkCancel) {
    answer = defaultAnswer;
  }
  boxes.push_back({text, caption, style, answer});
  if (whileShown) whileShown(text);
  return answer;
}

void RecordingView::ResetList(int id) {
  lists[id].clear();
  selection[id] = -1;
}

int RecordingView::AddListString(int id, const std::string& text) {
  auto& list = lists[id];
  auto at = std::upper_bound(list.begin(), list.end(), text);
  int index = static_cast<int>(at - list.begin());
  list.insert(at, text);
  return index;
}

int RecordingView::GetListSelection(int id) {
  auto found = selection.find(id);
  return found == selection.end() ? -1 : found->second;
}

std::string RecordingView::BrowseForFile(const std::string& filter, uint32_t flags) {
  (void)filter;
  (void)flags;
  return browseResult;
}

void RecordingView::Step(const StepEvent& step) {
  // Only the steps the console prints: the scan and erases are not among them.
  if (step.kind == StepKind::kScan || step.kind == StepKind::kErase) return;
  const char* mark = step.state == StepState::kDone     ? "done: "
                     : step.state == StepState::kFailed ? "failed: "
                                                        : "start: ";
  progress.push_back(mark + step.text);
}

std::vector<std::string> RecordingView::BoxTexts() const {
  std::vector<std::string> texts;
  for (const auto& box : boxes) texts.push_back(box.text);
  return texts;
}

bool RecordingView::Saw(const std::string& text) const {
  return std::any_of(boxes.begin(), boxes.end(), [&](const ShownBox& b) { return b.text == text; });
}

}  // namespace kestrune::testing
