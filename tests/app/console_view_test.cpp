#include "app/console/console_view.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace kestrune::console {
namespace {

constexpr unsigned kConfirmStyle = 0x40031;  // OK/Cancel, exclamation, topmost

struct ViewHarness {
  explicit ViewHarness(Answering answering, const std::string& input = "")
      : in(input), view(boxes, in, err, answering) {}
  std::ostringstream boxes;
  std::istringstream in;
  std::ostringstream err;
  ConsoleView view;
};

TEST(ConsoleView, EachBoxIsOneLineWithItsCaption) {
  ViewHarness h(Answering::kNeverAsk);
  EXPECT_EQ(h.view.ShowMessage("ISP was borken!", "Check ISP", kMbOk), kIdOk);
  EXPECT_EQ(h.view.ShowMessage("Destory ISP Success", "Success", kMbOk), kIdOk);
  EXPECT_EQ(h.boxes.str(), "[Check ISP] ISP was borken!\n[Success] Destory ISP Success\n");
}

// A box that quotes a drive's bytes must not steer the terminal, yet a
// folder's name in UTF-8 stays legible.
TEST(ConsoleView, BoxesShowNoControlBytes) {
  struct Case {
    const char* text;
    const char* shown;
  };
  for (const Case& c :
       {Case{"two\nlines", "two\nlines"}, Case{"\x1b[2J\x1b]0;title\x07!", "?[2J?]0;title?!"},
        Case{"C1 \xc2\x9b"
             "2J",
             "C1 ?"
             "?2J"},
        Case{"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        Case{"cut \xe2\x82", "cut ??"}, Case{"tab\tdel\x7f", "tab?del?"}}) {
    ViewHarness h(Answering::kNeverAsk);
    h.view.ShowMessage(c.text, "Fail", kMbIconError);
    EXPECT_EQ(h.boxes.str(), std::string("[Fail] ") + c.shown + "\n") << c.text;
  }
}

TEST(ConsoleView, OkCancelAnswers) {
  struct Case {
    Answering answering;
    const char* input;
    int answer;
  };
  for (const Case& c :
       {Case{Answering::kAlwaysOk, "", kIdOk},
        // Without a terminal nothing is read, even when input waits.
        Case{Answering::kNeverAsk, "ok\n", kIdCancel}, Case{Answering::kAsk, "ok\n", kIdOk},
        Case{Answering::kAsk, "O\n", kIdOk}, Case{Answering::kAsk, "yes\n", kIdOk},
        Case{Answering::kAsk, "\n", kIdCancel}, Case{Answering::kAsk, "okay\n", kIdCancel},
        Case{Answering::kAsk, "c\n", kIdCancel}, Case{Answering::kAsk, "", kIdCancel}}) {
    SCOPED_TRACE(c.input);
    ViewHarness h(c.answering, c.input);
    EXPECT_EQ(h.view.ShowMessage("Are you sure to update new ISP code ?", "Update ISP Warning",
                                 kConfirmStyle),
              c.answer);
    EXPECT_EQ(h.boxes.str(), "[Update ISP Warning] Are you sure to update new ISP code ?\n");
  }
}

TEST(ConsoleView, OnlyTheQuestionReadsInput) {
  ViewHarness h(Answering::kAsk, "ok\n");
  h.view.ShowMessage("ISP is OK!", "Check ISP", kMbOk);
  EXPECT_EQ(h.view.ShowMessage("Are you sure to update new ISP code ?", "Update ISP Warning",
                               kConfirmStyle),
            kIdOk);
}

TEST(ConsoleView, ProgressAndFilesGoToTheErrorStreamAndSayHowAStepEnded) {
  ViewHarness h(Answering::kAlwaysOk);
  const auto step = [&](StepKind kind, StepState state, const char* text) {
    h.view.Step({'E', kind, state, text, 0, 1});
  };
  step(StepKind::kBackup, StepState::kStarted, "Backup C:\\ISP0_Before.bin");
  step(StepKind::kBackup, StepState::kFailed, "Backup C:\\ISP0_Before.bin");
  step(StepKind::kWrite, StepState::kStarted, "Write ISP copy 0");
  step(StepKind::kWrite, StepState::kDone, "Write ISP copy 0");
  h.view.FileKept({"C:\\ISP0_After.bin", "/home/tech/ISP0_After.bin", 49152, FileKind::kBackup});
  EXPECT_TRUE(h.boxes.str().empty());
  EXPECT_EQ(h.err.str(),
            "... Backup C:\\ISP0_Before.bin\n"
            "... failed: Backup C:\\ISP0_Before.bin\n"
            "... Write ISP copy 0\n"
            "... done: Write ISP copy 0\n"
            "C:\\ISP0_After.bin -> /home/tech/ISP0_After.bin\n");
}

}  // namespace
}  // namespace kestrune::console
