// The whole scan over drives that answer every command from the fuzz data,
// then Start Fix on what was found. Once the data runs out every command
// succeeds, so the operations go on over the fuzzed geometry. A flags byte
// adds Destroy ISP, a Cancel answer to the update's question, and the
// dialog's Check ISP and restart on close.
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"

using namespace kestrune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader({data, size});
  const uint32_t present = reader.Le32();
  const uint8_t flags = reader.Byte();
  const bool destroy = (flags & 1) != 0;
  const bool cancelled = (flags & 2) != 0;
  StreamVolumes volumes(reader, present);
  volumes.exhausted = kestrune::device::Outcome::kGood;
  World::Get().Run(
      volumes, [&](kestrune::Program& p) { RunScan(p, destroy, cancelled, volumes.flashChanges); },
      cancelled);
  return 0;
}
