// Bounded little-endian readers and writers (see bytes.h).
#include "base/bytes.h"

#include <bit>
#include <cstdint>
#include <cstring>

ByteReader bytereader_file(FILE* f) {
  ByteReader r;
  r.f = f;
  r.ok = f != nullptr;
  return r;
}

ByteReader bytereader_memory(const void* p, size_t n) {
  ByteReader r;
  r.p = (const unsigned char*)p;
  r.n = p ? n : 0;
  return r;
}

size_t br_remaining(const ByteReader* r) {
  if (!r->ok) return 0;
  if (!r->f) return r->n - r->pos;
  long here = ftell(r->f);
  if (here < 0 || fseek(r->f, 0, SEEK_END) != 0) return SIZE_MAX;
  long end = ftell(r->f);
  fseek(r->f, here, SEEK_SET);
  return end >= here ? (size_t)(end - here) : 0;
}

bool br_bytes(ByteReader* r, void* out, size_t n) {
  if (r->ok) {
    if (r->f) {
      r->ok = fread(out, 1, n, r->f) == n;
    } else {
      r->ok = n <= r->n - r->pos;
      if (r->ok) memcpy(out, r->p + r->pos, n);
    }
    if (r->ok) r->pos += n;
  }
  if (!r->ok) memset(out, 0, n);
  return r->ok;
}

bool br_skip(ByteReader* r, size_t n) {
  if (!r->ok) return false;
  if (!r->f) {
    r->ok = n <= r->n - r->pos;
    if (r->ok) r->pos += n;
    return r->ok;
  }
  unsigned char buf[4096];
  while (n && r->ok) {
    size_t k = n < sizeof buf ? n : sizeof buf;
    r->ok = br_bytes(r, buf, k);
    n -= k;
  }
  return r->ok;
}

bool br_u8(ByteReader* r, uint8_t* out) {
  return br_bytes(r, out, 1);
}

bool br_u16(ByteReader* r, uint16_t* out) {
  unsigned char b[2];
  bool ok = br_bytes(r, b, 2);
  *out = le16_get(b);
  return ok;
}

bool br_u32(ByteReader* r, uint32_t* out) {
  unsigned char b[4];
  bool ok = br_bytes(r, b, 4);
  *out = le32_get(b);
  return ok;
}

bool br_i32(ByteReader* r, int32_t* out) {
  uint32_t u;
  bool ok = br_u32(r, &u);
  *out = (int32_t)u;
  return ok;
}

bool br_u64(ByteReader* r, uint64_t* out) {
  unsigned char b[8];
  bool ok = br_bytes(r, b, 8);
  *out = le64_get(b);
  return ok;
}

bool br_i64(ByteReader* r, int64_t* out) {
  uint64_t u;
  bool ok = br_u64(r, &u);
  *out = (int64_t)u;
  return ok;
}

bool br_f32(ByteReader* r, float* out) {
  uint32_t u;
  bool ok = br_u32(r, &u);
  memcpy(out, &u, 4);
  return ok;
}

bool br_f64(ByteReader* r, double* out) {
  uint64_t u;
  bool ok = br_u64(r, &u);
  memcpy(out, &u, 8);
  return ok;
}

bool br_text(ByteReader* r, size_t len, size_t cap, std::string* out) {
  out->clear();
  if (!r->ok) return false;
  if (len > cap || len > br_remaining(r)) {
    r->ok = false;
    return false;
  }
  out->resize(len);
  if (!br_bytes(r, out->data(), len)) out->clear();
  return r->ok;
}

bool br_cstring(ByteReader* r, size_t cap, std::string* out) {
  out->clear();
  while (r->ok) {
    unsigned char c;
    if (!br_bytes(r, &c, 1)) break;
    if (c == 0) return true;
    if (out->size() >= cap) r->ok = false;
    else out->push_back((char)c);
  }
  out->clear();
  return false;
}

bool br_f64s(ByteReader* r, double* out, size_t n) {
  if constexpr (std::endian::native == std::endian::little) return br_bytes(r, out, n * 8);
  for (size_t i = 0; i < n; i++) br_f64(r, &out[i]);
  return r->ok;
}

ByteWriter bytewriter_file(FILE* f) {
  ByteWriter w;
  w.f = f;
  w.ok = f != nullptr;
  return w;
}

ByteWriter bytewriter_string(std::string* s) {
  ByteWriter w;
  w.s = s;
  w.ok = s != nullptr;
  return w;
}

bool bw_bytes(ByteWriter* w, const void* p, size_t n) {
  if (!w->ok) return false;
  if (w->f) w->ok = fwrite(p, 1, n, w->f) == n;
  else w->s->append((const char*)p, n);
  if (w->ok) w->written += n;
  return w->ok;
}

bool bw_zeros(ByteWriter* w, size_t n) {
  static const unsigned char zeros[256] = {};
  while (n && w->ok) {
    size_t k = n < sizeof zeros ? n : sizeof zeros;
    bw_bytes(w, zeros, k);
    n -= k;
  }
  return w->ok;
}

bool bw_u8(ByteWriter* w, uint8_t v) {
  return bw_bytes(w, &v, 1);
}

bool bw_u16(ByteWriter* w, uint16_t v) {
  unsigned char b[2];
  le16_put(b, v);
  return bw_bytes(w, b, 2);
}

bool bw_u32(ByteWriter* w, uint32_t v) {
  unsigned char b[4];
  le32_put(b, v);
  return bw_bytes(w, b, 4);
}

bool bw_i32(ByteWriter* w, int32_t v) {
  return bw_u32(w, (uint32_t)v);
}

bool bw_u64(ByteWriter* w, uint64_t v) {
  unsigned char b[8];
  le64_put(b, v);
  return bw_bytes(w, b, 8);
}

bool bw_i64(ByteWriter* w, int64_t v) {
  return bw_u64(w, (uint64_t)v);
}

bool bw_f32(ByteWriter* w, float v) {
  uint32_t u;
  memcpy(&u, &v, 4);
  return bw_u32(w, u);
}

bool bw_f64(ByteWriter* w, double v) {
  uint64_t u;
  memcpy(&u, &v, 8);
  return bw_u64(w, u);
}

bool bw_cstring(ByteWriter* w, const char* text) {
  if (!text) text = "";
  return bw_bytes(w, text, strlen(text) + 1);
}

bool bw_f64s(ByteWriter* w, const double* v, size_t n) {
  if constexpr (std::endian::native == std::endian::little) return bw_bytes(w, v, n * 8);
  for (size_t i = 0; i < n; i++) bw_f64(w, v[i]);
  return w->ok;
}
