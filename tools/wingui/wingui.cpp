// wingui: drives the program's windows from a script. It finds a top-level
// window by its caption, waits for it, reads its controls, clicks buttons
// and captures the window into a bitmap.
//
//   wingui wait CAPTION SECONDS        wait until the window is shown
//   wingui gone CAPTION SECONDS        wait until no such window is left
//   wingui any SECONDS CAPTION...      wait for the first of several windows
//                                      and print its caption
//   wingui list                        print every visible top-level window
//   wingui text CAPTION                print the window's controls
//   wingui message CAPTION             print a message box's text
//   wingui click CAPTION BUTTON        click a button by its text or id
//   wingui select CAPTION ID INDEX     choose a drop-down list entry
//   wingui close CAPTION               send the close request
//   wingui sysmenu CAPTION             print the items of the system menu
//   wingui syscommand CAPTION ID       send a system-menu command
//   wingui rect CAPTION                print left top right bottom
//   wingui capture CAPTION FILE.bmp    save the window's pixels
//
// Windows are dialogs and message boxes (class #32770) unless --class NAME
// comes first. Exit status: 0 done, 1 window or control not found, 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string windowClass = "#32770";
};

struct FindState {
  const Options* options;
  const std::string* caption;
  HWND found;
};

std::string WindowText(HWND hwnd) {
  int length = GetWindowTextLengthA(hwnd);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  int copied = GetWindowTextA(hwnd, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

std::string ClassName(HWND hwnd) {
  char name[256] = {};
  GetClassNameA(hwnd, name, sizeof(name));
  return name;
}

BOOL CALLBACK MatchTopLevel(HWND hwnd, LPARAM param) {
  auto* state = reinterpret_cast<FindState*>(param);  // NOLINT(performance-no-int-to-ptr)
  if (!IsWindowVisible(hwnd)) return TRUE;
  if (!state->options->windowClass.empty() && ClassName(hwnd) != state->options->windowClass) {
    return TRUE;
  }
  if (WindowText(hwnd) != *state->caption) return TRUE;
  state->found = hwnd;
  return FALSE;
}

HWND FindTopLevel(const Options& options, const std::string& caption) {
  FindState state{&options, &caption, nullptr};
  EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

HWND WaitForWindow(const Options& options, const std::string& caption, double seconds) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND hwnd = FindTopLevel(options, caption)) return hwnd;
    if (GetTickCount() - start >= static_cast<DWORD>(seconds * 1000)) return nullptr;
    Sleep(100);
  }
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

// Button captions are compared without their mnemonic ampersands.
std::string WithoutMnemonics(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    plain += text[i];
  }
  return plain;
}

bool IsButton(HWND hwnd) { return _stricmp(ClassName(hwnd).c_str(), "Button") == 0; }

// Asked for in UTF-16: an ANSI request across processes is not converted
// for every kind of combo box.
std::string ListLine(HWND combo, LRESULT index) {
  LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
  LRESULT copied = SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(wide.data()));
  if (copied <= 0) return {};
  wide.resize(static_cast<size_t>(copied));
  int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string line(static_cast<size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), line.data(), size,
                      nullptr, nullptr);
  return line;
}

int PrintControls(HWND window) {
  std::printf("window \"%s\"\n", WindowText(window).c_str());
  for (HWND child : Children(window)) {
    std::string cls = ClassName(child);
    int id = GetDlgCtrlID(child);
    const char* state =
        IsWindowVisible(child) ? (IsWindowEnabled(child) ? "shown" : "disabled") : "hidden";
    if (_stricmp(cls.c_str(), "ComboBox") == 0) {
      LRESULT count = SendMessageA(child, CB_GETCOUNT, 0, 0);
      LRESULT selected = SendMessageA(child, CB_GETCURSEL, 0, 0);
      std::printf("combo %d %s: %ld entries, selected %ld\n", id, state, static_cast<long>(count),
                  static_cast<long>(selected));
      for (LRESULT i = 0; i < count; ++i) {
        std::printf("item %d %ld: %s\n", id, static_cast<long>(i), ListLine(child, i).c_str());
      }
      continue;
    }
    const char* kind = IsButton(child)                        ? "button"
                       : _stricmp(cls.c_str(), "Static") == 0 ? "static"
                       : _stricmp(cls.c_str(), "Edit") == 0   ? "edit"
                                                              : cls.c_str();
    std::printf("%s %d %s: %s\n", kind, id, state, WindowText(child).c_str());
  }
  return 0;
}

// The text of a message box: its visible static controls with text.
int PrintMessage(HWND window) {
  bool any = false;
  for (HWND child : Children(window)) {
    if (_stricmp(ClassName(child).c_str(), "Static") != 0 || !IsWindowVisible(child)) continue;
    std::string text = WindowText(child);
    if (text.empty()) continue;
    std::printf("%s\n", text.c_str());
    any = true;
  }
  return any ? 0 : 1;
}

// Posted rather than sent: the click usually opens a modal box, and the
// window answers a sent message only after that box has closed.
int ClickButton(HWND window, const std::string& which) {
  char* end = nullptr;
  long wantedId = std::strtol(which.c_str(), &end, 0);
  bool byId = !which.empty() && *end == '\0';
  for (HWND child : Children(window)) {
    if (!IsButton(child) || !IsWindowVisible(child)) continue;
    int id = GetDlgCtrlID(child);
    if (byId ? id != wantedId : WithoutMnemonics(WindowText(child)) != which) continue;
    if (!IsWindowEnabled(child)) {
      std::fprintf(stderr, "wingui: button \"%s\" is disabled\n", which.c_str());
      return 1;
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(child));
    return 0;
  }
  std::fprintf(stderr, "wingui: no visible button \"%s\"\n", which.c_str());
  return 1;
}

