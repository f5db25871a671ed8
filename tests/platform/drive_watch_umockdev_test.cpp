#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/drive_watch.h"
#include "tests/support/usb_testbed.h"

namespace kestrune::platform {
namespace {

using Kind = DriveEvent::Kind;

std::vector<DriveEvent> Drain(DriveWatch& watch) {
  std::vector<DriveEvent> events;
  while (std::optional<DriveEvent> event = watch.Next(200)) events.push_back(*event);
  return events;
}

class DriveWatchTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::UsbTestbed::Mocked()) GTEST_SKIP() << "needs umockdev's preload library";
  }
  test::UsbTestbed bench;
};

// Whole USB disks only, each add and remove told with the same name: a
// partition or a fixed disk would start a job on the wrong node, and a
// remove not matched to its add would keep a letter taken for good.
TEST_F(DriveWatchTest, TellsWholeUsbDisksComingAndGoing) {
  std::string problem;
  const auto watch = WatchUsbDisks(false, problem);
  ASSERT_NE(watch, nullptr) << problem;
  const std::string stick = bench.Plug("1-1", "sdb", "KS0001");
  bench.AddPartition(stick, "sdb1");
  bench.AddFixedDisk("sda");
  const std::string other = bench.Plug("1-2", "sdc", "KS0002");
  bench.Unplug(other);
  bench.Unplug(stick);
  const std::vector<DriveEvent> events = Drain(*watch);
  ASSERT_EQ(events.size(), 4U);
  const std::vector<std::pair<Kind, std::string>> expected{{Kind::kAdded, "/dev/sdb"},
                                                           {Kind::kAdded, "/dev/sdc"},
                                                           {Kind::kRemoved, "/dev/sdc"},
                                                           {Kind::kRemoved, "/dev/sdb"}};
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, expected[i].first) << i;
    EXPECT_EQ(events[i].node, expected[i].second) << i;
  }
  EXPECT_EQ(events[0].serial, "KS0001");
  EXPECT_EQ(events[0].port, "1-1");
  EXPECT_EQ(events[1].port, "1-2");
  EXPECT_EQ(events[3].hostName, events[0].hostName);
}

// The port and serial reach the terminal and the documents: a stick's own
// serial that steers a terminal or runs on for pages is cut to printable
// text of a bounded length; a stick behind a hub is named by its port there.
TEST_F(DriveWatchTest, PortAndSerialAreBoundedPrintableText) {
  std::string problem;
  const auto watch = WatchUsbDisks(false, problem);
  ASSERT_NE(watch, nullptr) << problem;
  bench.Plug("3-1.4", "sde", "  KS\x1b[2J\t01" + std::string(500, 'A') + "  ");
  const std::vector<DriveEvent> events = Drain(*watch);
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].port, "3-1.4");
  EXPECT_EQ(events[0].serial, ("KS[2J01" + std::string(500, 'A')).substr(0, kDriveTextLimit));
}

// A watch that does not include them leaves the drives plugged in before
// it began alone, and their unplugging too; one that does tells each once.
TEST_F(DriveWatchTest, DrivesPresentAtTheStartOnlyWhenIncluded) {
  const std::string present = bench.Plug("2-1", "sdd", "KS0003");
  for (const bool include : {false, true}) {
    std::string problem;
    const auto watch = WatchUsbDisks(include, problem);
    ASSERT_NE(watch, nullptr) << problem;
    const std::vector<DriveEvent> events = Drain(*watch);
    ASSERT_EQ(events.size(), include ? 1U : 0U) << include;
    if (include) {
      EXPECT_EQ(events[0].node, "/dev/sdd");
    }
  }
  std::string problem;
  const auto watch = WatchUsbDisks(false, problem);
  ASSERT_NE(watch, nullptr) << problem;
  bench.Unplug(present);
  EXPECT_TRUE(Drain(*watch).empty());
}

}  // namespace
}  // namespace kestrune::platform
