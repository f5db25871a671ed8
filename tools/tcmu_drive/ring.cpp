#include "tools/tcmu_drive/ring.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "tools/tcmu_drive/ring_layout.h"

namespace kestrune::tcmu {

namespace {

const RingLayout& L = kRingLayout;

// The mailbox and entries are packed structures: fields are copied out and
// in by offset, never reached through misaligned pointers.
template <typename T>
T Load(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

struct Segment {
  uint64_t offset;
  uint64_t length;
};

}  // namespace

size_t TargetCdbLength(const uint8_t* cdb) {
  // Variable-length CDBs carry their length; the rest go by opcode group.
  if (cdb[0] == 0x7F) return size_t{cdb[7]} + 8;
  static constexpr uint8_t kGroupLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};
  return kGroupLength[(cdb[0] >> 5) & 7];
}

int ServeRing(uint8_t* base, size_t size, const AnswerFunction& answer,
              const std::function<void()>& completed) {
  if (size < L.mailboxSize) return -1;
  const uint32_t ringOffset = Load<uint32_t>(base + L.ringOffsetField);
  const uint32_t ringSize = Load<uint32_t>(base + L.ringSizeField);
  if (ringSize == 0 || ringOffset > size || ringSize > size - ringOffset) return -1;
  // Head and tail are aligned 32-bit words, shared with the kernel.
  auto* head = reinterpret_cast<uint32_t*>(base + L.headField);
  auto* tail = reinterpret_cast<uint32_t*>(base + L.tailField);
  uint8_t* ring = base + ringOffset;
  const size_t answerEnd = L.senseField + L.senseSize;

  int answered = 0;
  for (;;) {
    const uint32_t at = __atomic_load_n(tail, __ATOMIC_RELAXED);
    if (at == __atomic_load_n(head, __ATOMIC_ACQUIRE)) return answered;
    if (at >= ringSize || ringSize - at < L.entryHeaderSize) return -1;
    uint8_t* entry = ring + at;
    const uint32_t lengthAndOp = Load<uint32_t>(entry);
    const uint32_t length = lengthAndOp & ~L.opMask;
    const uint32_t op = lengthAndOp & L.opMask;
    if (length < L.entryHeaderSize || length > ringSize - at) return -1;

    if (op == L.opCommand) {
      if (length < answerEnd || length < L.iovField) return -1;
      // The answer overwrites the request: everything is read first.
      const uint64_t iovCount = uint64_t{Load<uint32_t>(entry + L.iovCountField)} +
                                Load<uint32_t>(entry + L.bidiCountField);
      const uint64_t cdbOffset = Load<uint64_t>(entry + L.cdbOffsetField);
      // Room for the longest fixed CDB before its length is read from it.
      if (iovCount > (length - L.iovField) / L.iovSize || cdbOffset > size ||
          size - cdbOffset < 16) {
        return -1;
      }
      const size_t cdbLength = TargetCdbLength(base + cdbOffset);
      if (cdbLength > size - cdbOffset) return -1;
      const std::vector<uint8_t> cdb(base + cdbOffset, base + cdbOffset + cdbLength);

      std::vector<Segment> segments;
      std::vector<uint8_t> data;
      for (uint64_t i = 0; i < iovCount; ++i) {
        const iovec piece = Load<iovec>(entry + L.iovField + i * L.iovSize);
        const auto offset = reinterpret_cast<uint64_t>(piece.iov_base);
        if (offset > size || piece.iov_len > size - offset) return -1;
        segments.push_back({offset, piece.iov_len});
        data.insert(data.end(), base + offset, base + offset + piece.iov_len);
      }

      const Reply reply = answer(cdb.data(), cdb.size(), data);
      size_t copied = 0;
      for (const Segment& segment : segments) {
        if (data.size() - copied < segment.length) break;
        std::memcpy(base + segment.offset, data.data() + copied, segment.length);
        copied += segment.length;
      }
      std::memset(entry + L.entryHeaderSize, 0, answerEnd - L.entryHeaderSize);
      entry[L.statusField] = reply.status;
      // A short reply is told as such where the kernel takes the length, so
      // the program sees the residual a stick's bridge would report.
      if (reply.status == kGoodStatus && reply.residual != 0 && reply.residual <= data.size() &&
          (Load<uint16_t>(base + L.mailboxFlagsField) & L.capReadLength) != 0) {
        entry[L.userFlagsField] |= L.userReadLength;
        const auto sent = static_cast<uint32_t>(data.size() - reply.residual);
        std::memcpy(entry + L.readLengthField, &sent, sizeof sent);
      }
      if (reply.status != kGoodStatus) {
        std::memcpy(entry + L.senseField, reply.sense.data(),
                    std::min(reply.sense.size(), L.senseSize));
      }
      ++answered;
    }
    // Pads fill the ring's end; task management notices need no answer.
    __atomic_store_n(tail, (at + length) % ringSize, __ATOMIC_RELEASE);
    if (op == L.opCommand) completed();
  }
}

}  // namespace kestrune::tcmu
