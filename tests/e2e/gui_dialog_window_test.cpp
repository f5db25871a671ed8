// The main dialog window in this process, over the built-in simulated
// drive: what the window procedure adds to the dialog logic (system menu,
// icons, drag icon, the close roads and the guard against re-entry while a
// handler's box is up). Boxes are answered by the view, not shown.
#include <gtest/gtest.h>
#include <windows.h>
// The common controls header needs the Windows types first.
#include <commctrl.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog/dialog.h"
#include "app/win32/main_dialog.h"
#include "app/win32/win32_view.h"
#include "base/program.h"
#include "device/link.h"
#include "log/isp_log.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "simulator/virtual_drive.h"

namespace {

using kestrune::win32::MainDialogHooks;
using kestrune::win32::RunMainDialog;
using kestrune::win32::Win32View;

struct Box {
  std::string text;
  std::string caption;
};

// Answers every box with `answer` and lets a test act while one is up.
class AnsweringView : public Win32View {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, unsigned) override {
    boxes.push_back({text, caption});
    if (onBox) onBox(text);
    return answer;
  }
  std::vector<Box> boxes;
  int answer = kestrune::kIdOk;
  std::function<void(const std::string&)> onBox;
};

class MainDialogWindow : public ::testing::Test {
 protected:
  // As the program does before its dialog: the drop-down list's class
  // comes from the common controls.
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
  }

  void SetUp() override {
    drive_ = kestrune::sim::VirtualDrive::Default();
    ASSERT_NE(drive_, nullptr);
    volumes_.Attach('E', *drive_);
    platform_ = kestrune::platform::CreateHostPlatform();
    link_ = std::make_unique<kestrune::device::DeviceLink>(volumes_);
    log_ = std::make_unique<kestrune::IspLog>(*platform_);
    program_ = std::make_unique<kestrune::Program>(*platform_, *link_, *log_, view_);
    icon_ = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
  }

  // Runs the dialog; `whenUp` runs once, after the start-up has finished.
  INT_PTR Run(std::vector<std::string> arguments, const std::function<void(HWND)>& whenUp) {
    kestrune::CKestruneDlg dialog(*program_, view_, std::move(arguments));
    MainDialogHooks hooks;
    bool first = true;
    hooks.afterHandler = [&] {
      ++handlersRun_;
      if (!first) return;
      first = false;
      whenUp(view_.dialog());
    };
    INT_PTR result = RunMainDialog(GetModuleHandleA(nullptr), nullptr, dialog, view_, icon_, hooks);
    if (result == -1) ADD_FAILURE() << "the dialog was not created, error " << GetLastError();
    return result;
  }

  std::unique_ptr<kestrune::sim::VirtualDrive> drive_;
  kestrune::sim::SimulatedVolumes volumes_;
  std::unique_ptr<kestrune::platform::Platform> platform_;
  std::unique_ptr<kestrune::device::DeviceLink> link_;
  std::unique_ptr<kestrune::IspLog> log_;
  AnsweringView view_;
  std::unique_ptr<kestrune::Program> program_;
  HICON icon_ = nullptr;
  int handlersRun_ = 0;
};

TEST_F(MainDialogWindow, StartUpAddsTheAboutItemAndTheIcons) {
  bool checked = false;
  Run({}, [&](HWND hwnd) {
    ASSERT_NE(hwnd, nullptr);
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    ASSERT_NE(menu, nullptr);
    int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    char text[64] = {};
    GetMenuStringA(menu, static_cast<UINT>(count - 1), text, sizeof(text), MF_BYPOSITION);
    EXPECT_STREQ(text, "&About Kestrune...");
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    MENUITEMINFOA separator = {};
    separator.cbSize = sizeof(separator);
    separator.fMask = MIIM_FTYPE;
    ASSERT_TRUE(GetMenuItemInfoA(menu, static_cast<UINT>(count - 2), TRUE, &separator));
    EXPECT_TRUE(separator.fType & MFT_SEPARATOR);

    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0)), icon_);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0)), icon_);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hwnd, WM_QUERYDRAGICON, 0, 0)), icon_);

    // The drive is listed and selected; Start Fix is offered.
    EXPECT_EQ(SendDlgItemMessageA(hwnd, IDC_DRIVE_LIST, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageA(hwnd, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0), 0);
    // The dialog itself is shown only after start-up: look at the controls' own style.
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(hwnd, IDC_START_FIX), GWL_STYLE) & WS_VISIBLE);
    EXPECT_FALSE(GetWindowLongA(GetDlgItem(hwnd, IDC_DESTROY_ISP), GWL_STYLE) & WS_VISIBLE);
    checked = true;
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
  });
  EXPECT_TRUE(checked);
  ASSERT_FALSE(view_.boxes.empty());
  EXPECT_EQ(view_.boxes.front().caption, "Check ISP");
}

// Windows spelling of a host path: Wine's drive Z: is the root.
std::string WindowsPath(const std::string& hostPath) {
  std::string path = "Z:" + hostPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

TEST_F(MainDialogWindow, EscapeTakesTheCloseRoad) {
  // A healthy drive is restarted on close: commands reach it after Escape.
  // Read as text, so that the drive's flash stays in memory and the
  // ready-made file is never written beside.
  std::ifstream file(WindowsPath(std::string(KESTRUNE_TEST_DRIVES) + "/ctrl163_healthy.json"));
  ASSERT_TRUE(file.good());
  const std::string json((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string error;
  auto healthy = kestrune::sim::VirtualDrive::FromJsonText(json, &error);
  ASSERT_NE(healthy, nullptr) << error;
  volumes_.Attach('E', *healthy);
  uint64_t commandsWhenUp = 0;
  INT_PTR result = Run({}, [&](HWND hwnd) {
    commandsWhenUp = healthy->CommandCount();
    PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  EXPECT_EQ(result, IDCANCEL);
  ASSERT_FALSE(view_.boxes.empty());
  EXPECT_EQ(view_.boxes.front().text, "ISP is OK!");
  EXPECT_GT(healthy->CommandCount(), commandsWhenUp);
}

TEST_F(MainDialogWindow, CloseAndClicksWaitWhileAHandlersBoxIsUp) {
  HWND dialog = nullptr;
  int warnings = 0;
  bool aliveAfterTheBox = false;
  view_.answer = kestrune::kIdCancel;
  view_.onBox = [&](const std::string& text) {
    if (text != "Are you sure to update new ISP code ?") return;
    ++warnings;
    // While the box is up: a second click and a close request.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_START_FIX, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_START_FIX)));
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageA(dialog, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    aliveAfterTheBox = IsWindow(dialog) != FALSE;
  };
  Run({}, [&](HWND hwnd) {
    dialog = hwnd;
    PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_START_FIX, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDC_START_FIX)));
  });
  EXPECT_EQ(warnings, 1);
  EXPECT_TRUE(aliveAfterTheBox);
  EXPECT_FALSE(IsWindow(dialog));
}

}  // namespace
