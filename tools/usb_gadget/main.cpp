// The device side of a simulated USB stick: one Bulk-Only mass-storage
// interface served over FunctionFS, answered from a simulated drive, so the
// host side of the same system (usb-storage, sd, sg) meets it as it meets a
// real stick on its bus.
//
//   kestrune_usb_gadget --ffs DIR --drive drive.json [--rules FILE] [--log FILE]
//
// --ffs    where the function's FunctionFS instance is mounted; the program
//          writes its descriptors into DIR/ep0, and the gadget can be bound
//          to its controller once DIR/ep2 exists
// --rules  hold rules as kestrune_tcmu_drive reads them ("hold fa 1 3000":
//          the first page write from now on is answered 3000 ms late)
// --log    one line per command, "held"/"released" around a hold, and the
//          function's events (enable, disable, reset)
//
// Unbound from its controller (the gadget's UDC file emptied, as a stick is
// pulled out), the drive saves its flash and, plugged in again, powers up
// afresh from it. SIGTERM or SIGINT ends it, with the drive's flash saved.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator/virtual_drive.h"
#include "tools/tcmu_drive/lun.h"
#include "tools/usb_gadget/bulk_only.h"

namespace {

using kestrune::usb::Cbw;

std::atomic<bool> stopRequested{false};
// Counts what ends a command in flight on the host's side: a reset of the
// transport, the function being disabled or enabled (a pull, a port reset).
// An answer held across a change is dropped, never sent into a later command.
std::atomic<uint64_t> epoch{0};
std::atomic<bool> resetPending{false};
// The gadget was unbound from its controller: pulled out, so the drive lost
// its power and comes up afresh from its flash when it is plugged in again.
std::atomic<bool> unplugged{false};

void OnStop(int) { stopRequested = true; }

std::mutex logMutex;
std::FILE* logFile = nullptr;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  if (logFile == nullptr) return;
  std::lock_guard<std::mutex> lock(logMutex);
  va_list args;
  va_start(args, format);
  std::vfprintf(logFile, format, args);
  va_end(args);
  std::fflush(logFile);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(piece, sizeof piece, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += piece;
  }
  return text;
}

// The function's descriptors: one interface (mass storage, SCSI transparent
// command set, Bulk-Only), a bulk-in and a bulk-out endpoint, at full and
// high speed.
struct __attribute__((packed)) Descriptors {
  usb_functionfs_descs_head_v2 header;
  __le32 fsCount;
  __le32 hsCount;
  struct __attribute__((packed)) Set {
    usb_interface_descriptor interface;
    usb_endpoint_descriptor_no_audio in;
    usb_endpoint_descriptor_no_audio out;
  } fs, hs;
};

Descriptors::Set DescriptorSet(uint16_t maxPacket) {
  Descriptors::Set set{};
  set.interface.bLength = sizeof set.interface;
  set.interface.bDescriptorType = USB_DT_INTERFACE;
  set.interface.bNumEndpoints = 2;
  set.interface.bInterfaceClass = USB_CLASS_MASS_STORAGE;
  set.interface.bInterfaceSubClass = 0x06;  // SCSI transparent
  set.interface.bInterfaceProtocol = 0x50;  // Bulk-Only
  set.interface.iInterface = 1;
  for (auto* endpoint : {&set.in, &set.out}) {
    endpoint->bLength = sizeof *endpoint;
    endpoint->bDescriptorType = USB_DT_ENDPOINT;
    endpoint->bmAttributes = USB_ENDPOINT_XFER_BULK;
    endpoint->wMaxPacketSize = htole16(maxPacket);
  }
  set.in.bEndpointAddress = 1 | USB_DIR_IN;
  set.out.bEndpointAddress = 2 | USB_DIR_OUT;
  return set;
}

struct __attribute__((packed)) Strings {
  usb_functionfs_strings_head header;
  __le16 language;
  char interface[sizeof "Mass Storage"];
};

