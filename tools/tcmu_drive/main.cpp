// The handler of one user-backed LUN of the kernel's SCSI target: it maps the
// command ring of the LUN's uio device and answers every command from a
// simulated drive, so programs in the same system reach that drive through
// the kernel's own SCSI stack (sg, sd, the midlayer, the loopback target).
//
//   kestrune_tcmu_drive --uio /dev/uioN --drive drive.json
//                       [--rules FILE] [--log FILE]
//
// --rules  hold rules, one a line ("hold 25 1 4000": answer the first READ
//          CAPACITY from now on 4000 ms late); the file is read again
//          whenever it changes, and the counts start again then
// --log    one line per command; "held" and "released" around a hold
//
// SIGTERM or SIGINT ends it, with the drive's flash saved.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "simulator/virtual_drive.h"
#include "tools/tcmu_drive/lun.h"
#include "tools/tcmu_drive/ring.h"

namespace {

using kestrune::tcmu::Lun;
using kestrune::tcmu::Reply;

volatile std::sig_atomic_t stopRequested = 0;

void OnStop(int) { stopRequested = 1; }

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

class Handler {
 public:
  Handler(Lun& lun, std::string rulesPath, std::FILE* log)
      : lun_(lun), rulesPath_(std::move(rulesPath)), log_(log) {}

  Reply Answer(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data) {
    ReloadRules();
    const Reply reply = lun_.Answer(cdb, cdbLength, data);
    const std::string text = Hex(cdb, cdbLength);
    Log("cdb=%s len=%zu%s -> status=%02x key=%x asc=%02x\n", text.c_str(), data.size(),
        reply.reachedDrive ? " drive" : "", reply.status, reply.SenseKey(),
        reply.AdditionalSenseCode());
    if (reply.holdMilliseconds > 0) {
      Log("held %s %u ms\n", text.c_str(), reply.holdMilliseconds);
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.holdMilliseconds);
      while (!stopRequested && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      Log("released %s\n", text.c_str());
    }
    return reply;
  }

 private:
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (log_ == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(log_, format, args);
    va_end(args);
    std::fflush(log_);
  }

  // The rules file is looked at before every command, so a rule written just
  // before a run applies to that run's commands and to no earlier ones.
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
    lun_.SetHoldRules(rules);
  }

  Lun& lun_;
  std::string rulesPath_;
  std::string rulesStamp_;
  std::FILE* log_;
};

// The size of the uio device's one mapping, from sysfs ("0x40801000").
size_t MappingSize(const std::string& uioPath) {
  const std::string name = uioPath.substr(uioPath.find_last_of('/') + 1);
  const std::string text = ReadAll("/sys/class/uio/" + name + "/maps/map0/size");
  return static_cast<size_t>(std::strtoull(text.c_str(), nullptr, 0));
}

int Usage() {
  std::fprintf(stderr,
               "usage: kestrune_tcmu_drive --uio /dev/uioN --drive drive.json [--rules FILE] "
               "[--log FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string uioPath, drivePath, rulesPath, logPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--uio") {
      uioPath = argv[i + 1];
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
  if (argc % 2 == 0 || uioPath.empty() || drivePath.empty()) return Usage();

  std::string error;
  std::unique_ptr<kestrune::sim::VirtualDrive> drive =
      kestrune::sim::VirtualDrive::FromFile(drivePath, &error);
  if (!drive) {
    std::fprintf(stderr, "kestrune_tcmu_drive: %s\n", error.c_str());
    return 1;
  }
  std::FILE* log = logPath.empty() ? nullptr : std::fopen(logPath.c_str(), "a");

  const int fd = ::open(uioPath.c_str(), O_RDWR | O_CLOEXEC);
  const size_t size = MappingSize(uioPath);
  if (fd < 0 || size == 0) {
    std::fprintf(stderr, "kestrune_tcmu_drive: cannot open %s: %s\n", uioPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    std::fprintf(stderr, "kestrune_tcmu_drive: cannot map %s: %s\n", uioPath.c_str(),
                 std::strerror(errno));
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = OnStop;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  Lun lun(*drive);
  Handler handler(lun, rulesPath, log);
  const auto answer = [&handler](const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data) {
    return handler.Answer(cdb, cdbLength, data);
  };
  // Writing to the uio device tells the kernel that answers are waiting.
  const auto completed = [fd] {
    const uint32_t kick = 0;
    if (::write(fd, &kick, sizeof kick) < 0) std::perror("kestrune_tcmu_drive: kick");
  };
  int status = 0;
  while (!stopRequested) {
    if (kestrune::tcmu::ServeRing(static_cast<uint8_t*>(mapped), size, answer, completed) < 0) {
      std::fprintf(stderr, "kestrune_tcmu_drive: the command ring is malformed\n");
      status = 1;
      break;
    }
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 1000) > 0) {
      uint32_t events = 0;
      if (::read(fd, &events, sizeof events) < 0 && errno != EINTR) break;
    }
  }
  ::munmap(mapped, size);
  ::close(fd);
  if (!drive->Save()) status = 1;
  if (log != nullptr) std::fclose(log);
  return status;
}
