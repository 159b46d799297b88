// Bounded little-endian byte readers and writers: the one vocabulary for every binary form
// the program reads or writes (results files, genomes, cell trees, particle records, queue
// entries, the auto-save). A reader takes its bytes from a FILE* or from memory and never
// reads past what is there; a writer appends to a FILE* or to a std::string. Both keep a
// sticky `ok` flag: after the first short read or failed write every further call does
// nothing and returns false, so a caller may check once at the end. No allocation is ever
// sized from a stored count beyond the caller's cap. Cheap; not used in the pusher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct ByteReader {
  FILE* f = nullptr;                  // the stream, or none for memory
  const unsigned char* p = nullptr;   // memory: the bytes (not owned)
  size_t n = 0;                       // memory: how many
  size_t pos = 0;                     // bytes consumed so far (both sources)
  bool ok = true;                     // false after the first short read
};

// A reader over a stream (positioned where reading starts) or over n bytes of memory.
ByteReader bytereader_file(FILE* f);
ByteReader bytereader_memory(const void* p, size_t n);
// Bytes still to come in memory; for a stream, what is left to the end of the file when that
// can be known (a regular file), else SIZE_MAX.
size_t br_remaining(const ByteReader* r);

// Each reads one little-endian value into *out and returns true; on a short read *out is 0,
// ok becomes false and the call returns false.
bool br_bytes(ByteReader* r, void* out, size_t n);
bool br_skip(ByteReader* r, size_t n);
bool br_u8(ByteReader* r, uint8_t* out);
bool br_u16(ByteReader* r, uint16_t* out);
bool br_u32(ByteReader* r, uint32_t* out);
bool br_i32(ByteReader* r, int32_t* out);
bool br_u64(ByteReader* r, uint64_t* out);
bool br_i64(ByteReader* r, int64_t* out);
bool br_f32(ByteReader* r, float* out);
bool br_f64(ByteReader* r, double* out);
// A text of exactly `len` bytes (no terminator stored), refused (ok = false) when len > cap or
// more than what is left.
bool br_text(ByteReader* r, size_t len, size_t cap, std::string* out);
// A zero-terminated text (the zero consumed, not stored), refused (ok = false) when the data
// ends before the zero or no zero comes within `cap` bytes.
bool br_cstring(ByteReader* r, size_t cap, std::string* out);
// n little-endian doubles into out[0 … n-1]; on a short read ok becomes false.
bool br_f64s(ByteReader* r, double* out, size_t n);

struct ByteWriter {
  FILE* f = nullptr;          // the stream, or none
  std::string* s = nullptr;   // or the buffer appended to (not owned)
  size_t written = 0;         // bytes written so far
  bool ok = true;             // false after the first failed write
};

ByteWriter bytewriter_file(FILE* f);
ByteWriter bytewriter_string(std::string* s);

bool bw_bytes(ByteWriter* w, const void* p, size_t n);
bool bw_zeros(ByteWriter* w, size_t n);
bool bw_u8(ByteWriter* w, uint8_t v);
bool bw_u16(ByteWriter* w, uint16_t v);
bool bw_u32(ByteWriter* w, uint32_t v);
bool bw_i32(ByteWriter* w, int32_t v);
bool bw_u64(ByteWriter* w, uint64_t v);
bool bw_i64(ByteWriter* w, int64_t v);
bool bw_f32(ByteWriter* w, float v);
bool bw_f64(ByteWriter* w, double v);
// `text` (none taken as empty) and its terminating zero.
bool bw_cstring(ByteWriter* w, const char* text);
// n doubles as little-endian values.
bool bw_f64s(ByteWriter* w, const double* v, size_t n);

// Plain conversions between values and 2/4/8 little-endian bytes.
inline uint16_t le16_get(const unsigned char* b) { return (uint16_t)(b[0] | b[1] << 8); }
inline uint32_t le32_get(const unsigned char* b) {
  return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}
inline uint64_t le64_get(const unsigned char* b) {
  return (uint64_t)le32_get(b) | (uint64_t)le32_get(b + 4) << 32;
}
inline void le16_put(unsigned char* b, uint16_t v) {
  b[0] = (unsigned char)v;
  b[1] = (unsigned char)(v >> 8);
}
inline void le32_put(unsigned char* b, uint32_t v) {
  for (int i = 0; i < 4; i++) b[i] = (unsigned char)(v >> (8 * i));
}
inline void le64_put(unsigned char* b, uint64_t v) {
  for (int i = 0; i < 8; i++) b[i] = (unsigned char)(v >> (8 * i));
}
