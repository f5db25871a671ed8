// Drives plugged in and pulled out on Windows: a thread of its own keeps a
// message-only window registered for the arrival and removal of disks, and
// every notification, or a tick each second, lists the disks again. The
// difference of two listings gives the events, so a disk whose
// notification never came (Wine sends none) is still seen within a second.
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>

#include "platform/disk_interface_win32.h"
#include "platform/drive_watch.h"
#include "platform/windows_disks.h"

namespace kestrune::platform {

namespace {

constexpr DWORD kTickMilliseconds = 1000;
constexpr wchar_t kWindowClass[] = L"KestruneDiskWatch";

LRESULT CALLBACK WatchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE &&
      (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto changed = reinterpret_cast<HANDLE>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (changed != nullptr) ::SetEvent(changed);
    return TRUE;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

class WindowsDiskWatch : public DriveWatch {
 public:
  // `present`: the listing when the watch begins.
  WindowsDiskWatch(bool includePresent, std::vector<WindowsListedDisk> present)
      : changed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!includePresent) {
      last_ = std::move(present);
      left_ = last_.size();
    }
    if (changed_ != nullptr) notifier_ = std::thread([this] { Notify(); });
  }

  ~WindowsDiskWatch() override {
    stopping_ = true;
    if (notifier_.joinable()) {
      // The thread names itself once its message queue exists.
      while (threadId_.load() == 0) std::this_thread::yield();
      ::PostThreadMessageW(threadId_.load(), WM_QUIT, 0, 0);
      notifier_.join();
    }
    if (changed_ != nullptr) ::CloseHandle(changed_);
  }

  WindowsDiskWatch(const WindowsDiskWatch&) = delete;
  WindowsDiskWatch& operator=(const WindowsDiskWatch&) = delete;

  std::optional<DriveEvent> Next(uint32_t waitMilliseconds) override {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds);
    for (;;) {
      if (!pending_.empty()) {
        DriveEvent event = std::move(pending_.front());
        pending_.pop_front();
        return event;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= nextTick_) {
        ListAgain();
        continue;
      }
      if (now >= deadline) return std::nullopt;
      const auto until = std::min(deadline, nextTick_);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
      const DWORD waited =
          ::WaitForSingleObject(changed_, static_cast<DWORD>(wait.count()) + 1);
      if (waited == WAIT_OBJECT_0) ListAgain();
    }
  }

  size_t LeftPresent() const override { return left_; }

 private:
  static std::vector<WindowsListedDisk> Listing() {
    WindowsDiskAnswers answers;
    std::string problem;
    if (!AskWindowsDisks(answers, problem)) return {};
    return ListWindowsDisks(answers);
  }

  void ListAgain() {
    std::vector<WindowsListedDisk> now = Listing();
    for (DriveEvent& event : ListingChanges(last_, now)) pending_.push_back(std::move(event));
    last_ = std::move(now);
    nextTick_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTickMilliseconds);
  }

  // The thread of the message-only window: it wakes Next at each
  // notification of a disk that came or went.
  void Notify() {
    MSG message;
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    threadId_ = ::GetCurrentThreadId();
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WatchWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);
    HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    instance, nullptr);
    if (window == nullptr) return;  // the tick alone serves then
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(changed_));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kDiskInterface;
    HDEVNOTIFY registration =
        ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    while (!stopping_ && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (registration != nullptr) ::UnregisterDeviceNotification(registration);
    ::DestroyWindow(window);
  }

  HANDLE changed_;
  std::vector<WindowsListedDisk> last_;
  std::deque<DriveEvent> pending_;
  size_t left_ = 0;
  std::chrono::steady_clock::time_point nextTick_ = std::chrono::steady_clock::now();
  std::thread notifier_;
  std::atomic<DWORD> threadId_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace

std::unique_ptr<DriveWatch> WatchUsbDisks(bool includePresent, std::string& problem) {
  WindowsDiskAnswers answers;
  if (!AskWindowsDisks(answers, problem)) return nullptr;
  return std::make_unique<WindowsDiskWatch>(includePresent, ListWindowsDisks(answers));
}

}  // namespace kestrune::platform
