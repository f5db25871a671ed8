// The command ring a kernel SCSI target shares with a userspace handler: a
// mailbox, a ring of command entries and a data area, all in one mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/tcmu_drive/lun.h"

namespace kestrune::tcmu {

// Answers one command: `data` holds the command's data area on entry (the
// bytes to write, for a data-out command) and is copied back after.
using AnswerFunction =
    std::function<Reply(const uint8_t* cdb, size_t cdbLength, std::vector<uint8_t>& data)>;

// The CDB length the target gives an opcode (vendor opcodes: 10).
size_t TargetCdbLength(const uint8_t* cdb);

// Answers every command between the mailbox's tail and head in order, each
// answer written into its entry and the tail moved past it before
// `completed` is called, so the kernel can be told at once. Pads and task
// management notices are stepped over. `size` bytes are mapped at `base`.
// Returns the commands answered, or -1 when an entry or offset lies outside
// the ring or the mapping (the tail then stays before it).
int ServeRing(uint8_t* base, size_t size, const AnswerFunction& answer,
              const std::function<void()>& completed);

}  // namespace kestrune::tcmu
