// LD_PRELOAD library: answers SG_IO on chosen plain files, each from a
// simulated drive of its own, so the real SG_IO transport (and Wine's
// pass-through, which uses SG_IO underneath) can be exercised without
// hardware.
//
//   KESTRUNE_SGIO_FILE   the plain file that stands for the device node;
//                        several, separated by ':', stand for several drives
//   KESTRUNE_SGIO_DRIVE  a virtual-drive JSON file, or "default"; several,
//                        separated by ':', one for each file in that order
//                        (a file without one gets the default drive)
//   KESTRUNE_SGIO_LOG    optional: one line per ioctl seen on that file
//   KESTRUNE_SGIO_SAVE   "exit": write the drive's flash file only when the
//                        process ends (default: after every data-out)
//
// Every other call goes on to the real ioctl.
#include <dlfcn.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulator/virtual_drive.h"

namespace {

using kestrune::device::Carrier;
using kestrune::device::Outcome;
using kestrune::device::Request;
using kestrune::device::Result;

constexpr uint16_t kDidError = 0x07;     // host: internal error
constexpr uint16_t kDriverSense = 0x08;  // driver: sense data returned
constexpr int kSgVersion = 30527;

using IoctlFunction = int (*)(int, unsigned long, ...);

// ':'-separated pieces of an environment variable; none when it is unset.
std::vector<std::string> ListVariable(const char* name) {
  std::vector<std::string> pieces;
  const char* value = std::getenv(name);
  if (value == nullptr) return pieces;
  std::string text(value);
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    pieces.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return pieces;
}

// One plain file and the simulated drive that answers for it. Each has a
// lock of its own, so drives used from several threads run side by side.
struct ChosenFile {
  dev_t device = 0;
  ino_t inode = 0;
  std::string driveArg;
  std::mutex mutex;
  std::unique_ptr<kestrune::sim::VirtualDrive> drive;
  bool loadFailed = false;
};

class Interposer {
 public:
  Interposer() {
    real_ = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    const std::vector<std::string> files = ListVariable("KESTRUNE_SGIO_FILE");
    const std::vector<std::string> drives = ListVariable("KESTRUNE_SGIO_DRIVE");
    for (size_t i = 0; i < files.size(); ++i) {
      struct stat st;
      if (files[i].empty() || ::stat(files[i].c_str(), &st) != 0) continue;
      auto chosen = std::make_unique<ChosenFile>();
      chosen->device = st.st_dev;
      chosen->inode = st.st_ino;
      chosen->driveArg = i < drives.size() ? drives[i] : "default";
      chosen_.push_back(std::move(chosen));
    }
    const char* save = std::getenv("KESTRUNE_SGIO_SAVE");
    saveEachWrite_ = save == nullptr || std::strcmp(save, "exit") != 0;
    if (const char* log = std::getenv("KESTRUNE_SGIO_LOG"); log != nullptr && *log != '\0') {
      log_ = std::fopen(log, "a");
    }
  }

  ~Interposer() {
    for (auto& chosen : chosen_) {
      std::lock_guard<std::mutex> lock(chosen->mutex);
      if (chosen->drive) chosen->drive->Save();
    }
    if (log_ != nullptr) std::fclose(log_);
  }

  int Call(int fd, unsigned long request, void* argument) {
    ChosenFile* chosen = Find(fd);
    if (chosen == nullptr) return Real(fd, request, argument);
    std::lock_guard<std::mutex> lock(chosen->mutex);
    if (request == SG_IO) return AnswerSgIo(*chosen, static_cast<sg_io_hdr_t*>(argument));
    if (request == SG_GET_VERSION_NUM && argument != nullptr) {
      *static_cast<int*>(argument) = kSgVersion;
      Log("ioctl SG_GET_VERSION_NUM -> %d\n", kSgVersion);
      return 0;
    }
    int rc = Real(fd, request, argument);
    Log("ioctl 0x%lx passed on -> %d\n", request, rc);
    return rc;
  }

 private:
  int Real(int fd, unsigned long request, void* argument) {
    if (real_ == nullptr) {
      errno = ENOSYS;
      return -1;
    }
    return real_(fd, request, argument);
  }

  ChosenFile* Find(int fd) const {
    if (chosen_.empty()) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    for (const auto& chosen : chosen_) {
      if (st.st_dev == chosen->device && st.st_ino == chosen->inode) return chosen.get();
    }
    return nullptr;
  }

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (log_ == nullptr) return;
    std::lock_guard<std::mutex> lock(logMutex_);
    va_list args;
    va_start(args, format);
    std::vfprintf(log_, format, args);
    va_end(args);
    std::fflush(log_);
  }

  kestrune::sim::VirtualDrive* Drive(ChosenFile& chosen) {
    if (chosen.drive || chosen.loadFailed) return chosen.drive.get();
    std::string error;
    if (chosen.driveArg.empty() || chosen.driveArg == "default") {
      chosen.drive = kestrune::sim::VirtualDrive::Default();
    } else {
      chosen.drive = kestrune::sim::VirtualDrive::FromFile(chosen.driveArg, &error);
    }
    if (!chosen.drive) {
      chosen.loadFailed = true;
      Log("drive not loaded: %s\n", error.c_str());
    }
    return chosen.drive.get();
  }

