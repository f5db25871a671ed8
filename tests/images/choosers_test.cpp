#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <set>
#include <string>

#include "discovery/discovery.h"
#include "images/images.h"
#include "tests/images/images_fixture.h"

namespace kestrune {
namespace {

using Flash = std::array<uint8_t, 5>;

void SetDrive(DriveSlot& slot, ControllerId id, Flash flash, uint8_t revision = 0, char text9 = ' ',
              char text10 = ' ') {
  std::memset(&slot, 0, sizeof slot);
  slot.letter = 'E';
  slot.controllerId = id;
  std::memcpy(slot.flashId, flash.data(), flash.size());
  slot.revision = revision;
  std::memset(slot.inquiryText, ' ', 16);
  slot.inquiryText[9] = text9;
  slot.inquiryText[10] = text10;
}

TEST(UstDeviceCodes, AreExactlyTheTenCodes) {
  const std::set<int> ust = {0x33, 0x35, 0x36, 0x66, 0x71, 0x73, 0x75, 0x76, 0x78, 0x79};
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(IsUstDeviceCode(static_cast<uint8_t>(code)), ust.count(code) == 1) << code;
  }
}

// --- code image ---

struct CodeCase {
  const char* label;
  ControllerId id;
  Flash flash;
  uint8_t revision;
  const char* file;
  bool stampsA0;
};
void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.label; }

const CodeCase kCodeCases[] = {
    {"c162_any_flash", 0x162, {0x07, 0x75, 0x0C, 0x02, 0}, 2, "162.BIN", false},
    {"c190_wide_two_plane", 0x190, {0x98, 0xD7, 0x14, 0x26, 0}, 0, "cus6.BIN", false},
    {"c190_wide", 0x190, {0x98, 0xD7, 0x08, 0x01, 0}, 0, "cus1.BIN", false},
    {"c190_two_plane", 0x190, {0x98, 0xD7, 0x03, 0x02, 0}, 0, "cus5.BIN", false},
    {"c190_plain", 0x190, {0x07, 0x75, 0x03, 0x01, 0}, 2, "cus.BIN", false},
    {"c165_98_d7", 0x165, {0x98, 0xD7, 0x00, 0x02, 0}, 0, "165A9.BIN", false},
    {"c165_98_d5", 0x165, {0x98, 0xD5, 0x00, 0x06, 0}, 0, "165A9.BIN", false},
    {"c165_98_d7_one_plane", 0x165, {0x98, 0xD7, 0x00, 0x01, 0}, 0, "165A0.BIN", true},
    {"c165_other_maker", 0x165, {0xAD, 0xD7, 0x00, 0x02, 0}, 0, "165A0.BIN", true},
    {"maker07_rev2", 0x161, {0x07, 0x75, 0, 0, 0}, 2, "CAUR.BIN", false},
    {"maker07_rev3_is_baur", 0x161, {0x07, 0x00, 0, 0, 0}, 3, "BAUR.BIN", false},
    {"maker07_rev1", 0x168, {0x07, 0x00, 0, 0, 0}, 1, "BAUR.BIN", false},
    {"ust_rev1", 0x163, {0x98, 0x75, 0, 0, 0}, 1, "BAUST.BIN", false},
    {"ust_rev2", 0x169, {0x98, 0x33, 0, 0, 0}, 2, "CAUST.BIN", false},
    {"ust_rev0", 0x163, {0x98, 0x79, 0, 0, 0}, 0, "DAUST.BIN", false},
    {"rev1", 0x161, {0xEC, 0x77, 0, 0, 0}, 1, "BAUS.BIN", false},
    {"rev2", 0x163, {0xEC, 0xDA, 0, 0, 0}, 2, "CAUS.BIN", false},
    {"rev9", 0x163, {0xEC, 0xDA, 0, 0, 0}, 9, "DAUS.BIN", false},
};

class CodeImageTest : public ImagesTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(CodeImageTest, PicksTheRowsFile) {
  const CodeCase& c = GetParam();
  SetDrive(p.Slot(3), c.id, c.flash, c.revision, '9', 'C');
  p.Slot(3).inquiryText[8] = 'x';
  EXPECT_EQ(ChooseCodeImage(p, 3), Work(std::string("\\") + c.file));
  EXPECT_EQ(p.Slot(3).inquiryText[8], c.stampsA0 ? 'A' : 'x');
  EXPECT_EQ(p.Slot(3).inquiryText[9], c.stampsA0 ? '0' : '9');
  EXPECT_EQ(p.Slot(3).inquiryText[10], 'C');
}

INSTANTIATE_TEST_SUITE_P(Rows, CodeImageTest, ::testing::ValuesIn(kCodeCases),
                         [](const auto& info) { return std::string(info.param.label); });

// --- update images ---

