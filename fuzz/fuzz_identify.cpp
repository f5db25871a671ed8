// INQUIRY reply, controller memory and everything identification asks of
// drive E, from the fuzz data.
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"

using namespace kestrune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader({data, size});
  StreamVolumes volumes(reader, LetterBit('E'));
  World::Get().Run(volumes, [](kestrune::Program& p) { RunIdentify(p); });
  return 0;
}
