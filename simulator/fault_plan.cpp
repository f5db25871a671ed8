#include "simulator/fault_plan.h"

namespace kestrune::sim {

namespace {

struct ActionName {
  FaultAction action;
  const char* name;
};
constexpr ActionName kActionNames[] = {
    {FaultAction::kCheckCondition, "check"},
    {FaultAction::kRefuse, "refuse"},
    {FaultAction::kCorrupt, "corrupt"},
    {FaultAction::kDropWrite, "drop-write"},
    {FaultAction::kKill, "kill"},
    {FaultAction::kInterrupt, "interrupt"},
    {FaultAction::kTerminate, "terminate"},
    {FaultAction::kHangUp, "hangup"},
    {FaultAction::kPause, "pause"},
    {FaultAction::kVanish, "vanish"},
};

}  // namespace

bool ParseFaultAction(const std::string& text, FaultAction* action) {
  for (const auto& entry : kActionNames) {
    if (text == entry.name) {
      *action = entry.action;
      return true;
    }
  }
  return false;
}

const char* FaultActionName(FaultAction action) {
  for (const auto& entry : kActionNames) {
    if (entry.action == action) return entry.name;
  }
  return "?";
}

std::optional<FaultRule> FaultPlan::Next(uint8_t opcode, uint8_t sub, uint64_t overall) {
  std::optional<FaultRule> hit;
  // Every rule counts its matches, even when an earlier rule already fired,
  // so that a rule's "n-th" does not depend on the other rules.
  for (auto& entry : rules_) {
    const FaultRule& rule = entry.rule;
    bool fires = false;
    if (rule.overall) {
      fires = rule.repeat ? overall >= *rule.overall : overall == *rule.overall;
    } else {
      const bool opcodeMatches = !rule.opcode || *rule.opcode == opcode;
      const bool subMatches = !rule.sub || *rule.sub == sub;
      if (opcodeMatches && subMatches) {
        ++entry.matches;
        fires = rule.repeat ? entry.matches >= rule.nth : entry.matches == rule.nth;
      }
    }
    if (fires && !hit) {
      hit = rule;
      entry.fired = true;
    }
  }
  return hit;
}

}  // namespace kestrune::sim