bool WriteAll(int fd, const void* bytes, size_t length) {
  const auto* at = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    const ssize_t n = ::write(fd, at, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteDescriptors(int ep0) {
  Descriptors descriptors{};
  descriptors.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  descriptors.header.length = htole32(sizeof descriptors);
  descriptors.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  descriptors.fsCount = htole32(3);
  descriptors.hsCount = htole32(3);
  descriptors.fs = DescriptorSet(64);
  descriptors.hs = DescriptorSet(512);
  Strings strings{};
  strings.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
  strings.header.length = htole32(sizeof strings);
  strings.header.str_count = htole32(1);
  strings.header.lang_count = htole32(1);
  strings.language = htole16(0x0409);
  std::memcpy(strings.interface, "Mass Storage", sizeof strings.interface);
  return WriteAll(ep0, &descriptors, sizeof descriptors) && WriteAll(ep0, &strings, sizeof strings);
}

// The class requests of a Bulk-Only interface.
constexpr uint8_t kGetMaxLun = 0xFE;
constexpr uint8_t kBulkOnlyReset = 0xFF;

// Answers what comes on ep0 until the program is asked to stop.
void ServeControl(int ep0) {
  usb_functionfs_event events[4];
  while (!stopRequested) {
    const ssize_t n = ::read(ep0, events, sizeof events);
    if (n < 0) {
      if (errno == EINTR) continue;
      Log("ep0: %s\n", std::strerror(errno));
      return;
    }
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
      const usb_functionfs_event& event = events[i];
      switch (event.type) {
        case FUNCTIONFS_ENABLE:
          ++epoch;
          Log("event enable\n");
          break;
        case FUNCTIONFS_DISABLE:
          ++epoch;
          Log("event disable\n");
          break;
        case FUNCTIONFS_UNBIND:
          ++epoch;
          unplugged = true;
          Log("event unbind\n");
          break;
        case FUNCTIONFS_BIND:
        case FUNCTIONFS_SUSPEND:
        case FUNCTIONFS_RESUME:
          break;
        case FUNCTIONFS_SETUP: {
          const usb_ctrlrequest& setup = event.u.setup;
          const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
          const bool forUs = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS;
          if (forUs && in && setup.bRequest == kGetMaxLun) {
            const uint8_t maxLun = 0;
            if (::write(ep0, &maxLun, 1) < 0) Log("ep0: max lun: %s\n", std::strerror(errno));
          } else if (forUs && !in && setup.bRequest == kBulkOnlyReset) {
            ++epoch;
            resetPending = true;
            Log("event reset\n");
            if (::read(ep0, nullptr, 0) < 0) Log("ep0: reset: %s\n", std::strerror(errno));
          } else if (in) {
            // Anything else is stalled: a read on an IN request halts it.
            [[maybe_unused]] ssize_t ignored = ::read(ep0, nullptr, 0);
          } else {
            [[maybe_unused]] ssize_t ignored = ::write(ep0, nullptr, 0);
          }
          break;
        }
        default:
          break;
      }
    }
  }
}

class Bulk {
 public:
  Bulk(std::string drivePath, std::string rulesPath)
      : drivePath_(std::move(drivePath)), rulesPath_(std::move(rulesPath)) {}

  // Loads the drive from its file and flash; false with `error` set.
  bool PowerUp(std::string* error) {
    drive_ = kestrune::sim::VirtualDrive::FromFile(drivePath_, error);
    if (!drive_) return false;
    lun_ = std::make_unique<kestrune::tcmu::Lun>(*drive_);
    stick_ = std::make_unique<kestrune::usb::Stick>(*lun_);
    rulesStamp_.clear();
    return true;
  }

  bool Save() { return drive_->Save(); }

  // Serves one wrapper from the host, or waits when the function is down.
  void ServeOne(int in, int out) {
    uint8_t block[512];
    const ssize_t n = ::read(out, block, sizeof block);
    if (n < 0) {
      // Disabled (pulled, reset): the next read waits until it is enabled.
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return;
    }
    if (unplugged.exchange(false)) {
      std::string error;
      if (!Save() || !PowerUp(&error)) {
        Log("the drive did not power up again: %s\n", error.c_str());
        stopRequested = true;
        return;
      }
      Log("powered up afresh\n");
    }
    if (resetPending.exchange(false)) stick_->Reset();
    Cbw cbw;
    if (!kestrune::usb::ParseCbw(block, static_cast<size_t>(n), &cbw)) {
      Log("not a command wrapper (%zd bytes)\n", n);
      return;
    }
    const uint64_t began = epoch.load();
    std::vector<uint8_t> data;
    if (cbw.transferLength > kestrune::usb::kMaxTransfer) {
      // Refused without its data: the endpoint it would use is stalled (a
      // read on an IN endpoint, a write on an OUT one halts it), then the
      // status follows once the host has cleared the halt.
      Log("cdb=%s len=%u: too long, stalled\n", Hex(cbw.cdb.data(), cbw.cdbLength).c_str(),
          cbw.transferLength);
      uint8_t none = 0;
      [[maybe_unused]] const ssize_t halted =
          cbw.dataIn ? ::read(in, &none, sizeof none) : ::write(out, &none, sizeof none);
      const kestrune::usb::Answer refused = stick_->Serve(cbw, data);
      const auto csw = kestrune::usb::MakeCsw(cbw.tag, refused.residue, refused.status);
      WriteAll(in, csw.data(), csw.size());
      return;
    }
    if (!cbw.dataIn && cbw.transferLength > 0 && !ReadData(out, cbw.transferLength, data)) {
      Log("cdb=%s: the data did not come\n", Hex(cbw.cdb.data(), cbw.cdbLength).c_str());
      return;
    }
    ReloadRules();
    const kestrune::usb::Answer answer = stick_->Serve(cbw, data);
    const std::string text = Hex(cbw.cdb.data(), cbw.cdbLength);
    Log("cdb=%s len=%u%s -> status=%02x key=%x asc=%02x\n", text.c_str(), cbw.transferLength,
        answer.reply.reachedDrive ? " drive" : "", answer.reply.status, answer.reply.SenseKey(),
        answer.reply.AdditionalSenseCode());
    if (answer.holdMilliseconds > 0) {
      Log("held %s %u ms\n", text.c_str(), answer.holdMilliseconds);
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.holdMilliseconds);
      while (!stopRequested && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      Log("released %s\n", text.c_str());
    }
    if (epoch.load() != began) {
      Log("dropped %s: the host gave up on it\n", text.c_str());
      return;
    }
    if (cbw.dataIn && !data.empty() && !WriteAll(in, data.data(), data.size())) {
      Log("cdb=%s: data-in failed: %s\n", text.c_str(), std::strerror(errno));
      return;
    }
    const auto csw = kestrune::usb::MakeCsw(cbw.tag, answer.residue, answer.status);
    if (!WriteAll(in, csw.data(), csw.size())) {
      Log("cdb=%s: status failed: %s\n", text.c_str(), std::strerror(errno));
    }
  }

 private:
  // A transfer is taken in pieces of at most this.
  static constexpr size_t kPiece = 64 * 1024;

  bool ReadData(int out, uint32_t length, std::vector<uint8_t>& data) {
    data.resize(length);
    size_t have = 0;
    while (have < length) {
      const size_t want = std::min<size_t>(length - have, kPiece);
      const ssize_t n = ::read(out, data.data() + have, want);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      have += static_cast<size_t>(n);
      // A short packet ends the host's transfer; what it did not send is 0.
      if (static_cast<size_t>(n) < want) break;
    }
    return true;
  }

  void ReloadRules() {
    if (rulesPath_.empty()) return;
    struct stat st;
    const bool present = ::stat(rulesPath_.c_str(), &st) == 0;
    const std::string stamp =
        present ? std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                      std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_size)
                : std::string();
    if (stamp == rulesStamp_) return;
    rulesStamp_ = stamp;
    std::vector<kestrune::tcmu::HoldRule> rules;
    std::string error;
    if (present && !kestrune::tcmu::ParseHoldRules(ReadAll(rulesPath_), &rules, &error)) {
      Log("rules refused: %s\n", error.c_str());
      rules.clear();
    }
    Log("rules now %zu\n", rules.size());
    lun_->SetHoldRules(rules);
  }

  std::string drivePath_;
  std::unique_ptr<kestrune::sim::VirtualDrive> drive_;
  std::unique_ptr<kestrune::tcmu::Lun> lun_;
  std::unique_ptr<kestrune::usb::Stick> stick_;
  std::string rulesPath_;
  std::string rulesStamp_;
};

