#include "app/console/terminal_owner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::console {
namespace {

// What a terminal shows after the bytes the owner wrote: the few sequences
// the owner uses (cursor up, carriage return, erase line, erase below).
std::vector<std::string> Screen(const std::string& bytes) {
  std::vector<std::string> screen(1);
  size_t row = 0;
  size_t column = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      size_t end = i + 2;
      while (end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end]))) ++end;
      const std::string number = bytes.substr(i + 2, end - i - 2);
      const char command = end < bytes.size() ? bytes[end] : 0;
      if (command == 'A') {
        const size_t up = number.empty() ? 1 : std::stoul(number);
        row = up > row ? 0 : row - up;
      } else if (command == 'K') {
        screen[row].clear();
      } else if (command == 'J') {
        screen[row].resize(std::min(screen[row].size(), column));
        screen.resize(row + 1);
      }
      i = end;
      continue;
    }
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      ++row;
      column = 0;
      if (screen.size() <= row) screen.resize(row + 1);
    } else {
      if (screen[row].size() <= column) screen[row].resize(column + 1, ' ');
      screen[row][column++] = c;
    }
  }
  while (!screen.empty() && screen.back().empty()) screen.pop_back();
  return screen;
}

LiveRow Working(char letter, double progress) {
  return {letter, "USB DISK", "write", progress, 1.0, ""};
}

TerminalSizeSource Terminal(int columns, int lines) {
  return [columns, lines] { return platform::TerminalSize{columns, lines}; };
}

