// What the line under a failure box says of a command's result, for the
// answers a stick or the system gives: both sense formats, sense too short
// to read, a status without sense, a transport error and a system error.
#include "device/answer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "device/commands.h"
#include "platform/folder.h"

namespace kestrune::device {
namespace {

struct AnswerCase {
  const char* name;
  Outcome outcome;
  uint8_t status;
  std::vector<uint8_t> sense;
  uint32_t residual;
  int systemError;
  uint16_t hostStatus;
  std::string words;
};

class Answer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answer, SaysWhatTheDriveOrTheSystemAnswered) {
  const AnswerCase& c = GetParam();
  CommandAnswer answer;
  answer.cdb[0] = kOpWriteFlashPages;
  answer.cdbLength = 10;
  answer.carrier = Carrier::kOut;
  answer.transferLength = 2048;
  answer.result.outcome = c.outcome;
  answer.result.scsiStatus = c.status;
  answer.result.residual = c.residual;
  answer.result.systemError = c.systemError;
  answer.result.hostStatus = c.hostStatus;
  for (uint8_t byte : c.sense) answer.result.sense[answer.result.senseLength++] = byte;
  EXPECT_EQ(CommandName(answer), "flash page write (FA)");
  EXPECT_EQ(DescribeAnswer(answer), c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Results, Answer,
    ::testing::Values(
        AnswerCase{"FixedSense",
                   Outcome::kScsiStatus,
                   0x02,
                   {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00, 0, 0, 0, 0},
                   0,
                   0,
                   0,
                   "answered CHECK CONDITION, sense key 0x3 MEDIUM ERROR, ASC/ASCQ 0c/00 write "
                   "error, residual 0 of 2048 bytes"},
        AnswerCase{"DescriptorSense",
                   Outcome::kScsiStatus,
                   0x02,
                   {0x72, 0x02, 0x3A, 0x00, 0, 0, 0, 0},
                   2048,
                   0,
                   0,
                   "answered CHECK CONDITION, sense key 0x2 NOT READY, ASC/ASCQ 3a/00 medium not "
                   "present, residual 2048 of 2048 bytes"},
        AnswerCase{"SenseTooShortToRead",
                   Outcome::kScsiStatus,
                   0x02,
                   {0x70, 0, 0x03, 0, 0, 0, 0, 0},
                   0,
                   0,
                   0,
                   "answered CHECK CONDITION, no sense data, residual 0 of 2048 bytes"},
        AnswerCase{"UnknownMeaning",
                   Outcome::kScsiStatus,
                   0x02,
                   {0x70, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x81, 0x05},
                   0,
                   0,
                   0,
                   "answered CHECK CONDITION, sense key 0x4 HARDWARE ERROR, ASC/ASCQ 81/05 "
                   "(meaning not known here), residual 0 of 2048 bytes"},
        AnswerCase{"BusyWithoutSense",
                   Outcome::kScsiStatus,
                   0x08,
                   {},
                   0,
                   0,
                   0,
                   "answered BUSY, no sense data, residual 0 of 2048 bytes"},
        AnswerCase{"Transport",
                   Outcome::kTransportError,
                   0,
                   {},
                   2048,
                   0,
                   0x07,
                   "failed in transport (host status 0x07, driver status 0x00)"},
        AnswerCase{"System",
                   Outcome::kOsError,
                   0,
                   {},
                   0,
                   ENODEV,
                   0,
                   "was refused by the system, system error " + std::to_string(ENODEV) + " (" +
                       platform::SystemErrorText(ENODEV) + ")"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::device