int Usage() {
  std::fprintf(stderr,
               "usage: kestrune_usb_gadget --ffs DIR --drive drive.json [--rules FILE] "
               "[--log FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ffs, drivePath, rulesPath, logPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--ffs") {
      ffs = argv[i + 1];
    } else if (option == "--drive") {
      drivePath = argv[i + 1];
    } else if (option == "--rules") {
      rulesPath = argv[i + 1];
    } else if (option == "--log") {
      logPath = argv[i + 1];
    } else {
      return Usage();
    }
  }
  if (argc % 2 == 0 || ffs.empty() || drivePath.empty()) return Usage();

  Bulk bulk(drivePath, rulesPath);
  std::string error;
  if (!bulk.PowerUp(&error)) {
    std::fprintf(stderr, "kestrune_usb_gadget: %s\n", error.c_str());
    return 1;
  }
  if (!logPath.empty()) logFile = std::fopen(logPath.c_str(), "a");

  const int ep0 = ::open((ffs + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (ep0 < 0 || !WriteDescriptors(ep0)) {
    std::fprintf(stderr, "kestrune_usb_gadget: cannot set up %s/ep0: %s\n", ffs.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const int in = ::open((ffs + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
  const int out = ::open((ffs + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
  if (in < 0 || out < 0) {
    std::fprintf(stderr, "kestrune_usb_gadget: cannot open the endpoints of %s: %s\n", ffs.c_str(),
                 std::strerror(errno));
    return 1;
  }

  // The stop signals go to the serving thread alone, whose blocking reads
  // they interrupt; the control thread ends with the process.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread control(ServeControl, ep0);
  control.detach();
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  struct sigaction action {};
  action.sa_handler = OnStop;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  while (!stopRequested) bulk.ServeOne(in, out);

  const int status = bulk.Save() ? 0 : 1;
  if (logFile != nullptr) std::fclose(logFile);
  std::_Exit(status);
}