  int AnswerSgIo(ChosenFile& chosen, sg_io_hdr_t* h) {
    if (h == nullptr) {
      errno = EFAULT;
      return -1;
    }
    if (h->interface_id != 'S') {
      errno = ENOSYS;
      return -1;
    }
    if (h->cmd_len == 0 || h->cmd_len > 16 || h->cmdp == nullptr || h->iovec_count != 0 ||
        (h->dxfer_len != 0 && h->dxferp == nullptr && h->dxfer_direction != SG_DXFER_NONE)) {
      errno = EINVAL;
      return -1;
    }
    const char* direction = "none";
    Request request;
    request.cdb = h->cmdp;
    request.cdbLength = h->cmd_len;
    switch (h->dxfer_direction) {
      case SG_DXFER_NONE:
        request.carrier = Carrier::kIn;
        break;
      case SG_DXFER_TO_DEV:
        request.carrier = Carrier::kOut;
        direction = "to";
        break;
      case SG_DXFER_FROM_DEV:
      case SG_DXFER_TO_FROM_DEV:
        request.carrier = Carrier::kIn;
        direction = "from";
        break;
      default:
        errno = EINVAL;
        return -1;
    }
    request.transferLength = h->dxfer_direction == SG_DXFER_NONE ? 0 : h->dxfer_len;
    request.data = request.transferLength != 0 ? static_cast<uint8_t*>(h->dxferp) : nullptr;
    // Milliseconds back to the whole seconds the program asked for.
    request.timeoutSeconds = (h->timeout + 999) / 1000;

    kestrune::sim::VirtualDrive* drive = Drive(chosen);
    Result result = drive != nullptr ? drive->Execute(request) : Result{Outcome::kOsError, 0};
    // Writes reach the flash file at once, so a process that ends abruptly
    // (as Wine's may) loses nothing.
    if (drive != nullptr && saveEachWrite_ && request.carrier == Carrier::kOut) drive->Save();

    h->status = 0;
    h->masked_status = 0;
    h->msg_status = 0;
    h->host_status = 0;
    h->driver_status = 0;
    h->sb_len_wr = 0;
    h->resid = static_cast<int>(std::min(result.residual, h->dxfer_len));
    h->duration = 0;
    h->info = SG_INFO_OK;
    switch (result.outcome) {
      case Outcome::kGood:
        break;
      case Outcome::kScsiStatus:
        h->status = result.scsiStatus;
        h->masked_status = static_cast<unsigned char>((result.scsiStatus >> 1) & 0x7F);
        h->info = SG_INFO_CHECK;
        WriteSense(h, result);
        break;
      case Outcome::kTransportError:
      case Outcome::kOsError:
        // The drive refused the request: the adapter reports it, no status.
        h->host_status = kDidError;
        h->resid = static_cast<int>(h->dxfer_len);
        h->info = SG_INFO_CHECK;
        break;
    }

    std::string cdb;
    char hex[4];
    for (int i = 0; i < h->cmd_len; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", h->cmdp[i]);
      cdb += hex;
    }
    Log("SG_IO cdb=%s dir=%s len=%u timeout_ms=%u mx_sb_len=%u -> status=%02x host=%u driver=%u\n",
        cdb.c_str(), direction, h->dxfer_len, h->timeout, h->mx_sb_len, h->status, h->host_status,
        h->driver_status);
    return 0;
  }

  // The drive's own sense, cut to the caller's buffer; a drive that gave
  // none is reported as ILLEGAL REQUEST, INVALID FIELD IN CDB.
  static void WriteSense(sg_io_hdr_t* h, const Result& result) {
    h->driver_status = kDriverSense;
    if (h->sbp == nullptr || h->mx_sb_len == 0) return;
    static constexpr unsigned char kDefaultSense[18] = {0x70, 0, 0x05, 0, 0, 0,    0,
                                                        10,   0, 0,    0, 0, 0x24, 0x00};
    const bool own = result.senseLength != 0;
    const unsigned char* sense = own ? result.sense.data() : kDefaultSense;
    const size_t available = own ? result.senseLength : sizeof kDefaultSense;
    const auto length = static_cast<unsigned char>(std::min<size_t>(h->mx_sb_len, available));
    std::memcpy(h->sbp, sense, length);
    h->sb_len_wr = length;
  }

  IoctlFunction real_ = nullptr;
  // Filled once, before any call; only the drives behind it change.
  std::vector<std::unique_ptr<ChosenFile>> chosen_;
  std::FILE* log_ = nullptr;
  std::mutex logMutex_;
  bool saveEachWrite_ = true;
};

Interposer& Instance() {
  static Interposer instance;
  return instance;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  return Instance().Call(fd, request, argument);
}
