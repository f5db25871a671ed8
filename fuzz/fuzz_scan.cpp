// The whole scan over drives that answer every command from the fuzz data,
// then Start Fix on what was found. Once the data runs out every command
// succeeds, so the operations go on over the fuzzed geometry.
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"

using namespace kestrune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader({data, size});
  const uint32_t present = reader.Le32();
  const bool destroy = (reader.Byte() & 1) != 0;
  StreamVolumes volumes(reader, present);
  volumes.exhausted = kestrune::device::Outcome::kGood;
  World::Get().Run(volumes, [&](kestrune::Program& p) { RunScan(p, destroy); });
  return 0;
}
