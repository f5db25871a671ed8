#include "app/win32/win32_view.h"

#include <commdlg.h>

#include <vector>

namespace kestrune::win32 {

std::string ToOpenFileFilter(const std::string& filter) {
  std::string converted = filter;
  for (char& c : converted) {
    if (c == '|') c = '\0';
  }
  // The list ends at two NULs even when the text lacks its closing "||".
  converted.push_back('\0');
  converted.push_back('\0');
  return converted;
}

int Win32View::ShowMessage(const std::string& text, const std::string& caption, unsigned style) {
  return MessageBoxA(dialog_, text.c_str(), caption.c_str(), style & ~kBoxTellsReplug);
}

void Win32View::StatusChanged(const std::string& text) {
  ShowControl(kIdcStatus, false);
  SetControlText(kIdcStatus, text);
}

void Win32View::ShowControl(int id, bool show) {
  ShowWindow(GetDlgItem(dialog_, id), show ? SW_SHOW : SW_HIDE);
}

void Win32View::EnableControl(int id, bool enable) {
  EnableWindow(GetDlgItem(dialog_, id), enable ? TRUE : FALSE);
}

void Win32View::SetControlText(int id, const std::string& text) {
  SetDlgItemTextA(dialog_, id, text.c_str());
}

std::string Win32View::GetControlText(int id) {
  HWND control = GetDlgItem(dialog_, id);
  if (!control) return {};
  int length = GetWindowTextLengthA(control);
  std::vector<char> buffer(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  int copied = GetWindowTextA(control, buffer.data(), static_cast<int>(buffer.size()));
  return std::string(buffer.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

void Win32View::ResetList(int id) { SendDlgItemMessageA(dialog_, id, CB_RESETCONTENT, 0, 0); }

int Win32View::AddListString(int id, const std::string& text) {
  return static_cast<int>(
      SendDlgItemMessageA(dialog_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void Win32View::SetListSelection(int id, int index) {
  SendDlgItemMessageA(dialog_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32View::GetListSelection(int id) {
  LRESULT selection = SendDlgItemMessageA(dialog_, id, CB_GETCURSEL, 0, 0);
  return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

std::string Win32View::BrowseForFile(const std::string& filter, uint32_t flags) {
  const std::string filterList = ToOpenFileFilter(filter);
  // Room for long names: the dialog is asked for them with OFN_LONGNAMES.
  std::vector<char> path(32768, '\0');
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = dialog_;
  dialog.lpstrFilter = filterList.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  dialog.Flags = flags;
  if (!GetOpenFileNameA(&dialog)) return {};
  return std::string(path.data());
}

void Win32View::CloseMainWindow() {
  // Posted, so that the handler asking for it finishes before the close runs.
  if (dialog_) PostMessageA(dialog_, WM_CLOSE, 0, 0);
}

}  // namespace kestrune::win32
