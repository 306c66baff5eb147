// The record reader over arbitrary records: reads of every field kind at offsets and widths the input
// chooses never go outside the record and fail exactly when the field does not fit, and string[N] fields
// never give more than N bytes. A string[N] fits when its length byte and the bytes it counts are inside
// (a record may end before the unused tail of its last text). A record written from what was read reads
// back whole.
//
// Input: byte 0 is the number of reads; then 4 bytes per read (kind, offset u16, width); the rest is
// the record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/gbk.h"
#include "base/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv;
  if (size == 0) return 0;
  const std::size_t reads = data[0];
  const std::size_t program = 1 + 4 * reads;
  if (size < program) return 0;
  const RecordReader record(data + program, size - program);
  RecordWriter copy(record.size());
  for (std::size_t i = 0; i < reads; ++i) {
    const std::uint8_t* op = data + 1 + 4 * i;
    const std::size_t offset = op[1] | (op[2] << 8);
    const std::size_t width = op[3];
    const RecordReader fresh(data + program, size - program);
    std::size_t need = 0;
    switch (op[0] % 7) {
      case 0:
        need = 1;
        copy.u8(offset, fresh.u8(offset));
        break;
      case 1:
        need = 2;
        copy.u16(offset, fresh.u16(offset));
        break;
      case 2:
        need = 4;
        copy.u32(offset, fresh.u32(offset));
        break;
      case 3:
        need = 4;
        copy.i32(offset, fresh.i32(offset));
        break;
      case 4: {
        const std::string gbk = fresh.gbk(offset, width);
        if (gbk.size() > width) std::abort();
        need = 1 + (fresh.has(offset, 1) ? std::min<std::size_t>(fresh.u8(offset), width) : 0);
        (void)fresh.text(offset, width);
        break;
      }
      case 5: {
        const WireAddress address = fresh.address(offset);
        // Up to 15 GBK bytes as UTF-8: at most three bytes for each (U+FFFD for a byte that is no GBK).
        if (address.ip.size() > 45) std::abort();
        // The text as above, then the port right after the whole string[15].
        const bool text_inside =
            fresh.has(offset, 1) && fresh.has(offset, 1 + std::min<std::size_t>(fresh.u8(offset), 15));
        if (fresh.ok() != (text_inside && fresh.has(offset + StringFieldSize(15), 2))) std::abort();
        continue;
      }
      default: {
        need = width;
        const auto bytes = fresh.bytes(offset, width);
        if (fresh.ok() && bytes.size() != width) std::abort();
        if (!fresh.ok() && !bytes.empty()) std::abort();
        break;
      }
    }
    if (fresh.ok() != fresh.has(offset, need)) std::abort();
  }
  // What was copied field by field reads back from the copy.
  const RecordReader back(copy.view());
  for (std::size_t at = 0; at + 4 <= back.size(); at += 4) (void)back.u32(at);
  if (!back.ok()) std::abort();
  return 0;
}
