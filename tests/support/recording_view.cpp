#include "tests/support/recording_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace kestrune::testing {

namespace {

// The paths on drive C: that `text` shows ("C:\\ISP0_Before.bin",
// "C:\\E\\ISP0_Before.bin"), each up to the first character no name of
// the program's holds.
std::vector<std::string> PathsOnC(const std::string& text) {
  std::vector<std::string> paths;
  for (size_t at = 0; (at = text.find(":\\", at)) != std::string::npos; at += 2) {
    if (at == 0 || std::toupper(static_cast<unsigned char>(text[at - 1])) != 'C') continue;
    if (at >= 2 && std::isalnum(static_cast<unsigned char>(text[at - 2]))) continue;
    size_t end = text.find_first_of(" \n<>\"'(),;", at);
    if (end == std::string::npos) end = text.size();
    while (end > at + 2 && text[end - 1] == '.') --end;
    paths.push_back(text.substr(at - 1, end - at + 1));
  }
  return paths;
}

}  // namespace

int RecordingView::ShowMessage(const std::string& text, const std::string& caption,
                               unsigned style) {
  return ShowMessageNaming(text, caption, style, {});
}

int RecordingView::ShowMessageNaming(const std::string& text, const std::string& caption,
                                     unsigned style, const std::vector<BoxFile>& files) {
  std::vector<std::string> named;
  for (const BoxFile& file : files) named.push_back(file.name);
  for (const std::string& path : PathsOnC(text)) {
    if (std::find(named.begin(), named.end(), path) == named.end()) {
      ADD_FAILURE() << "the box names " << path << " but not among its files: " << text;
    }
  }
  int answer = kIdOk;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  } else if ((style & 0xF) == kMbOkCancel) {
    answer = defaultAnswer;
  }
  boxes.push_back({text, caption, style, answer, std::move(named)});
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
