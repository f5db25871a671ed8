// Runs the end-to-end exchange through the Windows pass-through transport
// and prints one line per command. Built for Windows, run under Wine by
// wine_passthrough_e2e_test.
#include <cstdio>

#include "device/passthrough_win32.h"
#include "tests/e2e/e2e_exchange.h"

int main(int argc, char** argv) {
  using namespace kestrune;
  char letter = argc > 1 && argv[1][0] != '\0' ? argv[1][0] : 'E';
  device::PassThroughVolumes volumes;
  device::DeviceLink link(volumes);
  device::VolumeHandle handle = device::kNoVolume;
  if (!link.OpenVolume(letter, handle)) {
    std::printf("open fail\n");
    return 2;
  }
  std::printf("open ok\n");
  for (const e2e::Step& step : e2e::RunExchange(link, handle)) {
    std::printf("%s\n", e2e::FormatStep(step).c_str());
  }
  link.CloseVolume(handle);
  std::fflush(stdout);
  return 0;
}
