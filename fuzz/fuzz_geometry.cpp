// Capacity and configuration replies, the geometry they give, and the page
// transfers sized from it.
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"

using namespace kestrune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader({data, size});
  const SlotHeader header = SlotHeader::Read(reader);
  StreamVolumes volumes(reader, LetterBit('E'));
  World::Get().Run(volumes, [&](kestrune::Program& p) { RunGeometry(p, header); });
  return 0;
}