// Waits for the owner's drawing thread to have drawn `rows` rows.
bool Drawn(const std::ostringstream& out, size_t rows) {
  // A bound only for a drawing that never comes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Screen(out.str()).size() >= rows) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

size_t Count(const std::vector<std::string>& screen, const std::string& start) {
  size_t count = 0;
  for (const std::string& line : screen) count += line.rfind(start, 0) == 0;
  return count;
}

// An interrupt's notice printed below the rows was drawn over by the next
// drawing, which left a row twice: a line goes above the rows, and the rows
// are drawn again below it, each once.
TEST(TerminalOwner, ALineGoesAboveTheRowsAndNoRowIsDrawnTwice) {
  std::ostringstream out;
  TerminalOwner owner(out, Terminal(60, 10));
  std::vector<TerminalOwner::RowId> rows;
  for (char letter : {'E', 'F', 'G'}) {
    rows.push_back(owner.AddRow());
    owner.UpdateRow(rows.back(), Working(letter, 0.25));
  }
  ASSERT_TRUE(Drawn(out, 3));
  owner.Line(out, "interrupt received; the watch ends once the drives under way are done");
  for (size_t i = 0; i < rows.size(); ++i) owner.UpdateRow(rows[i], Working("EFG"[i], 0.5));
  owner.FinishRow(rows[0], {'E', "USB DISK", "restart", 1.0, 2.0, "success"});
  owner.Settle();
  owner.Line(out, "after");
  const std::vector<std::string> screen = Screen(out.str());
  ASSERT_EQ(screen.size(), 5U) << out.str();
  EXPECT_EQ(screen[0], "interrupt received; the watch ends once the drives under way are done");
  for (const char* letter : {"E:", "F:", "G:"}) EXPECT_EQ(Count(screen, letter), 1U) << letter;
  EXPECT_NE(screen[1].find("success"), std::string::npos) << screen[1];
  EXPECT_EQ(screen[4], "after") << "a settled table stays above what comes next";
}

// A row that was never updated is not shown, and rows keep their order of
// adding, whichever drive told a step first.
TEST(TerminalOwner, RowsShowFromTheirFirstUpdateInTheOrderTheyWereAdded) {
  std::ostringstream out;
  TerminalOwner owner(out, Terminal(80, 10));
  const TerminalOwner::RowId e = owner.AddRow();
  const TerminalOwner::RowId f = owner.AddRow();
  owner.AddRow();
  owner.UpdateRow(f, Working('F', 0.1));
  owner.UpdateRow(e, Working('E', 0.1));
  owner.Settle();
  const std::vector<std::string> screen = Screen(out.str());
  ASSERT_EQ(screen.size(), 2U) << out.str();
  EXPECT_EQ(screen[0].rfind("E:", 0), 0U);
  EXPECT_EQ(screen[1].rfind("F:", 0), 0U);
}

// Output that is no terminal (a pipe, a file) gets the lines alone.
TEST(TerminalOwner, NothingIsDrawnWhenTheOutputIsNoTerminal) {
  for (const TerminalSizeSource& size : {TerminalSizeSource(nullptr), TerminalSizeSource([] {
                                           return std::optional<platform::TerminalSize>();
                                         })}) {
    std::ostringstream out;
    {
      TerminalOwner owner(out, size);
      const TerminalOwner::RowId row = owner.AddRow();
      owner.UpdateRow(row, Working('E', 0.5));
      owner.Line(out, "a line");
      owner.FinishRow(row, {'E', "USB DISK", "restart", 1.0, 2.0, "success"});
      OwnedStream lines(owner, out, "E: ");
      lines << "one\r\ntwo" << std::endl << "three";
    }
    EXPECT_EQ(out.str(), "a line\nE: one\nE: two\nE: three\n");
    EXPECT_EQ(TerminalOwner(out, size).Columns(), 0U);
  }
}

// A question and its answer stand alone: while it waits the rows are off
// the screen and no update draws them; the answer brings them back below.
TEST(TerminalOwner, APauseKeepsTheRowsAwayUntilTheAnswer) {
  std::ostringstream out;
  TerminalOwner owner(out, Terminal(80, 10));
  const TerminalOwner::RowId row = owner.AddRow();
  owner.UpdateRow(row, Working('E', 0.25));
  ASSERT_TRUE(Drawn(out, 1));
  OwnedStream err(owner, out);
  EXPECT_EQ(OwnerOf(err), &owner);
  std::ostringstream other;
  EXPECT_EQ(OwnerOf(other), nullptr);
  // The drawing thread ticks before each drawing it would make.
  std::mutex ticking;
  std::condition_variable ticked;
  int ticks = 0;
  owner.OnTick([&] {
    const std::lock_guard<std::mutex> lock(ticking);
    ++ticks;
    ticked.notify_all();
  });
  size_t asked = 0;
  {
    const TerminalOwner::Pause pause = owner.Suspend();
    err << "OK or Cancel? [o/C] " << std::flush;
    asked = out.str().size();
    owner.UpdateRow(row, Working('E', 0.5));
    // Two turns of the drawing thread after the update: each had it to
    // draw, and drew nothing.
    {
      std::unique_lock<std::mutex> lock(ticking);
      const int seen = ticks;
      EXPECT_TRUE(
          ticked.wait_for(lock, std::chrono::seconds(60), [&] { return ticks >= seen + 2; }));
    }
    EXPECT_EQ(out.str().size(), asked) << "drawn during the question: " << out.str().substr(asked);
    out << "o\n";  // the terminal echoes the answer
  }
  owner.Settle();
  const std::vector<std::string> screen = Screen(out.str());
  ASSERT_EQ(screen.size(), 2U) << out.str();
  EXPECT_EQ(screen[0], "OK or Cancel? [o/C] o");
  EXPECT_EQ(screen[1].rfind("E:", 0), 0U);
  EXPECT_NE(screen[1].find("[##########..........]"), std::string::npos) << screen[1];
}

// A short terminal keeps the rows under way and counts the others as what
// they are, by the rows finished, not by their place.
TEST(TerminalOwner, RowsLeftOutOfAShortTerminalAreCountedAsWhatTheyAre) {
  std::ostringstream out;
  TerminalOwner owner(out, Terminal(60, 10));
  std::vector<TerminalOwner::RowId> rows;
  for (char letter = 'D'; letter < 'D' + 12; ++letter) {
    rows.push_back(owner.AddRow());
    owner.UpdateRow(rows.back(), Working(letter, 0.5));
  }
  // The first four end; eight still work.
  for (size_t i = 0; i < 4; ++i) {
    owner.FinishRow(rows[i], {static_cast<char>('D' + i), "USB DISK", "restart", 1, 2, "success"});
  }
  owner.UpdateRow(rows[0], Working('D', 0.1));  // a finished row stays finished
  owner.Settle();
  const std::vector<std::string> screen = Screen(out.str());
  ASSERT_EQ(screen.size(), 9U) << out.str();
  EXPECT_EQ(screen.back(), "... 4 finished");
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(screen[i].rfind(std::string(1, static_cast<char>('H' + i)) + ":", 0), 0U)
        << screen[i];
  }
}

