#include "app/win32/main_dialog.h"

#include <string>

#include "resources/resource.h"

namespace kestrune::win32 {
namespace {

struct DialogState {
  HINSTANCE instance;
  CKestruneDlg* dialog;
  Win32View* view;
  HICON icon;
  const MainDialogHooks* hooks;
  // A handler's message boxes pump messages; nothing else may start while
  // one runs, and a close request waits for it.
  bool busy = false;
  bool closePending = false;
};

// The window's user data carries the state pointer handed to WM_INITDIALOG.
DialogState* StateOf(HWND hwnd) {
  return reinterpret_cast<DialogState*>(  // NOLINT(performance-no-int-to-ptr)
      GetWindowLongPtrA(hwnd, DWLP_USER));
}

// The About box's second line says which images the run writes; lParam
// carries the dialog that knows.
INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* dialog = reinterpret_cast<CKestruneDlg*>(lParam);  // NOLINT(performance-no-int-to-ptr)
      if (dialog != nullptr) SetDlgItemTextA(hwnd, IDC_ABOUT_IMAGES, dialog->ImagesText().c_str());
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(hwnd, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

void CloseDialog(HWND hwnd, DialogState& state) {
  state.busy = true;
  state.dialog->OnClose();
  state.busy = false;
  if (state.hooks->afterHandler) state.hooks->afterHandler();
  EndDialog(hwnd, IDCANCEL);
}

template <typename Handler>
void RunHandler(HWND hwnd, DialogState& state, Handler handler) {
  if (state.busy) return;
  state.busy = true;
  handler();
  state.busy = false;
  if (state.hooks->afterHandler) state.hooks->afterHandler();
  if (state.closePending) {
    state.closePending = false;
    CloseDialog(hwnd, state);
  }
}

void AppendAboutItem(HWND hwnd, HINSTANCE instance) {
  HMENU systemMenu = GetSystemMenu(hwnd, FALSE);
  if (!systemMenu) return;
  char about[256] = {};
  if (LoadStringA(instance, IDS_ABOUTBOX, about, sizeof(about)) <= 0 || about[0] == '\0') return;
  AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
}

// Draws the icon centred in the client area of the minimised dialog.
void PaintMinimised(HWND hwnd, HICON icon) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  int iconWidth = GetSystemMetrics(SM_CXICON);
  int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(hwnd, &client);
  int x = (client.right - client.left - iconWidth + 1) / 2;
  int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, icon);
  EndPaint(hwnd, &paint);
}

INT_PTR OnCommand(HWND hwnd, DialogState& state, WORD id, WORD code) {
  CKestruneDlg& dialog = *state.dialog;
  if (id == IDC_DRIVE_LIST) {
    if (code == CBN_SETFOCUS) RunHandler(hwnd, state, [&] { dialog.FillDriveList(); });
    if (code == CBN_SELCHANGE) RunHandler(hwnd, state, [&] { dialog.OnDriveSelChange(); });
    return TRUE;
  }
  if (code != BN_CLICKED) return FALSE;
  switch (id) {
    case IDC_START_FIX:
      RunHandler(hwnd, state, [&] { dialog.OnStartFix(); });
      return TRUE;
    case IDC_BROWSE:
      RunHandler(hwnd, state, [&] { dialog.OnBrowse(); });
      return TRUE;
    case IDC_CHECK_ISP:
      RunHandler(hwnd, state, [&] { dialog.OnCheckIsp(); });
      return TRUE;
    case IDC_DESTROY_ISP:
      RunHandler(hwnd, state, [&] { dialog.OnDestroyIsp(); });
      return TRUE;
    case IDOK:
    case IDCANCEL:
      // Enter and Escape end the dialog; they take the close road so that
      // the drives are restarted as after the close box.
      if (state.busy) {
        state.closePending = true;
      } else {
        CloseDialog(hwnd, state);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK MainDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* state = reinterpret_cast<DialogState*>(lParam);  // NOLINT(performance-no-int-to-ptr)
    SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    state->view->Attach(hwnd);
    AppendAboutItem(hwnd, state->instance);
    SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state->icon));
    SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state->icon));
    bool keepFocus = true;
    RunHandler(hwnd, *state, [&] { keepFocus = state->dialog->OnInitDialog(); });
    return keepFocus ? TRUE : FALSE;
  }
  DialogState* state = StateOf(hwnd);
  if (!state) return FALSE;
  switch (message) {
    case WM_SYSCOMMAND:
      if (state->dialog->OnSysCommand(static_cast<uint32_t>(wParam))) {
        DialogBoxParamA(state->instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), hwnd, AboutProc,
                        reinterpret_cast<LPARAM>(state->dialog));
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      if (IsIconic(hwnd)) {
        PaintMinimised(hwnd, state->icon);
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(state->icon);
    case WM_COMMAND:
      return OnCommand(hwnd, *state, LOWORD(wParam), HIWORD(wParam));
    case WM_CLOSE:
      if (state->busy) {
        state->closePending = true;
      } else {
        CloseDialog(hwnd, *state);
      }
      return TRUE;
    case WM_DESTROY:
      state->view->Attach(nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR RunMainDialog(HINSTANCE instance, HWND owner, CKestruneDlg& dialog, Win32View& view,
                      HICON icon, const MainDialogHooks& hooks) {
  DialogState state{instance, &dialog, &view, icon, &hooks};
  return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_KESTRUNE_DIALOG), owner, MainDialogProc,
                         reinterpret_cast<LPARAM>(&state));
}

}  // namespace kestrune::win32
