#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog/dialog.h"
#include "device/commands.h"
#include "device/link.h"
#include "discovery/discovery.h"
#include "log/isp_log.h"
#include "platform/posix_platform.h"
#include "tests/support/device_temp_folder.h"
#include "tests/support/device_test_link.h"
#include "tests/support/recording_view.h"
#include "tests/support/scripted_transport.h"

namespace kestrune {
namespace {

using testing::RecordingView;
using testing::ScriptedDrive;
using testing::ScriptedVolumes;
using testing::TempFolder;

// --- the command-line rule ---

struct DestroyModeCase {
  std::vector<std::string> arguments;
  bool destroy;
};

class DestroyModeRule : public ::testing::TestWithParam<DestroyModeCase> {};

TEST_P(DestroyModeRule, FirstDashOrSecondD) {
  EXPECT_EQ(SelectsDestroyMode(GetParam().arguments), GetParam().destroy);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DestroyModeRule,
    ::testing::Values(DestroyModeCase{{}, false}, DestroyModeCase{{"-d"}, true},
                      DestroyModeCase{{"/d"}, true}, DestroyModeCase{{"-x"}, true},
                      DestroyModeCase{{"-"}, true}, DestroyModeCase{{"x"}, false},
                      DestroyModeCase{{"d"}, false}, DestroyModeCase{{""}, false},
                      DestroyModeCase{{"ad"}, true}, DestroyModeCase{{"/D"}, false},
                      DestroyModeCase{{"fix", "scan"}, false},
                      DestroyModeCase{{"", "x", "/d"}, true}));

// --- drive-list lines ---

DriveSlot MakeSlot(char letter, uint32_t sectorCount, uint32_t sectorSize, const char* vendor,
                   const char* product) {
  DriveSlot slot;
  std::memset(&slot, 0xCD, sizeof slot);
  std::memset(slot.vendorId, 0, sizeof slot.vendorId);
  std::memset(slot.productId, 0, sizeof slot.productId);
  slot.letter = letter;
  slot.sectorCount = sectorCount;
  slot.sectorSize = sectorSize;
  std::memcpy(slot.vendorId, vendor, std::min(std::strlen(vendor), sizeof slot.vendorId - 1));
  std::memcpy(slot.productId, product, std::min(std::strlen(product), sizeof slot.productId - 1));
  return slot;
}

struct LineCase {
  const char* name;
  char letter;
  uint32_t sectorCount;
  uint32_t sectorSize;
  const char* vendor;
  const char* product;
  const char* line;
};

class DriveLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(DriveLine, Formats) {
  const LineCase& c = GetParam();
  EXPECT_EQ(FormatDriveLine(MakeSlot(c.letter, c.sectorCount, c.sectorSize, c.vendor, c.product)),
            c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DriveLine,
    ::testing::Values(
        LineCase{"Capacity7800MB", 'E', 15974400, 512, "KESTR", "Disk",
                 "[E]: 7800.00MB KESTR Disk"},
        LineCase{"FillMeansNoCapacity", 'F', kNoSectorCount, 512, "V", "P", "[F]: 0.00MB V P"},
        LineCase{"FillIgnoresSectorSize", 'F', kNoSectorCount, 0xCDCDCDCD, "V", "P",
                 "[F]: 0.00MB V P"},
        LineCase{"SmallCapacityNoLeadingBlanks", 'G', 31232, 512, "V", "P", "[G]: 15.25MB V P"},
        LineCase{"ProductKeepsTrailingBlanks", 'E', 0, 512, "ABC", "Flash Disk      ",
                 "[E]: 0.00MB ABC Flash Disk      "},
        LineCase{"DoubleBlankFolded", 'E', 0, 512, "ABC  XY", "P", "[E]: 0.00MB ABC XY P"},
        LineCase{"OnlySevenVendorCharacters", 'E', 0, 512, "ABCDEFGH", "P",
                 "[E]: 0.00MB ABCDEFG P"},
        LineCase{"EighthCharacterOnlyAsFollower", 'E', 0, 512, "ABCDEF  ", "P",
                 "[E]: 0.00MB ABCDEF P"},
        LineCase{"BlankBeforeLetterKept", 'E', 0, 512, "ABCDEF X", "P", "[E]: 0.00MB ABCDEF  P"},
        // The 64-bit product: 32-bit arithmetic would wrap to a small figure.
        LineCase{"ProductDoesNotWrap", 'E', 0x00800000, 4096, "V", "P", "[E]: 32768.00MB V P"},
        // Beyond the seven-place field the figure is shown in full, not cut.
        LineCase{"HugeCapacityInFull", 'E', 0xFFFFFFFF, 0xFFFFFFFF, "V", "P",
                 "[E]: 17592186036224.00MB V P"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DriveLine, UnterminatedProductStopsAtItsField) {
  DriveSlot slot = MakeSlot('E', 0, 512, "V", "");
  std::memset(slot.productId, 'P', sizeof slot.productId);  // no NUL at all
  slot.inquiryText[0] = 'Z';
  EXPECT_EQ(FormatDriveLine(slot), "[E]: 0.00MB V PPPPPPPPPPPPPPPP");
}

// --- the dialog over a scripted drive ---

// The POSIX platform with a recorded debug channel and a chosen answer to
// the administrator question.
class AppTestPlatform : public platform::PosixPlatform {
 public:
  explicit AppTestPlatform(platform::PosixOptions options)
      : platform::PosixPlatform(std::move(options)) {}
  void DebugOutput(const char* text) override { debug.emplace_back(text); }
  bool IsAdministrator() override { return administrator; }

  bool administrator = false;
  std::vector<std::string> debug;
};

platform::PosixOptions OptionsFor(const TempFolder& folder) {
  std::filesystem::create_directories(folder.path() / "c");
  std::filesystem::create_directories(folder.path() / "tmp");
  platform::PosixOptions options;
  options.cDriveFolder = (folder.path() / "c").string();
  options.tempFolder = (folder.path() / "tmp").string();
  options.realSleep = false;
  return options;
}

// INQUIRY data: vendor at byte 8, product at 16, identification text at 36.
std::vector<uint8_t> InquiryReply(const std::string& vendor, const std::string& product,
                                  const std::string& text) {
  std::vector<uint8_t> reply(96, 0);
  std::copy(vendor.begin(), vendor.end(), reply.begin() + 8);
  std::copy(product.begin(), product.end(), reply.begin() + 16);
  std::copy(text.begin(), text.end(), reply.begin() + 36);
  return reply;
}

// A family-A drive whose flash probes fail: it still counts as found, with
// the verdict its text carries.
void ScriptDrive(ScriptedDrive& drive, bool healthy) {
  drive.Reply(device::kOpInquiry, InquiryReply("KESTR   ", "Flash Disk      ",
                                               healthy ? "UT0 control 1234" : "UT0 control 0000"));
  drive.Reply(device::kOpReadCapacity, {0x00, 0xF3, 0xC0, 0x00, 0x00, 0x00, 0x02, 0x00});
  drive.Reply(testing::MatchCdb({device::kOpController, device::kSubReadFlashId}),
              {0x98, 0xD7, 0x94, 0x32, 0x76});
}

class DialogTest : public ::testing::Test {
 protected:
  DialogTest()
      : platform(OptionsFor(folder)),
        link(volumes),
        log(platform),
        program(platform, link, log, view) {}

  std::unique_ptr<CKestruneDlg> Dialog(std::vector<std::string> arguments = {}) {
    return std::make_unique<CKestruneDlg>(program, view, std::move(arguments));
  }
  bool Debugged(const std::string& line) const {
    return std::find(platform.debug.begin(), platform.debug.end(), line) != platform.debug.end();
  }
  size_t DebugIndex(const std::string& line) const {
    return std::find(platform.debug.begin(), platform.debug.end(), line) - platform.debug.begin();
  }
  bool WorkFolderHoldsImages() const {
    const auto tmp = folder.path() / "tmp";
    return std::distance(std::filesystem::directory_iterator(tmp),
                         std::filesystem::directory_iterator()) > 0;
  }
  size_t OpensOf(char letter) const {
    return std::count(volumes.openAttempts.begin(), volumes.openAttempts.end(), letter);
  }

  TempFolder folder;
  AppTestPlatform platform;
  ScriptedVolumes volumes;
  testing::TestLink link;
  IspLog log;
  RecordingView view;
  Program program;
};

TEST_F(DialogTest, StartUpListsTheDriveAfterItsVerdict) {
  ScriptDrive(volumes.Attach('E'), true);
  folder.Write("c/ISP.log", "");
  auto dialog = Dialog();

  ASSERT_TRUE(dialog->OnInitDialog());

  EXPECT_TRUE(program.isAdmin);
  EXPECT_EQ(dialog->session().driveCount, 1);
  EXPECT_EQ(view.BoxTexts(), std::vector<std::string>{"ISP is OK!"});
  EXPECT_EQ(view.lists[kIdcDriveList],
            std::vector<std::string>{"[E]: 7800.00MB KESTR Flash Disk      "});
  EXPECT_EQ(view.selection[kIdcDriveList], 0);
  EXPECT_EQ(program.selectedDrive, 0);
  EXPECT_FALSE(view.visible[kIdcStatus]);
  EXPECT_TRUE(view.visible[kIdcStartFix]);
  EXPECT_FALSE(view.visible[kIdcDestroyIsp]);
  EXPECT_EQ(view.closeRequests, 0);
  // The log was started and the images extracted before the scan, which
  // the count line follows.
  EXPECT_EQ(folder.Read("c/ISP.log").rfind("Start", 0), 0u);
  EXPECT_TRUE(WorkFolderHoldsImages());
  ASSERT_TRUE(Debugged("MaxVolumes = 1 \r\n"));
  ASSERT_TRUE(Debugged("CheckDriveExist : DriverIndex -> 2"));
  EXPECT_LT(DebugIndex("CheckDriveExist : DriverIndex -> 2"), DebugIndex("MaxVolumes = 1 \r\n"));
  EXPECT_EQ(link.OpenVolumeCount(), 0u);
}

TEST_F(DialogTest, DestroyArgumentSwapsTheButtons) {
  ScriptDrive(volumes.Attach('E'), true);
  auto dialog = Dialog({"-d"});
  ASSERT_TRUE(dialog->OnInitDialog());
  EXPECT_EQ(dialog->destroyMode, 1);
  EXPECT_FALSE(view.visible[kIdcStartFix]);
  EXPECT_TRUE(view.visible[kIdcDestroyIsp]);
}

TEST_F(DialogTest, NoDriveShowsTheApplicationBoxAndCloses) {
  folder.Write("c/ISP.log", "old");
  auto dialog = Dialog();

  EXPECT_FALSE(dialog->OnInitDialog());

  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "Can't find any device !");
  EXPECT_EQ(view.boxes[0].caption, kAppTitle);
  EXPECT_EQ(view.boxes[0].style, kMbOk);
  EXPECT_EQ(view.closeRequests, 1);
  EXPECT_EQ(folder.Read("c/ISP.log"), "Start\r\n");
  EXPECT_TRUE(Debugged("MaxVolumes = 0 \r\n"));
  // Every letter was tried, C to Z and then B, never A.
  ASSERT_EQ(volumes.openAttempts.size(), 25u);
  EXPECT_EQ(volumes.openAttempts.front(), 'C');
  EXPECT_EQ(volumes.openAttempts.back(), 'B');
  EXPECT_EQ(OpensOf('A'), 0u);
  EXPECT_TRUE(view.lists[kIdcDriveList].empty());
}

TEST_F(DialogTest, NonAdministratorOnARealDeviceIsStoppedBeforeAnyWork) {
  ScriptDrive(volumes.Attach('E'), true);
  volumes.needsPrivilege = true;
  platform.administrator = false;
  folder.Write("c/ISP.log", "old");
  auto dialog = Dialog();
  dialog->session().driveCount = 7;

  EXPECT_FALSE(dialog->OnInitDialog());

  EXPECT_FALSE(program.isAdmin);
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "Is Not the Administrator ! ");
  EXPECT_EQ(view.boxes[0].caption, "ERROR");
  EXPECT_EQ(view.boxes[0].style, kMbIconError);
  EXPECT_EQ(view.closeRequests, 1);
  // No log, no images, no scan; the count keeps its earlier value.
  EXPECT_EQ(folder.Read("c/ISP.log"), "old");
  EXPECT_FALSE(WorkFolderHoldsImages());
  EXPECT_TRUE(volumes.openAttempts.empty());
  EXPECT_EQ(dialog->session().driveCount, 7);
  EXPECT_TRUE(Debugged("MaxVolumes = 7 \r\n"));
}

TEST_F(DialogTest, AdministratorCheck) {
  struct Case {
    bool needsPrivilege;
    bool administrator;
    bool passes;
  };
  for (const Case& c : {Case{false, false, true}, Case{false, true, true}, Case{true, true, true},
                        Case{true, false, false}}) {
    SCOPED_TRACE(::testing::Message()
                 << "privilege " << c.needsPrivilege << " admin " << c.administrator);
    program.isAdmin = false;
    volumes.needsPrivilege = c.needsPrivilege;
    platform.administrator = c.administrator;
    EXPECT_EQ(Dialog()->session().IsAdministrator(), c.passes);
    EXPECT_EQ(program.isAdmin, c.passes);
  }
}

TEST_F(DialogTest, BrokenVerdictIsShownAndTheDriveStillListed) {
  ScriptDrive(volumes.Attach('F'), false);
  auto dialog = Dialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  EXPECT_EQ(view.BoxTexts(), std::vector<std::string>{"ISP was borken!"});
  EXPECT_EQ(program.ispHealthy, 0);
  ASSERT_EQ(view.lists[kIdcDriveList].size(), 1u);
  EXPECT_EQ(view.lists[kIdcDriveList][0].rfind("[F]: 7800.00MB", 0), 0u);
}

TEST_F(DialogTest, ChoosingTheCurrentEntryDoesNotIdentifyAgain) {
  ScriptedDrive& drive = volumes.Attach('E');
  ScriptDrive(drive, true);
  auto dialog = Dialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  const size_t inquiries = drive.CountOf(device::kOpInquiry);
  const size_t boxes = view.boxes.size();

  view.selection[kIdcDriveList] = 0;
  dialog->OnDriveSelChange();
  view.selection[kIdcDriveList] = -1;  // nothing selected counts as entry 0
  dialog->OnDriveSelChange();

  EXPECT_EQ(drive.CountOf(device::kOpInquiry), inquiries);
  EXPECT_EQ(view.boxes.size(), boxes);
  EXPECT_EQ(program.Slot(0).letter, 'E');
  EXPECT_EQ(program.Slot(0).sectorCount, 15974400u);
}

TEST_F(DialogTest, ChoosingAnotherEntryIdentifiesThatSlot) {
  ScriptDrive(volumes.Attach('E'), true);
  ScriptedDrive& second = volumes.Attach('G');
  ScriptDrive(second, false);
  auto dialog = Dialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  // Only the first drive is found by the scan; list a second one by hand.
  program.Slot(1).letter = 'G';
  dialog->session().driveCount = 2;
  const uint32_t firstCount = program.Slot(0).sectorCount;

  view.selection[kIdcDriveList] = 1;
  dialog->OnDriveSelChange();

  EXPECT_EQ(dialog->session().comboIndex, 1);
  EXPECT_EQ(dialog->session().lastComboIndex, 1);
  EXPECT_EQ(program.selectedDrive, 1);
  EXPECT_EQ(second.CountOf(device::kOpInquiry), 1u);
  EXPECT_EQ(program.Slot(1).sectorCount, 15974400u);
  EXPECT_EQ(std::string(program.Slot(1).vendorId), "KESTR   ");
  EXPECT_EQ(program.Slot(0).sectorCount, firstCount);
  EXPECT_EQ(view.boxes.back().text, "ISP was borken!");
  EXPECT_FALSE(view.visible[kIdcStatus]);
}

TEST_F(DialogTest, SelectionBeyondTheTableIsIgnored) {
  ScriptDrive(volumes.Attach('E'), true);
  auto dialog = Dialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  view.selection[kIdcDriveList] = 300;
  dialog->OnDriveSelChange();
  EXPECT_EQ(program.selectedDrive, 0);
  EXPECT_EQ(dialog->session().lastComboIndex, 0);
}

TEST_F(DialogTest, FillDriveListReselectsTheLastEntry) {
  ScriptDrive(volumes.Attach('E'), true);
  auto dialog = Dialog();
  ASSERT_TRUE(dialog->OnInitDialog());
  view.selection[kIdcDriveList] = -1;
  dialog->FillDriveList();
  dialog->FillDriveList();
  EXPECT_EQ(view.lists[kIdcDriveList].size(), 1u);
  EXPECT_EQ(view.selection[kIdcDriveList], 0);

  dialog->session().driveCount = 0;
  dialog->FillDriveList();
  EXPECT_TRUE(view.lists[kIdcDriveList].empty());
  EXPECT_EQ(view.selection[kIdcDriveList], -1);
}

TEST_F(DialogTest, CloseRestartsOnlyAHealthyDriveOutsideDestroyMode) {
  struct Case {
    bool healthy;
    std::vector<std::string> arguments;
    bool restarts;
  };
  for (const Case& c : {Case{true, {}, true}, Case{false, {}, false}, Case{true, {"-d"}, false},
                        Case{false, {"/d"}, false}}) {
    SCOPED_TRACE(::testing::Message()
                 << "healthy " << c.healthy << " destroy " << !c.arguments.empty());
    ScriptedVolumes volumesHere;
    ScriptDrive(volumesHere.Attach('E'), c.healthy);
    testing::TestLink linkHere(volumesHere);
    RecordingView viewHere;
    Program programHere(platform, linkHere, log, viewHere);
    CKestruneDlg dialog(programHere, viewHere, c.arguments);
    ASSERT_TRUE(dialog.OnInitDialog());
    const size_t opens = volumesHere.openAttempts.size();

    dialog.OnClose();

    EXPECT_EQ(volumesHere.openAttempts.size() > opens, c.restarts);
    EXPECT_EQ(linkHere.OpenVolumeCount(), 0u);
  }
}

TEST_F(DialogTest, BrowseCancelledShowsTheBoxAndLeavesThePathEmpty) {
  auto dialog = Dialog();
  dialog->imagePath = "C:\\old.bin";
  view.browseResult = "";
  dialog->OnBrowse();
  EXPECT_EQ(dialog->imagePath, "");
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "Not any file selected.");
  EXPECT_EQ(view.boxes[0].caption, "Error");
  EXPECT_EQ(view.boxes[0].style, kMbIconError | kMbTopmost);
  EXPECT_EQ(view.texts[kIdcImagePath], "");

