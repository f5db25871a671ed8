// The main dialog window: template 102 run modally, its message map bound
// to CKestruneDlg, and the About box.
#pragma once

#include <windows.h>

#include <functional>

#include "app/dialog/dialog.h"
#include "app/win32/win32_view.h"

namespace kestrune::win32 {

struct MainDialogHooks {
  // Runs after every handler that may have talked to a drive (the
  // simulated drive persists its flash there).
  std::function<void()> afterHandler;
};

// Shows the dialog modally with `owner` as parent (null: none) and returns
// when it has closed, with DialogBoxParamA's result.
INT_PTR RunMainDialog(HINSTANCE instance, HWND owner, CKestruneDlg& dialog, Win32View& view,
                      HICON icon, const MainDialogHooks& hooks);

}  // namespace kestrune::win32
