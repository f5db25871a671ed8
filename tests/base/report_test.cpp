#include "base/report.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kestrune {
namespace {

// What an operation reports when things happen to it one after another:
// the exit code and every summary are made from the outcome left.
struct SettleCase {
  const char* name;
  std::vector<Outcome> happened;  // each failure with the text "failure <n>"
  Outcome outcome;
  const char* failure;
};

class ReportSettle : public ::testing::TestWithParam<SettleCase> {};

TEST_P(ReportSettle, KeepsWhatMattersMost) {
  Report report;
  for (size_t i = 0; i < GetParam().happened.size(); ++i) {
    Settle(report, GetParam().happened[i], "failure " + std::to_string(i));
  }
  EXPECT_EQ(report.outcome, GetParam().outcome);
  EXPECT_EQ(report.failure, GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, ReportSettle,
    ::testing::Values(
        // A backup that failed stays a failure when the write then succeeds.
        SettleCase{"FailureThenSuccess",
                   {Outcome::kFailed, Outcome::kSuccess},
                   Outcome::kFailed,
                   "failure 0"},
        // The first failure is the one told.
        SettleCase{
            "TwoFailures", {Outcome::kRefused, Outcome::kFailed}, Outcome::kRefused, "failure 0"},
        // A verified write whose After backups an interrupt cut short.
        SettleCase{"SuccessThenInterrupt",
                   {Outcome::kSuccess, Outcome::kInterrupted},
                   Outcome::kInterrupted,
                   ""},
        SettleCase{"FailureThenInterrupt",
                   {Outcome::kFailed, Outcome::kInterrupted},
                   Outcome::kFailed,
                   "failure 0"},
        SettleCase{
            "CancelThenSuccess", {Outcome::kCancelled, Outcome::kSuccess}, Outcome::kCancelled, ""},
        SettleCase{"NothingSettles", {Outcome::kSuccess, Outcome::kNone}, Outcome::kSuccess, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A row copied and not all changed would show two states alike: one name
// in the documents, one line in the legend, one fill in the picture.
TEST(CopyStateRows, EachStateIsToldApart) {
  std::set<std::string> names, words, colours;
  for (const CopyStateRow& row : kCopyStateRows) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_TRUE(words.insert(row.words).second) << row.words;
    EXPECT_TRUE(colours.insert(row.colour).second) << row.colour;
    EXPECT_EQ(std::string(row.ansi).rfind("\033[3", 0), 0u) << row.name;
  }
}

}  // namespace
}  // namespace kestrune