// Every name either chooser can ask for, in every folder it can look in.
class UpdateImageTest : public ImagesTest {
 protected:
  void CreateAllCandidates() {
    for (const char* folder : {"A1", "163A2C", "A2D", "FP", "BCD"}) {
      ASSERT_TRUE(platform.CreateDirectory(Work(folder)));
    }
    for (const char* folder : {"\\", "A1\\", "163A2C\\", "A2D\\", "FP\\", "BCD\\"}) {
      for (const char* name :
           {"ur.bin", "ust.bin", "us.bin", "us1.bin", "us2.bin", "us3.bin", "us4.bin", "us5.bin",
            "us6.bin", "us7.bin", "cust.bin", "cus.bin", "cus1.bin", "cus2.bin", "cus4.bin",
            "cus5.bin", "cus6.bin", "cus7.bin"}) {
        ASSERT_TRUE(platform.WriteWholeFile(Work(std::string(folder) + name), {1}));
      }
    }
  }
};

struct UpdateCase {
  const char* label;
  ControllerId id;
  Flash flash;
  char text9;
  char text10;
  const char* expected;  // inside the work folder
};
void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.label; }

const UpdateCase kUpdateCases[] = {
    {"maker07", 0x161, {0x07, 0x75, 0x00, 0x02, 0}, ' ', 'Q', "\\ur.bin"},
    {"c163_C_maker07", 0x163, {0x07, 0x00, 0, 0, 0}, ' ', 'C', "163A2C\\ur.bin"},
    {"c163_C_ust", 0x163, {0x98, 0x36, 0x00, 0x02, 0}, ' ', 'C', "163A2C\\ust.bin"},
    {"Q_rev2_narrow", 0x162, {0x98, 0xDA, 0x00, 0x02, 0}, '2', 'Q', "\\us.bin"},
    {"Q_rev2_wide", 0x162, {0x98, 0xDA, 0x04, 0x00, 0}, '2', 'Q', "\\us1.bin"},
    {"Q_rev1_narrow", 0x162, {0x98, 0xDA, 0x00, 0x00, 0}, '1', 'Q', "\\us1.bin"},
    {"c163_Q_in_BCD", 0x163, {0x98, 0xDA, 0x00, 0x00, 0}, '2', 'Q', "BCD\\us.bin"},
    {"two_plane_narrow", 0x162, {0x98, 0xDA, 0x00, 0x02, 0}, ' ', 'C', "\\us5.bin"},
    {"two_plane_wide", 0x165, {0x98, 0xDA, 0x04, 0x06, 0}, ' ', 'C', "\\us6.bin"},
    {"two_plane_F_skips_rows", 0x162, {0x98, 0xDA, 0x00, 0x02, 0}, ' ', 'F', "\\us.bin"},
    {"c163_F_in_FP", 0x163, {0x98, 0xDA, 0x04, 0x02, 0}, ' ', 'F', "FP\\us1.bin"},
    {"maker01", 0x162, {0x01, 0xDA, 0x00, 0x00, 0}, ' ', ' ', "\\us3.bin"},
    {"maker92", 0x162, {0x92, 0xDA, 0x04, 0x00, 0}, ' ', ' ', "\\us7.bin"},
    {"maker45_low_bits", 0x162, {0x45, 0xDA, 0x01, 0x00, 0}, ' ', ' ', "\\us2.bin"},
    {"maker45_no_low_bits", 0x162, {0x45, 0xDA, 0x04, 0x00, 0}, ' ', ' ', "\\us1.bin"},
    {"makerAD_64", 0x162, {0xAD, 0xDA, 0x04, 0x00, 0x64}, ' ', ' ', "\\us4.bin"},
    {"makerAD_68", 0x163, {0xAD, 0xDA, 0x04, 0x00, 0x68}, ' ', 'B', "A1\\us4.bin"},
    {"makerAD_other", 0x162, {0xAD, 0xDA, 0x04, 0x00, 0x60}, ' ', ' ', "\\us1.bin"},
    {"narrow", 0x163, {0x98, 0xDA, 0x00, 0x00, 0}, ' ', 'D', "A2D\\us.bin"},
    {"wide", 0x163, {0x98, 0xDA, 0x04, 0x00, 0}, ' ', 'Z', "A1\\us1.bin"},
    // Rows that name no file test the folder itself, which fails.
    {"two_plane_other_width", 0x162, {0x98, 0xDA, 0x08, 0x02, 0}, ' ', ' ', "\\us1.bin"},
    {"width_0C", 0x162, {0x98, 0xDA, 0x0C, 0x00, 0}, ' ', ' ', "\\us1.bin"},
};

class UpdateImageRowsTest : public UpdateImageTest,
                            public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateImageRowsTest, PicksTheRowsFile) {
  CreateAllCandidates();
  const UpdateCase& c = GetParam();
  p.selectedDrive = 2;
  SetDrive(p.Slot(2), c.id, c.flash, 0, c.text9, c.text10);
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), c.id), Work(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateImageRowsTest, ::testing::ValuesIn(kUpdateCases),
                         [](const auto& info) { return std::string(info.param.label); });

