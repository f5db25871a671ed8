// Times one READ CAPACITY(10) sent over SG_IO to a node with a given
// timeout, so the kernel stage can show what each kind of node does with a
// short timeout (a disk node's block layer raises it, a generic node keeps
// it).
//
//   kestrune_sgio_time NODE TIMEOUT_MS
//
// Prints "seconds=S status=SS host=HH driver=DD" (the ioctl's outcome), or
// "seconds=S error=TEXT" when the ioctl itself failed; exits 0 either way,
// 2 on bad arguments or a node that does not open.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kestrune_sgio_time NODE TIMEOUT_MS\n");
    return 2;
  }
  char* end = nullptr;
  const unsigned long timeout = std::strtoul(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || timeout == 0 || timeout > 600000) {
    std::fprintf(stderr, "kestrune_sgio_time: not a timeout in milliseconds: %s\n", argv[2]);
    return 2;
  }
  const int fd = ::open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "kestrune_sgio_time: %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  unsigned char cdb[10] = {0x25};
  unsigned char data[8] = {};
  unsigned char sense[32] = {};
  sg_io_hdr_t header{};
  header.interface_id = 'S';
  header.cmd_len = sizeof cdb;
  header.cmdp = cdb;
  header.dxfer_direction = SG_DXFER_FROM_DEV;
  header.dxfer_len = sizeof data;
  header.dxferp = data;
  header.mx_sb_len = sizeof sense;
  header.sbp = sense;
  header.timeout = static_cast<unsigned>(timeout);
  const auto began = std::chrono::steady_clock::now();
  const int rc = ::ioctl(fd, SG_IO, &header);
  const int error = errno;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (rc != 0) {
    std::printf("seconds=%.2f error=%s\n", seconds, std::strerror(error));
  } else {
    std::printf("seconds=%.2f status=%02x host=%02x driver=%02x\n", seconds, header.status,
                header.host_status, header.driver_status);
  }
  ::close(fd);
  return 0;
}
