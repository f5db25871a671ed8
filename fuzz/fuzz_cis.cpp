// CIS pages of both families and the CodeMark search over fuzzed flash.
#include "fuzz/bodies.h"
#include "fuzz/fuzz_world.h"

using namespace kestrune::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader({data, size});
  const SlotHeader header = SlotHeader::Read(reader);
  StreamVolumes volumes(reader, LetterBit('E'));
  World::Get().Run(volumes, [&](kestrune::Program& p) { RunCis(p, header); });
  return 0;
}
