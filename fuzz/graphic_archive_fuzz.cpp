// The graphics archive parser over arbitrary bytes: no crash or out-of-bounds read (the sanitizers),
// entries that stay inside the input, and an archive rebuilt from the entries that parses back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/graphic_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv;
  const GraphicArchiveReadResult result = ParseGraphicArchive({data, size});
  std::size_t held = 0;
  for (const GraphicEntry& entry : result.archive.entries()) {
    held += entry.data.size();
    if (entry.name.size() > entry.file_name.size() * 3 + 3) std::abort();
    if (!entry.name.empty() && !result.archive.Find(entry.name)) std::abort();
  }
  if (held > size) std::abort();
  if (!result.ok() && result.fault_offset > size) std::abort();
  // Rebuilding from what was read gives an archive that reads back entry for entry.
  GraphicArchive copy;
  for (const GraphicEntry& entry : result.archive.entries()) {
    if (!copy.Add(entry.file_name, entry.data)) return 0;  // a name that only fits as stored bytes
  }
  const GraphicArchiveReadResult again = ParseGraphicArchive(copy.Serialize());
  if (!again.ok() || again.archive.size() != copy.size()) std::abort();
  for (std::size_t i = 0; i < copy.size(); ++i) {
    if (again.archive.entries()[i].data != copy.entries()[i].data) std::abort();
  }
  return 0;
}
