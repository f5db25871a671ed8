// The 64-bit Windows build's pass-through transport under Wine: the probe
// opens "\\.\E:", which the prefix maps (dosdevices/e::) to a plain file,
// and Wine turns each pass-through request into SG_IO on it, which the
// preload library answers from a simulated drive.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "simulator/virtual_drive.h"
#include "tests/e2e/e2e_exchange.h"
#include "tests/e2e/e2e_sgio_log.h"

namespace kestrune::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path kDir = KESTRUNE_E2E_DIR;
const fs::path kPrefix = kDir / "wineprefix";
const fs::path kDevice = kDir / "wine_device.bin";
const fs::path kDrive = kDir / "e2e_drive_wine.json";
const fs::path kLog = kDir / "wine_e2e.log";

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string WineEnvironment() {
  return "WINEPREFIX=" + Quote(kPrefix.string()) +
         " WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
}

// Runs a shell command and returns its output and exit status.
int RunShell(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    if (output != nullptr) output->append(chunk, n);
  }
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WinePassThrough : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fs::exists(KESTRUNE_PROBE)) return;
    if (!fs::exists(kPrefix / "system.reg")) {
      RunShell(WineEnvironment() + Quote(KESTRUNE_WINE) + " wineboot -i 2>&1", nullptr);
    }
    std::ofstream(kDevice).flush();
    fs::create_directories(kPrefix / "dosdevices");
    std::error_code ignored;
    fs::remove(kPrefix / "dosdevices" / "e::", ignored);
    fs::create_symlink(kDevice, kPrefix / "dosdevices" / "e::");
  }

  void SetUp() override {
    ASSERT_TRUE(fs::exists(KESTRUNE_PROBE)) << "the win64 build has no " << KESTRUNE_PROBE;
    std::ofstream(kLog, std::ios::trunc).flush();
  }

  std::vector<Step> RunProbe() {
    std::string output;
    std::string command = WineEnvironment() + "LD_PRELOAD=" + Quote(KESTRUNE_PRELOAD) +
                          " KESTRUNE_SGIO_FILE=" + Quote(kDevice.string()) +
                          " KESTRUNE_SGIO_DRIVE=" + Quote(kDrive.string()) +
                          " KESTRUNE_SGIO_LOG=" + Quote(kLog.string()) + " " +
                          Quote(KESTRUNE_WINE) + " " + Quote(KESTRUNE_PROBE) + " E 2>/dev/null";
    EXPECT_EQ(RunShell(command, &output), 0) << output;
    std::vector<Step> steps;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Step step;
      if (ParseStep(line, step)) steps.push_back(step);
    }
    return steps;
  }

  static std::vector<Step> RunInProcess() {
    std::ifstream in(kDrive);
    std::stringstream json;
    json << in.rdbuf();
    std::string error;
    auto drive = sim::VirtualDrive::FromJsonText(json.str(), &error);
    if (!drive) return {};
    sim::SimulatedVolumes volumes;
    volumes.Attach('E', *drive);
    device::DeviceLink link(volumes);
    device::VolumeHandle handle = device::kNoVolume;
    if (!link.OpenVolume('E', handle)) return {};
    return RunExchange(link, handle);
  }
};

TEST_F(WinePassThrough, RequestsReachTheDriveThroughWine) {
  std::vector<Step> wine = RunProbe();
  std::vector<Step> local = RunInProcess();
  ASSERT_EQ(wine.size(), 9u);
  ASSERT_EQ(local.size(), 8u);
  EXPECT_EQ(FormatStep(wine[0]), "open ok ");
  for (size_t i = 0; i < local.size(); ++i) {
    const Step& seen = wine[i + 1];
    if (seen.name == "modebyte") continue;  // below
    EXPECT_EQ(FormatStep(seen), FormatStep(local[i]));
  }
  EXPECT_TRUE(wine[1].ok);                   // INQUIRY through the buffered block
  EXPECT_EQ(wine[5].data, MemoryPattern());  // data-out, then direct data-in
  EXPECT_FALSE(wine[6].ok);                  // CHECK CONDITION reaches the program
  EXPECT_EQ(wine[6].data, std::vector<uint8_t>(34, 0x5A));

  // Wine ignores host and driver status: a request the drive refuses comes
  // back as a success with an empty reply, where native SG_IO fails it.
  EXPECT_FALSE(local[6].ok);
  EXPECT_TRUE(wine[7].ok);
  EXPECT_EQ(wine[7].data, std::vector<uint8_t>(1, 0x00));
}

TEST_F(WinePassThrough, WineSendsTheProgramsDirectionsAndTimeouts) {
  RunProbe();
  std::vector<SgioLogLine> lines = ReadSgioLog(kLog.string());
  ASSERT_EQ(lines.size(), 8u);
  struct Expected {
    const char* cdbStart;
    const char* direction;
    unsigned length, timeoutMs;
  };
  // Commands without data travel as data-in of length 0 (DataIn 1), which
  // Wine hands on as a from-device transfer of no bytes.
  const Expected expected[] = {
      {"12 00 00 00 b4 00", "from", 180, 20000},
      {"25 00", "from", 8, 2000},
      {"fd 14", "from", 0, 20000000},
      {"fd 00 01 f0 00 ff 03 02 00 00", "to", 512, 2000000},
      {"fd 00 00 f0 00 ff 00 02 00 00", "from", 512, 2000000},
      {"f2 00", "from", 34, 2000},
      {"f3 00", "from", 1, 2000},
      {"fd 11 04", "from", 0, 20000000},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i].cdb);
    EXPECT_EQ(lines[i].cdb.rfind(expected[i].cdbStart, 0), 0u);
    EXPECT_EQ(lines[i].direction, expected[i].direction);
    EXPECT_EQ(lines[i].length, expected[i].length);
    EXPECT_EQ(lines[i].timeoutMs, expected[i].timeoutMs);
    EXPECT_EQ(lines[i].senseMax, 24u);
  }
}

}  // namespace
}  // namespace kestrune::e2e