// Once the run's last word comes, no other thread writes under it.
TEST(TerminalOwner, AfterStopOtherWritersOnlyTheLastWordIsWritten) {
  std::ostringstream out;
  TerminalOwner owner(out, nullptr);
  owner.StopOtherWriters();
  std::thread other([&] { owner.Line(out, "a drive's late line"); });
  other.join();
  owner.LastWord(out, "the summary\n");
  owner.Line(out, "the freezing thread's own line");
  EXPECT_EQ(out.str(), "the summary\nthe freezing thread's own line\n");
}

// An interrupt that ends the run at once, typed while two drives work: the
// terminal echoes ^C below the rows. The box a drive earned comes first,
// then the notice, then every row finished with its drive's outcome, then
// the summary, and the echo shares no line with any of them; the box is
// written once, whoever else pays it later.
TEST(TerminalOwner, AnInterruptThatEndsTheRunFinishesEveryRow) {
  std::ostringstream out;
  TerminalOwner owner(out, Terminal(80, 10));
  const TerminalOwner::RowId d = owner.AddRow();
  const TerminalOwner::RowId e = owner.AddRow();
  owner.UpdateRow(d, Working('D', 0.85));
  owner.UpdateRow(e, Working('E', 0.4));
  ASSERT_TRUE(Drawn(out, 2));
  owner.OnTick([&] {
    if (!owner.Closing()) return;
    LiveRow repaired = Working('D', 0.85);
    repaired.outcome = "repaired, pull it now";
    owner.FinishRow(d, repaired);
    LiveRow cut = Working('E', 0.4);
    cut.outcome = "interrupted";
    owner.FinishRow(e, cut);
  });
  const TerminalOwner::HeldTextId box = owner.HoldText(out, "[SUCCESS] please replug\n");
  out << "^C";  // the terminal's echo, where the cursor stands
  owner.ShowAllHeldText();
  owner.Line(out, "interrupt received; the run stops now");
  owner.StopOtherWriters();
  owner.LastWord(out, "drive  outcome\n");
  std::thread late([&] { owner.ShowHeldText(box); });
  late.join();

  const std::vector<std::string> screen = Screen(out.str());
  ASSERT_EQ(screen.size(), 5U) << out.str();
  EXPECT_EQ(screen[0], "[SUCCESS] please replug");
  EXPECT_EQ(screen[1], "interrupt received; the run stops now");
  EXPECT_EQ(screen[2].rfind("D:", 0), 0U) << screen[2];
  EXPECT_NE(screen[2].find("  repaired, pull it now"), std::string::npos) << screen[2];
  EXPECT_EQ(screen[3].rfind("E:", 0), 0U) << screen[3];
  EXPECT_NE(screen[3].find("  interrupted"), std::string::npos) << screen[3];
  EXPECT_EQ(screen[4], "drive  outcome");
  EXPECT_EQ(out.str().find("[SUCCESS]"), out.str().rfind("[SUCCESS]")) << "the box twice";
}

}  // namespace
}  // namespace kestrune::console
