// Where the fields of the ring's packed structures lie, and the values the
// kernel writes into them. They come from the kernel's own header, which is C
// that a C++ compiler refuses, so a C file reads them out (ring_layout.c).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct RingLayout {
  size_t mailboxSize;
  size_t mailboxFlagsField;  // flags: what the kernel's side can take
  size_t ringOffsetField;    // offset of cmdr_off in the mailbox
  size_t ringSizeField;      // cmdr_size
  size_t headField;          // cmd_head
  size_t tailField;          // cmd_tail
  size_t entryHeaderSize;
  size_t userFlagsField;   // hdr.uflags
  size_t iovCountField;    // req.iov_cnt
  size_t bidiCountField;   // req.iov_bidi_cnt
  size_t cdbOffsetField;   // req.cdb_off
  size_t iovField;         // req.iov
  size_t iovSize;          // one struct iovec
  size_t statusField;      // rsp.scsi_status
  size_t readLengthField;  // rsp.read_len
  size_t senseField;       // rsp.sense_buffer
  size_t senseSize;
  uint32_t opMask;  // the low bits of len_op hold the entry's kind
  uint32_t opPad;
  uint32_t opCommand;
  uint16_t mailboxVersion;
  uint16_t capReadLength;  // mailbox flag: rsp.read_len is honoured
  uint8_t userReadLength;  // uflags bit: rsp.read_len holds the bytes sent
};

extern const struct RingLayout kRingLayout;

#ifdef __cplusplus
}
#endif