int SelectEntry(HWND window, int id, int index) {
  HWND combo = GetDlgItem(window, id);
  if (!combo) return 1;
  if (SendMessageA(combo, CB_SETCURSEL, index, 0) == CB_ERR) return 1;
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  return 0;
}

// Writes a 24-bit bottom-up BMP of the window as it is on the screen.
int CaptureWindow(HWND window, const std::string& path) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return 1;
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return 1;
  SetForegroundWindow(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  int status = 1;
  if (bitmap && memory) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    // A copy of the screen: the window belongs to another process, so it
    // cannot be asked to paint into a device context of this one.
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    SelectObject(memory, old);
    DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + imageSize;
    info.bmiHeader.biSizeImage = imageSize;
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
      bool written = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
                     std::fwrite(&info.bmiHeader, sizeof(BITMAPINFOHEADER), 1, out) == 1 &&
                     std::fwrite(bits, 1, imageSize, out) == imageSize;
      status = (std::fclose(out) == 0 && written) ? 0 : 1;
    }
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return status;
}

BOOL CALLBACK PrintTopLevel(HWND hwnd, LPARAM) {
  if (IsWindowVisible(hwnd)) {
    std::printf("%s \"%s\"\n", ClassName(hwnd).c_str(), WindowText(hwnd).c_str());
  }
  return TRUE;
}

int Usage() {
  std::fprintf(stderr,
               "usage: wingui [--class NAME] wait|gone CAPTION SECONDS\n"
               "       wingui [--class NAME] any SECONDS CAPTION...\n"
               "       wingui list\n"
               "       wingui [--class NAME] text|message|close|rect CAPTION\n"
               "       wingui [--class NAME] click CAPTION BUTTON\n"
               "       wingui [--class NAME] sysmenu CAPTION\n"
               "       wingui [--class NAME] syscommand CAPTION ID\n"
               "       wingui [--class NAME] select CAPTION ID INDEX\n"
               "       wingui [--class NAME] capture CAPTION FILE.bmp\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--class") == 0) {
    options.windowClass = argv[2];
    first = 3;
  }
  if (argc - first == 1 && std::strcmp(argv[first], "list") == 0) {
    EnumWindows(PrintTopLevel, 0);
    return 0;
  }
  if (argc - first >= 3 && std::strcmp(argv[first], "any") == 0) {
    DWORD start = GetTickCount();
    DWORD limit = static_cast<DWORD>(std::atof(argv[first + 1]) * 1000);
    for (;;) {
      for (int i = first + 2; i < argc; ++i) {
        if (FindTopLevel(options, argv[i])) {
          std::printf("%s\n", argv[i]);
          return 0;
        }
      }
      if (GetTickCount() - start >= limit) return 1;
      Sleep(100);
    }
  }
  if (argc - first < 2) return Usage();
  std::string command = argv[first];
  std::string caption = argv[first + 1];
  std::vector<std::string> rest(argv + first + 2, argv + argc);

  if (command == "wait") {
    if (rest.size() != 1) return Usage();
    HWND hwnd = WaitForWindow(options, caption, std::atof(rest[0].c_str()));
    if (!hwnd) std::fprintf(stderr, "wingui: no window \"%s\"\n", caption.c_str());
    return hwnd ? 0 : 1;
  }
  if (command == "gone") {
    if (rest.size() != 1) return Usage();
    DWORD start = GetTickCount();
    DWORD limit = static_cast<DWORD>(std::atof(rest[0].c_str()) * 1000);
    while (FindTopLevel(options, caption)) {
      if (GetTickCount() - start >= limit) {
        std::fprintf(stderr, "wingui: window \"%s\" is still there\n", caption.c_str());
        return 1;
      }
      Sleep(100);
    }
    return 0;
  }

  HWND window = FindTopLevel(options, caption);
  if (!window) {
    std::fprintf(stderr, "wingui: no window \"%s\"\n", caption.c_str());
    return 1;
  }
  if (command == "text" && rest.empty()) return PrintControls(window);
  if (command == "message" && rest.empty()) return PrintMessage(window);
  if (command == "click" && rest.size() == 1) return ClickButton(window, rest[0]);
  if (command == "select" && rest.size() == 2) {
    return SelectEntry(window, std::atoi(rest[0].c_str()), std::atoi(rest[1].c_str()));
  }
  if (command == "sysmenu" && rest.empty()) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (!menu) return 1;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
      char text[256] = {};
      GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof(text), MF_BYPOSITION);
      std::printf("%u: %s\n", GetMenuItemID(menu, i), text);
    }
    return 0;
  }
  if (command == "syscommand" && rest.size() == 1) {
    WPARAM id = static_cast<WPARAM>(std::strtoul(rest[0].c_str(), nullptr, 0));
    return PostMessageA(window, WM_SYSCOMMAND, id, 0) ? 0 : 1;
  }
  if (command == "close" && rest.empty()) {
    return PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  if (command == "rect" && rest.empty()) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return 1;
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
  }
  if (command == "capture" && rest.size() == 1) return CaptureWindow(window, rest[0]);
  return Usage();
}
