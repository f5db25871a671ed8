// The generated stand-in payloads, checked against their layout with CRCs
// computed here rather than trusted from the generator.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "device/bytes.h"
#include "images/images.h"
#include "platform/platform.h"
#include "resources/image_list.h"
#include "resources/standin_layout.h"
#include "simulator/crc32.h"

namespace kestrune {
namespace {

using bytes::LoadBe32;
using sim::Crc32;

class StandInTest : public ::testing::TestWithParam<resources::ListedImage> {
 protected:
  void SetUp() override {
    if (!resources::PayloadsAreStandIns()) GTEST_SKIP() << "built with real payloads";
    const auto found = host->FindResource("BinaryFile", GetParam().id);
    ASSERT_TRUE(found.has_value());
    image = *found;
    ASSERT_EQ(image.size(), GetParam().size);
    std::memset(name, 0, sizeof name);
    std::strncpy(name, GetParam().path, sizeof name);
  }

  // The CRC of a region's first length-4 bytes must sit in its last four.
  void ExpectSealed(uint32_t offset, uint32_t length) {
    const uint8_t* region = image.data() + offset;
    EXPECT_EQ(LoadBe32(region + length - 4), Crc32(region, length - 4)) << "region at " << offset;
  }
  void ExpectHeader(uint32_t offset, const char (&magic)[8], uint32_t nameOffset) {
    EXPECT_EQ(std::memcmp(image.data() + offset, magic, 8), 0) << "magic at " << offset;
    EXPECT_EQ(std::memcmp(image.data() + offset + nameOffset, name, standin::kNameLength), 0)
        << "name at " << offset;
  }

  std::unique_ptr<platform::Platform> host = platform::CreateHostPlatform();
  std::span<const uint8_t> image;
  char name[standin::kNameLength];
};

TEST_P(StandInTest, FollowsTheLayout) {
  // Image record: magic, name, size and the CRC of everything from the ISP
  // payload on.
  ExpectHeader(0, standin::kImageMagic, 8);
  EXPECT_EQ(LoadBe32(image.data() + 24), image.size());
  EXPECT_EQ(LoadBe32(image.data() + 28),
            Crc32(image.data() + standin::kIspOffset, image.size() - standin::kIspOffset));

  ExpectHeader(standin::kIspOffset, standin::kIspMagic, 8);
  ExpectSealed(standin::kIspOffset, standin::kIspSize);

  for (uint32_t block : {5u, 12u}) {
    const uint32_t offset = block * standin::kCodeBlockSize;
    ExpectHeader(offset, standin::kCodeMagic, 9);
    EXPECT_EQ(image[offset + 8], block);
    ExpectSealed(offset, standin::kCodeBlockSize);
  }

  if (image.size() == 131072) {
    ExpectHeader(standin::kAuxOffset, standin::kAuxMagic, 8);
    ExpectSealed(standin::kAuxOffset, standin::kAuxSize);
  }
}

INSTANTIATE_TEST_SUITE_P(AllImages, StandInTest, ::testing::ValuesIn(resources::ListedImages()),
                         [](const auto& info) { return "id" + std::to_string(info.param.id); });

// Images of the same name in the two folders must still differ, or a
// wrong-folder choice could not be told from a right one.
TEST(StandIns, EveryIspPayloadIsDistinct) {
  if (!resources::PayloadsAreStandIns()) GTEST_SKIP() << "built with real payloads";
  auto host = platform::CreateHostPlatform();
  std::set<std::string> payloads;
  for (const resources::ListedImage& listed : resources::ListedImages()) {
    const auto image = host->FindResource("BinaryFile", listed.id);
    ASSERT_TRUE(image.has_value());
    const auto* isp = reinterpret_cast<const char*>(image->data()) + standin::kIspOffset;
    EXPECT_TRUE(payloads.emplace(isp, standin::kIspSize).second) << listed.path;
  }
}

}  // namespace
}  // namespace kestrune