const UpdateCase kUpdate190Cases[] = {
    {"ust_first", 0x190, {0x92, 0x71, 0x04, 0x02, 0}, ' ', ' ', "\\cust.bin"},
    {"maker92", 0x190, {0x92, 0xDA, 0x04, 0x02, 0}, ' ', ' ', "\\cus7.bin"},
    {"maker45_low_bits", 0x190, {0x45, 0xDA, 0x02, 0x02, 0}, ' ', ' ', "\\cus2.bin"},
    {"makerAD_64", 0x190, {0xAD, 0xDA, 0x04, 0x02, 0x64}, ' ', ' ', "\\cus4.bin"},
    {"wide_two_plane", 0x190, {0x98, 0xDA, 0x14, 0x26, 0}, ' ', ' ', "\\cus6.bin"},
    {"wide", 0x190, {0x98, 0xDA, 0x08, 0x01, 0}, ' ', ' ', "\\cus1.bin"},
    {"two_plane", 0x190, {0x98, 0xDA, 0x00, 0x02, 0}, ' ', ' ', "\\cus5.bin"},
    {"plain", 0x190, {0x98, 0xDA, 0x00, 0x01, 0}, ' ', ' ', "\\cus.bin"},
    // No row for maker 0x07 nor for 'Q', and no 0x163 sub-folder.
    {"maker07_is_plain", 0x190, {0x07, 0xDA, 0x00, 0x00, 0}, ' ', ' ', "\\cus.bin"},
    {"Q_ignored", 0x190, {0x98, 0xDA, 0x00, 0x00, 0}, '2', 'Q', "\\cus.bin"},
};

class UpdateImage190RowsTest : public UpdateImageTest,
                               public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateImage190RowsTest, PicksTheRowsFile) {
  CreateAllCandidates();
  const UpdateCase& c = GetParam();
  p.selectedDrive = 1;
  SetDrive(p.Slot(1), c.id, c.flash, 0, c.text9, c.text10);
  EXPECT_EQ(ChooseUpdateImage190(p.platform, TraitsOf(p.Selected())), Work(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateImage190RowsTest, ::testing::ValuesIn(kUpdate190Cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(UpdateImageTest, TheTwoChoosersSplitDifferently) {
  CreateAllCandidates();
  struct Pair {
    Flash flash;
    const char* plain;
    const char* for190;
  };
  for (const Pair& pair : {Pair{{0x07, 0xDA, 0x00, 0x00, 0}, "\\ur.bin", "\\cus.bin"},
                           Pair{{0x98, 0xDA, 0x08, 0x02, 0}, "\\us1.bin", "\\cus6.bin"},
                           Pair{{0x98, 0xDA, 0x00, 0x02, 0}, "\\us5.bin", "\\cus5.bin"},
                           Pair{{0x98, 0xDA, 0x04, 0x03, 0}, "\\us1.bin", "\\cus6.bin"}}) {
    SetDrive(p.Selected(), 0x190, pair.flash);
    EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x162), Work(pair.plain));
    EXPECT_EQ(ChooseUpdateImage190(p.platform, TraitsOf(p.Selected())), Work(pair.for190));
  }
}

// After a real extraction: which choices find their file, and where the
// fallbacks point when they do not.
TEST_F(UpdateImageTest, AfterExtractionChoicesMeetTheUpperCaseFiles) {
  ExtractImages(p.platform, p.images.get());

  SetDrive(p.Selected(), 0x161, {0x07, 0x00, 0, 0, 0}, 3);
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x161), Work("\\us1.bin"))
      << "no ur.bin at the top";

  SetDrive(p.Selected(), 0x163, {0x07, 0x00, 0, 0, 0}, 0, ' ', 'C');
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x163), Work("163A2C\\ur.bin"));

  SetDrive(p.Selected(), 0x163, {0x98, 0x66, 0, 0, 0}, 0, ' ', 'C');
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x163), Work("163A2C\\ust.bin"));

  SetDrive(p.Selected(), 0x163, {0x98, 0xDA, 0x00, 0x00, 0}, 0, ' ', 'D');
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x163), Work("A2D\\us1.bin"))
      << "A2D is never filled";

  SetDrive(p.Selected(), 0x162, {0x98, 0xDA, 0x00, 0x02, 0});
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x162), Work("\\us5.bin"));

  SetDrive(p.Selected(), 0x190, {0x45, 0xDA, 0x01, 0x00, 0});
  EXPECT_EQ(ChooseUpdateImage190(p.platform, TraitsOf(p.Selected())), Work("\\cus1.bin"))
      << "no cus2.bin is extracted";

  SetDrive(p.Selected(), 0x190, {0x98, 0xDA, 0x14, 0x26, 0});
  EXPECT_EQ(ChooseUpdateImage190(p.platform, TraitsOf(p.Selected())), Work("\\cus6.bin"));
}

TEST_F(UpdateImageTest, FallbackIsReturnedEvenWhenItIsMissingToo) {
  SetDrive(p.Selected(), 0x162, {0x92, 0xDA, 0, 0, 0});
  EXPECT_EQ(ChooseUpdateImage(p.platform, TraitsOf(p.Selected()), 0x162), Work("\\us1.bin"));
  EXPECT_EQ(ChooseUpdateImage190(p.platform, TraitsOf(p.Selected())), Work("\\cus1.bin"));
}

}  // namespace
}  // namespace kestrune
