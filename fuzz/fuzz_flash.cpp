// A virtual drive's flash file as a run loads it. Input: a byte that picks
// the ready-made drive whose geometry the file is read against, then the
// file. A refusal must say why and leave the flash as it was; what loads
// must save and load again to the same pages.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/bodies.h"
#include "simulator/flash_file.h"

using namespace kestrune;
using namespace kestrune::fuzz;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  sim::NandFlash flash = BlankFlashOf(data[0]);
  const std::vector<uint8_t> marker(flash.RawPageSize(), 0x5A);
  flash.Store(0, marker.data());
  const std::vector<uint8_t> file(data + 1, data + size);

  std::string why;
  if (!sim::ParseFlashFile(file, flash, &why)) {
    if (why.empty()) Fail("a refused file gave no reason");
    std::vector<uint8_t> page(flash.RawPageSize());
    flash.Read(0, page.data());
    if (flash.StoredPages() != 1 || page != marker) Fail("a refused file changed the flash");
    return 0;
  }
  sim::NandFlash again = BlankFlashOf(data[0]);
  if (!sim::ParseFlashFile(sim::SnapshotBytes(flash), again, &why)) {
    Fail("the snapshot of a loaded file does not load");
  }
  if (again.Pages() != flash.Pages()) Fail("the snapshot of a loaded file holds other pages");
  return 0;
}
