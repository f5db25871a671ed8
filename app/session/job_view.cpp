#include "app/session/job_view.h"

#include <algorithm>

namespace kestrune::session {

void JobView::ResetList(int id) {
  lists_[id].clear();
  selection_[id] = -1;
}

int JobView::AddListString(int id, const std::string& text) {
  auto& list = lists_[id];
  auto at = std::upper_bound(list.begin(), list.end(), text);
  const int index = static_cast<int>(at - list.begin());
  list.insert(at, text);
  return index;
}

int JobView::GetListSelection(int id) {
  auto found = selection_.find(id);
  if (found == selection_.end()) return -1;
  const auto& list = lists_[id];
  // A combo box reports no selection once its entry is gone.
  if (found->second < 0 || found->second >= static_cast<int>(list.size())) return -1;
  return found->second;
}

bool JobView::IsVisible(int id) const {
  auto found = visible_.find(id);
  return found == visible_.end() || found->second;
}

bool JobView::IsEnabled(int id) const {
  auto found = enabled_.find(id);
  return found == enabled_.end() || found->second;
}

const std::vector<std::string>& JobView::List(int id) const {
  static const std::vector<std::string> kEmpty;
  auto found = lists_.find(id);
  return found == lists_.end() ? kEmpty : found->second;
}

}  // namespace kestrune::session
