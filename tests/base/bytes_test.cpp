#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Writes one of each kind of value; the exact bytes are pinned by WritesLittleEndian.
void writeall(ByteWriter* w) {
  bw_u8(w, 0xAB);
  bw_u16(w, 0x1234);
  bw_u32(w, 0xDEADBEEF);
  bw_i32(w, -2);
  bw_u64(w, 0x0102030405060708ull);
  bw_i64(w, -3);
  bw_f32(w, 1.5f);
  bw_f64(w, -0.25);
  bw_cstring(w, "ab");
  bw_zeros(w, 2);
  const double d[2] = {1.0, 2.0};
  bw_f64s(w, d, 2);
}

void readall(ByteReader* r) {
  uint8_t u8;
  uint16_t u16;
  uint32_t u32;
  int32_t i32;
  uint64_t u64;
  int64_t i64;
  float f32;
  double f64, d[2];
  std::string s;
  EXPECT_TRUE(br_u8(r, &u8) && br_u16(r, &u16) && br_u32(r, &u32) && br_i32(r, &i32) &&
              br_u64(r, &u64) && br_i64(r, &i64) && br_f32(r, &f32) && br_f64(r, &f64) &&
              br_cstring(r, 2, &s) && br_skip(r, 2) && br_f64s(r, d, 2));
  EXPECT_EQ(u8, 0xAB);
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(u32, 0xDEADBEEFu);
  EXPECT_EQ(i32, -2);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ(i64, -3);
  EXPECT_EQ(f32, 1.5f);
  EXPECT_EQ(f64, -0.25);
  EXPECT_EQ(s, "ab");
  EXPECT_EQ(d[0], 1.0);
  EXPECT_EQ(d[1], 2.0);
  EXPECT_EQ(br_remaining(r), 0u);
}

const std::string golden = std::string(
    "\xAB"
    "\x34\x12"
    "\xEF\xBE\xAD\xDE"
    "\xFE\xFF\xFF\xFF"
    "\x08\x07\x06\x05\x04\x03\x02\x01"
    "\xFD\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
    "\x00\x00\xC0\x3F"
    "\x00\x00\x00\x00\x00\x00\xD0\xBF"
    "ab\0"
    "\0\0"
    "\x00\x00\x00\x00\x00\x00\xF0\x3F"
    "\x00\x00\x00\x00\x00\x00\x00\x40",
    1 + 2 + 4 + 4 + 8 + 8 + 4 + 8 + 3 + 2 + 16);

TEST(Bytes, WritesLittleEndian) {
  std::string s;
  ByteWriter w = bytewriter_string(&s);
  writeall(&w);
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(w.written, golden.size());
  EXPECT_EQ(s, golden);
}

TEST(Bytes, MemoryAndFileRoundTrip) {
  ByteReader m = bytereader_memory(golden.data(), golden.size());
  readall(&m);

  FILE* f = tmpfile();
  ASSERT_TRUE(f);
  ByteWriter w = bytewriter_file(f);
  writeall(&w);
  EXPECT_TRUE(w.ok);
  rewind(f);
  ByteReader r = bytereader_file(f);
  EXPECT_EQ(br_remaining(&r), golden.size());
  readall(&r);
  EXPECT_EQ(r.pos, golden.size());
  fclose(f);
}

// Every cut of the data: the read that crosses the end fails, gives zero, and every later read
// fails too without moving, from memory and from a file alike.
TEST(Bytes, ShortReadIsStickyAndZero) {
  for (size_t cut = 0; cut < 8; cut++) {
    SCOPED_TRACE(cut);
    FILE* f = tmpfile();
    fwrite(golden.data() + 11, 1, cut, f);  // the 8 bytes of the u64, cut short
    rewind(f);
    ByteReader readers[2] = {bytereader_memory(golden.data() + 11, cut), bytereader_file(f)};
    for (ByteReader& r : readers) {
      uint64_t v = 7;
      EXPECT_FALSE(br_u64(&r, &v));
      EXPECT_EQ(v, 0u);
      EXPECT_FALSE(r.ok);
      uint8_t b = 7;
      EXPECT_FALSE(br_u8(&r, &b));
      EXPECT_EQ(b, 0);
      EXPECT_EQ(r.pos, 0u);
      EXPECT_EQ(br_remaining(&r), 0u);
    }
    fclose(f);
  }
}

// Texts: a length beyond the cap or beyond the data is refused before anything is allocated;
// a zero-terminated text must end within its cap and before the data does.
TEST(Bytes, TextCapsAndBounds) {
  struct Case {
    const char* name;
    std::string data;
    size_t len, cap;  // len SIZE_MAX: zero-terminated
    bool ok;
    std::string want;
  };
  const Case cases[] = {
      {"exact", "abc", 3, 3, true, "abc"},
      {"over cap", "abc", 3, 2, false, ""},
      {"past data", "abc", 4, 100, false, ""},
      {"absurd length", "abc", SIZE_MAX / 2, SIZE_MAX, false, ""},
      {"terminated", std::string("abc\0d", 5), SIZE_MAX, 3, true, "abc"},
      {"terminated empty", std::string("\0", 1), SIZE_MAX, 0, true, ""},
      {"zero beyond cap", std::string("abc\0", 4), SIZE_MAX, 2, false, ""},
      {"no zero", "abc", SIZE_MAX, 100, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader r = bytereader_memory(c.data.data(), c.data.size());
    std::string out = "junk";
    bool ok = c.len == SIZE_MAX ? br_cstring(&r, c.cap, &out) : br_text(&r, c.len, c.cap, &out);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(out, c.want);
  }
}

// A stream that refuses writes: the first failure sticks and nothing more is counted.
TEST(Bytes, FailedWriteIsSticky) {
  FILE* ro = fopen("/dev/null", "rb");
  ASSERT_TRUE(ro);
  ByteWriter w = bytewriter_file(ro);
  EXPECT_FALSE(bw_u32(&w, 1));
  EXPECT_FALSE(w.ok);
  EXPECT_FALSE(bw_u8(&w, 1));
  EXPECT_EQ(w.written, 0u);
  ByteWriter none = bytewriter_file(nullptr);
  EXPECT_FALSE(bw_u8(&none, 1));
  fclose(ro);
}

}  // namespace