  view.browseResult = "C:\\images\\US.BIN";
  dialog->OnBrowse();
  EXPECT_EQ(dialog->imagePath, "C:\\images\\US.BIN");
  EXPECT_EQ(view.texts[kIdcImagePath], "C:\\images\\US.BIN");
  EXPECT_EQ(view.boxes.size(), 1u);
}

TEST_F(DialogTest, SystemMenuAboutItemOnly) {
  auto dialog = Dialog();
  EXPECT_TRUE(dialog->OnSysCommand(0x0010));
  EXPECT_TRUE(dialog->OnSysCommand(0x001F));   // low four bits are the system's own
  EXPECT_FALSE(dialog->OnSysCommand(0xF060));  // close
  EXPECT_FALSE(dialog->OnSysCommand(0xF020));  // minimise
  EXPECT_FALSE(dialog->OnSysCommand(0x0020));
}

TEST_F(DialogTest, InputsAreTheFourControls) {
  auto dialog = Dialog();
  dialog->DisableInputs();
  for (int id : {kIdcStartFix, kIdcBrowse, kIdcImagePath, kIdcDriveList}) {
    EXPECT_FALSE(view.enabled.at(id)) << id;
  }
  EXPECT_EQ(view.enabled.size(), 4u);
  dialog->EnableInputs();
  for (int id : {kIdcStartFix, kIdcBrowse, kIdcImagePath, kIdcDriveList}) {
    EXPECT_TRUE(view.enabled.at(id)) << id;
  }
}

TEST_F(DialogTest, AppRunsTheDialogInTheFrontEndsLoop) {
  ScriptDrive(volumes.Attach('E'), true);
  CKestruneApp app(program, view, {"-d"});
  EXPECT_EQ(app.mainWindow(), nullptr);
  bool ran = false;
  EXPECT_FALSE(app.InitInstance([&](CKestruneDlg& dialog) {
    ran = true;
    EXPECT_EQ(app.mainWindow(), &dialog);
    EXPECT_TRUE(dialog.OnInitDialog());
    EXPECT_EQ(dialog.destroyMode, 1);
  }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(app.mainWindow(), nullptr);
}

}  // namespace
}  // namespace kestrune
