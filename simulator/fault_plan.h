// The fault plan of a virtual drive: chosen commands go wrong in chosen ways.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::sim {

enum class FaultAction : uint8_t {
  kCheckCondition,  // completes with CHECK CONDITION, nothing done
  kRefuse,          // transport error, nothing done
  kCorrupt,         // succeeds, one byte of the returned data is wrong
  kDropWrite,       // a data-out command reports success but nothing sticks
  // A test facility: the command completes, then the process dies at once
  // (SIGKILL), as a stick loses power with what it has written so far.
  kKill,
  // Test facilities: the command completes, then the process is sent an
  // interrupt (SIGINT, SIGTERM, SIGHUP), as a user or the system would.
  kInterrupt,
  kTerminate,
  kHangUp,
  // A test facility: the command completes, then the drive says so in a
  // file beside its flash file (`<flash file>.paused`) and answers nothing
  // more until the process ends, so that a test sends a real interrupt (a
  // key pressed in a terminal) while the drive stands at that command.
  kPause,
  // The stick is pulled right before the command: it is refused, as is
  // every later command, and opening the volume fails (as with vanishAt,
  // but at a command named by opcode).
  kVanish,
};

struct FaultRule {
  // Which command: either the n-th (1-based) command whose opcode (and, when
  // given, CDB byte 1) matches, or the k-th (1-based) command overall.
  std::optional<uint8_t> opcode;
  std::optional<uint8_t> sub;
  uint64_t nth = 1;
  std::optional<uint64_t> overall;
  // Also every later match, not only the first.
  bool repeat = false;
  FaultAction action = FaultAction::kCheckCondition;
  // For kCorrupt: which byte of the data is flipped (taken modulo the length).
  uint32_t byteOffset = 0;
  // For kCheckCondition: the sense key, ASC and ASCQ the drive answers;
  // none: ILLEGAL REQUEST, INVALID FIELD IN CDB.
  std::optional<std::array<uint8_t, 3>> sense;
};

bool ParseFaultAction(const std::string& text, FaultAction* action);
const char* FaultActionName(FaultAction action);

// Counts commands against the rules and says which one, if any, applies.
class FaultPlan {
 public:
  void Add(const FaultRule& rule) { rules_.push_back({rule, 0, false}); }
  void Clear() { rules_.clear(); }
  // Called once per command with its position overall (1-based); returns the
  // rule that fires, if any.
  std::optional<FaultRule> Next(uint8_t opcode, uint8_t sub, uint64_t overall);

 private:
  struct Entry {
    FaultRule rule;
    uint64_t matches;
    bool fired;
  };
  std::vector<Entry> rules_;
};

}  // namespace kestrune::sim
