#include "base/wire.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/gbk.h"

namespace kiv {
namespace {

TEST(Wire, WritesGoldenLittleEndianRecord) {
  RecordWriter w(4 + 2 + 1 + 1 + 4 + 4 + kAddressFieldSize);
  w.u32(0, 0x00030001).u16(4, 0xE126).u8(6, 0x7F).boolean(7, true).i32(8, -2).gbk(12, 3, "ab");
  w.address(16, {"10.0.0.1", 9009});
  ASSERT_TRUE(w.ok());
  const Bytes expected = {0x01, 0x00, 0x03, 0x00, 0x26, 0xE1, 0x7F, 0x01, 0xFE,
                          0xFF, 0xFF, 0xFF, 0x02, 'a',  'b',  0x00,  // string[3]
                          0x08, '1',  '0',  '.',  '0',  '.',  '0',  '.',  '1',
                          0,    0,    0,    0,    0,    0,    0,    0x31, 0x23};
  EXPECT_EQ(w.take(), expected);
}

TEST(Wire, ReadsWhatWasWritten) {
  RecordWriter w(64);
  w.u8(0, 200)
      .u16(1, 65535)
      .u32(3, 0xDEADBEEF)
      .i32(7, -123456)
      .text(11, 20, "水晶Kiv")
      .address(32, {"192.168.1.5", 80});
  RecordReader r(w.view());
  EXPECT_EQ(r.u8(0), 200);
  EXPECT_EQ(r.u16(1), 65535);
  EXPECT_EQ(r.u32(3), 0xDEADBEEFu);
  EXPECT_EQ(r.i32(7), -123456);
  EXPECT_EQ(r.text(11, 20), "水晶Kiv");
  EXPECT_EQ(r.address(32), (WireAddress{"192.168.1.5", 80}));
  EXPECT_TRUE(r.ok());
}

TEST(Wire, ReadsPastTheEndGiveZeroAndClearOk) {
  const std::uint8_t data[] = {1, 2, 3, 5, 'a', 'b'};
  struct Case {
    const char* name;
    std::function<bool(const RecordReader&)> read;  // true when the value is the neutral one
  } cases[] = {
      {"u8 at end", [](const RecordReader& r) { return r.u8(6) == 0; }},
      {"u16 straddling", [](const RecordReader& r) { return r.u16(5) == 0; }},
      {"u32 straddling", [](const RecordReader& r) { return r.u32(3) == 0; }},
      {"huge offset", [](const RecordReader& r) { return r.u32(SIZE_MAX - 1) == 0; }},
      {"bytes past end", [](const RecordReader& r) { return r.bytes(2, 5).empty(); }},
      {"address truncated", [](const RecordReader& r) { return r.address(0).port == 0; }},
  };
  for (const auto& c : cases) {
    RecordReader r(data, sizeof data);
    EXPECT_TRUE(c.read(r)) << c.name;
    EXPECT_FALSE(r.ok()) << c.name;
  }
}

TEST(Wire, StringLengthByteIsNeverTrusted) {
  // Length byte 5 at offset 3, but only two bytes follow.
  const std::uint8_t data[] = {1, 2, 3, 5, 'a', 'b'};
  RecordReader r(data, sizeof data);
  EXPECT_EQ(r.gbk(3, 10), "ab");
  EXPECT_FALSE(r.ok());
  // A length byte above the declared width is cut to the width.
  const std::uint8_t wide[] = {200, 'x', 'y', 'z', 'w'};
  RecordReader r2(wide, sizeof wide);
  EXPECT_EQ(r2.gbk(0, 3), "xyz");
  EXPECT_TRUE(r2.ok());
}

TEST(Wire, StringFieldsCutWithoutSplittingCharacters) {
  RecordWriter w(1 + 5);
  w.text(0, 5, "ab水晶");  // 2 + 2 + 2 bytes: 水 fits, 晶 would need bytes 5 and 6
  RecordReader r(w.view());
  EXPECT_EQ(r.u8(0), 4);
  EXPECT_EQ(r.text(0, 5), "ab水");
  EXPECT_EQ(w.view()[5], 0);  // the unused tail is zeroed
}

TEST(Wire, AnEmptyTextClearsTheField) {
  std::uint8_t data[6] = {9, 9, 9, 9, 9, 9};
  RecordWriter w(data, sizeof data);
  w.gbk(0, 5, std::string_view{});  // a default view holds a null pointer
  EXPECT_TRUE(w.ok());
  for (std::uint8_t byte : data) EXPECT_EQ(byte, 0);
}

TEST(Wire, WritesPastTheEndAreRefused) {
  std::uint8_t data[4] = {9, 9, 9, 9};
  RecordWriter w(data, sizeof data);
  w.u32(1, 0);
  EXPECT_FALSE(w.ok());
  w.gbk(0, 10, "x");
  EXPECT_EQ(data[0], 9);
  EXPECT_EQ(data[3], 9);
}

}  // namespace
}  // namespace kiv
