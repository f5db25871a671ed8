#include "tools/tcmu_drive/ring_layout.h"

#include <linux/target_core_user.h>

const struct RingLayout kRingLayout = {
    sizeof(struct tcmu_mailbox),
    offsetof(struct tcmu_mailbox, flags),
    offsetof(struct tcmu_mailbox, cmdr_off),
    offsetof(struct tcmu_mailbox, cmdr_size),
    offsetof(struct tcmu_mailbox, cmd_head),
    offsetof(struct tcmu_mailbox, cmd_tail),
    sizeof(struct tcmu_cmd_entry_hdr),
    offsetof(struct tcmu_cmd_entry_hdr, uflags),
    offsetof(struct tcmu_cmd_entry, req.iov_cnt),
    offsetof(struct tcmu_cmd_entry, req.iov_bidi_cnt),
    offsetof(struct tcmu_cmd_entry, req.cdb_off),
    offsetof(struct tcmu_cmd_entry, req.iov),
    sizeof(struct iovec),
    offsetof(struct tcmu_cmd_entry, rsp.scsi_status),
    offsetof(struct tcmu_cmd_entry, rsp.read_len),
    offsetof(struct tcmu_cmd_entry, rsp.sense_buffer),
    TCMU_SENSE_BUFFERSIZE,
    TCMU_OP_MASK,
    TCMU_OP_PAD,
    TCMU_OP_CMD,
    TCMU_MAILBOX_VERSION,
    TCMU_MAILBOX_FLAG_CAP_READ_LEN,
    TCMU_UFLAG_READ_LEN,
};
