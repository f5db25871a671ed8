#include "app/console/row_progress.h"

#include <algorithm>
#include <span>

namespace kestrune::console {

namespace {

// The steps each command takes, in their order.
std::span<const StepKind> StepsOf(session::JobCommand command) {
  static constexpr StepKind kScan[] = {StepKind::kScan};
  static constexpr StepKind kBackup[] = {StepKind::kScan, StepKind::kBackup};
  static constexpr StepKind kFix[] = {StepKind::kScan,  StepKind::kBackup, StepKind::kErase,
                                      StepKind::kWrite, StepKind::kVerify, StepKind::kRestart};
  // Destroy and restore save what they overwrite first, as a fix does.
  static constexpr StepKind kDestroy[] = {StepKind::kScan, StepKind::kBackup, StepKind::kErase,
                                          StepKind::kRestart};
  static constexpr StepKind kRestore[] = {StepKind::kScan,  StepKind::kBackup, StepKind::kErase,
                                          StepKind::kWrite, StepKind::kVerify, StepKind::kRestart};
  switch (command) {
    case session::JobCommand::kBackup:
      return kBackup;
    case session::JobCommand::kFix:
      return kFix;
    case session::JobCommand::kDestroy:
      return kDestroy;
    case session::JobCommand::kRestore:
      return kRestore;
    default:
      return kScan;
  }
}

const char* StepName(StepKind kind) {
  switch (kind) {
    case StepKind::kScan:
      return "scan";
    case StepKind::kBackup:
      return "backup";
    case StepKind::kErase:
      return "erase";
    case StepKind::kWrite:
      return "write";
    case StepKind::kVerify:
      return "verify";
    case StepKind::kRestart:
      return "restart";
  }
  return "";
}

}  // namespace

void RowProgress::Apply(const StepEvent& step) {
  if (step.letter != 0) letter_ = step.letter;
  shown_ = step.kind;
  const std::span<const StepKind> steps = StepsOf(command_);
  const auto at = std::find(steps.begin(), steps.end(), step.kind);
  if (at == steps.end()) return;
  const int phase = static_cast<int>(at - steps.begin());
  if (phase < phase_) return;
  double within = 0;
  if (step.total > 0) {
    within = std::clamp(static_cast<double>(step.done) / step.total, 0.0, 1.0);
  } else if (step.state != StepState::kStarted) {
    within = 1;
  }
  const double share = (phase + within) / static_cast<double>(steps.size());
  phase_ = phase;
  share_ = std::max(share_, share);
}

const char* RowProgress::step() const { return shown_ ? StepName(*shown_) : ""; }

double RowProgress::progress() const { return share_; }

}  // namespace kestrune::console
