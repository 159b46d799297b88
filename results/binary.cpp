// Binary results files (see binary.h). The header is built from the whole set, then every
// result becomes one record of `pitch` bytes; genes are packed LSB first into the 32-bit
// little-endian word at byte (j·bits)/8 of a scratch buffer 4 bytes longer than the record's
// genome part, so neither packing nor unpacking touches bytes outside the record.
#include "results/binary.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"
#include "language/genome.h"

namespace {

constexpr int32_t kMaxGenes = 1000000;
constexpr int32_t kMaxFields = 1000000;
constexpr size_t kMaxName = 256;
constexpr int32_t kMaxCheck = 1024;
constexpr int32_t kMaxUnknownField = 1024;
constexpr int32_t kMaxPitch = 1 << 20;
constexpr int32_t kMaxVersionText = 63;

struct FieldSpec {
  const char* name;
  int32_t size;  // 0: the size is not fixed ("chk")
};
constexpr FieldSpec kKnownFields[] = {{"score", 8}, {"calc", 8}, {"ver", 4}, {"verx", 1},
                                      {"chl", 4},   {"chk", 0},  {"opt", 4}};

bool lessnocase(const std::string& a, const std::string& b) {
  return strnullcmpi(a.c_str(), b.c_str()) < 0;
}

bool isalnumc(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A lattice name that can stand between '<' and '>' in a result line and name a lattice file.
bool latticenameok(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!isalnumc(c) && c != '_' && c != '-' && c != '.' && c != '+') return false;
  return true;
}

// A gene name the genome text form can carry ("name=digits;"): letters, digits, '_', '-'
// (cell names of the lattice language) and '#'.
bool genenameok(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!isalnumc(c) && c != '#' && c != '_' && c != '-') return false;
  return true;
}

// A zero-terminated text of at most kMaxName bytes; false at the end of input or when longer.
bool readname(ByteReader* r, std::string* out) {
  out->clear();
  uint8_t c;
  while (br_u8(r, &c)) {
    if (c == 0) return true;
    if (out->size() >= kMaxName) return false;
    *out += (char)c;
  }
  return false;
}

bool hascontrol(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 1 && c <= 31) return true;
  return false;
}

int32_t bitsfor(int32_t resolution) {
  if (resolution + 1 <= 2) return 1;
  int32_t b = 2;
  while (b < 31 && (int64_t(1) << b) < (int64_t)resolution + 1) b++;
  return b;
}

// The version text the record fields alone give back: "v%g" of the version and its letter,
// or none below 0.01.
std::optional<std::string> versionfromfields(float ver, unsigned char verx) {
  if (!(ver >= 0.01f)) return std::nullopt;
  char text[64];
  bool letter = (verx >= 'a' && verx <= 'z') || (verx >= 'A' && verx <= 'Z');
  if (letter) snprintf(text, sizeof text, "v%g%c", (double)ver, verx);
  else snprintf(text, sizeof text, "v%g", (double)ver);
  return std::string(text);
}

// A version text that can stand between '[' and ']' in a result line.
bool versiontextok(const std::string& s) {
  if (s.empty() || s.size() > (size_t)kMaxVersionText) return false;
  for (unsigned char c : s)
    if (c < 32 || c > 126 || strchr("[]<>{}", c)) return false;
  return true;
}

// The version text to keep in the "vert" field: empty when the fields give it back anyway.
std::string versiontokeep(Result r) {
  std::optional<std::string> text = Result_verstring(r);
  if (!text || !versiontextok(*text)) return "";
  std::optional<std::string> rebuilt = versionfromfields(Result_ver(r), (unsigned char)Result_verx(r));
  return rebuilt == text ? "" : *text;
}

// A field the reader interprets: the fixed ones, "vert" and the '#' fields.
bool knownfield(const std::string& name) {
  for (const FieldSpec& k : kKnownFields)
    if (equalnocase(name, k.name)) return true;
  return equalnocase(name, "vert") || (!name.empty() && name[0] == '#');
}

ResultBinaryHeader invalid() {
  return ResultBinaryHeader();
}

void finishlayout(ResultBinaryHeader* h, int32_t headerbytes) {
  int32_t offset = 0;
  for (ResultBinaryField& f : h->fields) {
    f.offset = offset;
    offset += f.size;
  }
  h->genomebytes = (int32_t)(((int64_t)h->maxgenes * h->bits + 7) / 8);
  h->vectorbase = headerbytes;
  h->genomebase = headerbytes + offset;
  h->pitch = offset + h->genomebytes;
}

int32_t headersize(const ResultBinaryHeader& h) {
  int64_t n = 4 + 4 * 4;
  for (const std::string& l : h.lattices) n += (int64_t)l.size() + 1;
  for (const std::vector<std::string>& g : h.genes) {
    for (const std::string& s : g) n += (int64_t)s.size() + 1;
    n += h.maxgenes - (int64_t)g.size();
  }
  n += 4;
  for (const ResultBinaryField& f : h.fields) n += 4 + (int64_t)f.name.size() + 1;
  return n > INT32_MAX ? INT32_MAX : (int32_t)n;
}

int latticeindex(const ResultBinaryHeader& h, const std::optional<std::string>& name) {
  if (!name) return -1;
  for (size_t i = 0; i < h.lattices.size(); i++)
    if (equalnocase(h.lattices[i], *name)) return (int)i;
  return -1;
}

}  // namespace

ResultBinaryHeader ResultBinaryHeader_make(LSet results) {
  ResultBinaryHeader h;
  h.count = (int32_t)results.count;
  int32_t digits = 0;
  if (results.count) {
    Genome g = Result_genome(LSet_at<Result>(results, 0), 1);
    digits = g.sigfigs;
    Genome_free(g);
  }
  if (digits > 7) {
    report("[WARNING] Binary results file cannot hold these results");
    return invalid();
  }
  h.bits = bitsfor(results.count ? Genome_resolution(digits) : 1);

  uint32_t longestcheck = 1;
  size_t longestversion = 0;
  std::vector<std::string> hashnames;
  std::vector<std::vector<std::string>> genes;  // indexed like lattices, filled below
  for (uint32_t i = 0; i < results.count; i++) {
    std::optional<std::string> l = Result_lattice(LSet_at<Result>(results, i));
    if (l && latticeindex(h, l) < 0) h.lattices.push_back(*l);
  }
  std::stable_sort(h.lattices.begin(), h.lattices.end(), lessnocase);
  h.genes.assign(h.lattices.size(), {});
  for (uint32_t i = results.count; i-- > 0;) {
    const Result& r = LSet_at<Result>(results, i);
    CheckVal c = Result_chk(r);
    longestcheck = std::max(longestcheck, c.length);
    CheckVal_free(c);
    longestversion = std::max(longestversion, versiontokeep(r).size());
    Genome g = Result_genome(r, 1);
    int li = latticeindex(h, Result_lattice(r));
    for (int32_t j = g.count; j-- > 0;) {
      std::string name = g.names[j];
      if (name[0] != '#' && li < 0) continue;  // no lattice: no gene table to hold it
      std::vector<std::string>& list = name[0] == '#' ? hashnames : h.genes[(size_t)li];
      bool seen = false;
      for (const std::string& s : list) seen = seen || equalnocase(s, name);
      if (!seen) list.push_back(name);
    }
    Genome_free(g);
    if ((results.count - i) % 100 == 0)
      reportupdatef("Getting genome parameters... %u", i);
  }
  if (longestcheck > (uint32_t)kMaxCheck) {
    report("[WARNING] Binary results file cannot hold these results");
    return invalid();
  }
  h.maxgenes = 1;
  for (std::vector<std::string>& g : h.genes) {
    std::stable_sort(g.begin(), g.end(), lessnocase);
    h.maxgenes = std::max(h.maxgenes, (int32_t)g.size());
  }
  for (const FieldSpec& f : kKnownFields)
    h.fields.push_back({f.name, f.size ? f.size : (int32_t)longestcheck, 0});
  // Version texts that the number and letter do not give back ("v4.47_dev") are kept whole.
  if (longestversion) h.fields.push_back({"vert", (int32_t)longestversion + 1, 0});
  for (const std::string& s : hashnames) h.fields.push_back({s, 4, 0});
  finishlayout(&h, headersize(h));
  return h;
}

bool ResultBinaryHeader_write(const ResultBinaryHeader& h, ByteWriter* w) {
  bw_i32(w, h.count);
  bw_i32(w, h.maxgenes);
  bw_i32(w, h.bits);
  bw_i32(w, (int32_t)h.lattices.size());
  for (const std::string& l : h.lattices) bw_bytes(w, l.c_str(), l.size() + 1);
  for (const std::vector<std::string>& g : h.genes) {
    for (const std::string& s : g) bw_bytes(w, s.c_str(), s.size() + 1);
    bw_zeros(w, (size_t)(h.maxgenes - (int32_t)g.size()));
  }
  bw_i32(w, (int32_t)h.fields.size());
  for (const ResultBinaryField& f : h.fields) {
    bw_i32(w, f.size);
    bw_bytes(w, f.name.c_str(), f.name.size() + 1);
  }
  return w->ok;
}

ResultBinaryHeader ResultBinaryHeader_read(ByteReader* r) {
  size_t start = r->pos - 4;  // the magic was read before
  ResultBinaryHeader h;
  int32_t count, maxgenes, bits, lattices, fields;
  if (!br_i32(r, &count) || !br_i32(r, &maxgenes) || !br_i32(r, &bits) ||
      !br_i32(r, &lattices))
    return invalid();
  if (count < 0 || maxgenes < 0 || maxgenes > kMaxGenes || bits < 1 || bits > 25 ||
      lattices < 0 || (size_t)lattices > br_remaining(r) / 2)
    return invalid();
  // Every name takes at least its zero byte: the tables cannot be larger than what is left.
  if ((uint64_t)lattices * (uint64_t)maxgenes > br_remaining(r)) return invalid();
  h.maxgenes = maxgenes;
  h.bits = bits;
  std::string name;
  for (int32_t i = 0; i < lattices; i++) {
    if (!readname(r, &name) || name.empty() || hascontrol(name)) return invalid();
    h.lattices.push_back(name);
  }
  h.genes.assign(h.lattices.size(), {});
  for (int32_t i = 0; i < lattices; i++) {
    bool ended = false;
    for (int32_t j = 0; j < maxgenes; j++) {
      if (!readname(r, &name) || hascontrol(name)) return invalid();
      if (name.empty()) ended = true;
      if (!ended) h.genes[i].push_back(name);
    }
  }
  if (!br_i32(r, &fields) || fields < 0 || fields > kMaxFields ||
      (size_t)fields > br_remaining(r) / 5)
    return invalid();
  int64_t total = 0;
  for (int32_t i = 0; i < fields; i++) {
    ResultBinaryField f;
    if (!br_i32(r, &f.size) || !readname(r, &f.name) || f.size < 0) return invalid();
    const FieldSpec* known = nullptr;
    for (const FieldSpec& k : kKnownFields)
      if (equalnocase(f.name, k.name)) known = &k;
    if (known && known->size && f.size != known->size) return invalid();
    if (known && !known->size && (f.size < 1 || f.size > kMaxCheck)) return invalid();
    if (equalnocase(f.name, "vert") && (f.size < 1 || f.size > kMaxVersionText + 1))
      return invalid();
    if (f.name[0] == '#' && f.size != 4) return invalid();
    if (!knownfield(f.name) && f.size > kMaxUnknownField) return invalid();
    total += f.size;
    if (total > kMaxPitch) return invalid();
    h.fields.push_back(f);
  }
  h.count = count;
  finishlayout(&h, (int32_t)std::min<size_t>(r->pos - start, INT32_MAX));
  if (h.pitch > kMaxPitch || h.pitch < 1) return invalid();
  return h;
}

void ResultBinaryHeader_free(ResultBinaryHeader* h) {
  *h = ResultBinaryHeader();
}

// ---- writing ----

int Results_write_Binary(LSet results, ByteWriter* w) {
  report("Binary saving results...");
  ResultBinaryHeader h = ResultBinaryHeader_make(results);
  if (h.count < 0) return 0;
  bw_bytes(w, RESULTBINARY_MAGIC, 4);
  ResultBinaryHeader_write(h, w);
  int32_t mask = (int32_t)((1u << h.bits) - 1);
  std::vector<unsigned char> scratch((size_t)h.genomebytes + 4);
  for (uint32_t i = 0; i < results.count && w->ok; i++) {
    if (i % 100 == 0) reportupdatef("Binary saving results... %u", i);
    const Result& r = LSet_at<Result>(results, i);
    Genome g = Result_genome(r, 1);
    CheckVal c = Result_chk(r);
    int li = latticeindex(h, Result_lattice(r));
    for (const ResultBinaryField& f : h.fields) {
      const std::string& n = f.name;
      if (n == "score") bw_f64(w, r.score);
      else if (n == "calc") bw_f64(w, Result_calc(r));
      else if (n == "ver") bw_f32(w, Result_ver(r));
      else if (n == "verx") bw_u8(w, (uint8_t)Result_verx(r));
      else if (n == "chl") bw_i32(w, (int32_t)c.length);
      else if (n == "chk") {
        bw_bytes(w, c.bytes, c.length);
        bw_zeros(w, (size_t)f.size - c.length);
      } else if (n == "opt") bw_i32(w, li);
      else if (n == "vert") {
        std::string v = versiontokeep(r);
        bw_bytes(w, v.data(), v.size());
        bw_zeros(w, (size_t)f.size - v.size());
      }
      else bw_i32(w, ghas(&g, n.c_str()) ? graw(&g, n.c_str()) : -1);
    }
    std::fill(scratch.begin(), scratch.end(), 0);
    if (li >= 0) {
      const std::vector<std::string>& table = h.genes[li];
      for (size_t j = 0; j < table.size(); j++) {
        int32_t v = ghas(&g, table[j].c_str()) ? graw(&g, table[j].c_str()) : mask;
        if (v != mask) v = std::clamp(v, 0, mask - 1);
        size_t bit = j * (size_t)h.bits;
        uint32_t word = le32_get(&scratch[bit / 8]) | (uint32_t)v << (bit % 8);
        le32_put(&scratch[bit / 8], word);
      }
    }
    bw_bytes(w, scratch.data(), (size_t)h.genomebytes);
    CheckVal_free(c);
    Genome_free(g);
  }
  if (!w->ok) return 0;
  reportupdatef("Binary saved %u results", results.count);
  return 1;
}

int Results_write_Binary(LSet results, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  return Results_write_Binary(results, &w);
}

int Results_save_Binary(LSet results, const char* filename) {
  std::string temp = std::string(filename) + ".new";
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) return 0;
  int ok = Results_write_Binary(results, f);
  ok = platform_syncfile(f) && ok;
  ok = fclose(f) == 0 && ok;
  if (ok) ok = platform_rename(temp.c_str(), filename);
  if (!ok) platform_remove(temp.c_str());
  return ok ? 1 : 0;
}

// ---- reading ----

LSet Results_read_Binary(ByteReader* r, const ResultFormat* fmt) {
  LSet set = LSet_new(sizeof(Result));
  size_t start = r->pos;
  size_t total = br_remaining(r);
  char magic[4];
  if (!br_bytes(r, magic, 4) || memcmp(magic, RESULTBINARY_MAGIC, 4) != 0) return set;
  report("Binary loading results...");
  ResultBinaryHeader h = ResultBinaryHeader_read(r);
  if (h.count < 0) return set;
  reportupdate("Binary loading results... header OK");
  for (const ResultBinaryField& f : h.fields)
    if (!knownfield(f.name)) {
      reportf("[WARNING] Unrecognised binary file field '%s'", reportsafe(f.name).c_str());
      break;  // once per file
    }

  // Which lattices can be written back: a usable name and gene names the text form can hold.
  std::vector<char> usable(h.lattices.size());
  for (size_t i = 0; i < h.lattices.size(); i++) {
    usable[i] = latticenameok(h.lattices[i]);
    for (const std::string& g : h.genes[i])
      if (!genenameok(g) || g[0] == '#') usable[i] = 0;
  }
  std::vector<unsigned char> record((size_t)h.pitch);
  std::vector<unsigned char> scratch((size_t)h.genomebytes + 4);
  uint32_t mask = (1u << h.bits) - 1;
  for (int32_t k = 0; k < h.count; k++) {
    if (!br_bytes(r, record.data(), record.size())) break;  // a partial last record is dropped
    double score = 0, calc = 0;
    float ver = 0;
    unsigned char verx = 0;
    int32_t chl = 0, opt = -1;
    const unsigned char* chk = nullptr;
    int32_t chksize = 0;
    std::string versiontext;  // "vert": the whole version text, when kept
    bool valid = true;
    Genome g = Genome_new();
    std::vector<std::pair<std::string, int32_t>> hashes;
    for (const ResultBinaryField& f : h.fields) {
      const unsigned char* p = &record[(size_t)f.offset];
      if (equalnocase(f.name, "score")) {
        uint64_t b = le64_get(p);
        memcpy(&score, &b, 8);
      } else if (equalnocase(f.name, "calc")) {
        uint64_t b = le64_get(p);
        memcpy(&calc, &b, 8);
      } else if (equalnocase(f.name, "ver")) {
        uint32_t b = le32_get(p);
        memcpy(&ver, &b, 4);
      } else if (equalnocase(f.name, "verx")) {
        verx = *p;
      } else if (equalnocase(f.name, "chl")) {
        chl = (int32_t)le32_get(p);
      } else if (equalnocase(f.name, "chk")) {
        chk = p;
        chksize = f.size;
      } else if (equalnocase(f.name, "opt")) {
        opt = (int32_t)le32_get(p);
      } else if (equalnocase(f.name, "vert")) {
        versiontext.assign((const char*)p, strnlen((const char*)p, (size_t)f.size));
      } else if (f.name[0] == '#') {
        int32_t v = (int32_t)le32_get(p);
        if (!genenameok(f.name)) valid = false;
        else if (v >= 0) hashes.push_back({f.name, v});
      }
    }
    if (opt < 0 || opt >= (int32_t)h.lattices.size()) opt = -1;
    if (opt >= 0 && !usable[(size_t)opt]) valid = false;
    if (!std::isfinite(score) || !std::isfinite(calc) || !std::isfinite(ver)) valid = false;
    bool letter = (verx >= 'a' && verx <= 'z') || (verx >= 'A' && verx <= 'Z');
    if (verx && !letter) valid = false;
    if (!versiontext.empty() && !versiontextok(versiontext)) valid = false;
    if (opt >= 0) {
      std::copy(record.end() - h.genomebytes, record.end(), scratch.begin());
      const std::vector<std::string>& table = h.genes[(size_t)opt];
      for (size_t j = 0; j < table.size(); j++) {
        size_t bit = j * (size_t)h.bits;
        uint32_t v = (le32_get(&scratch[bit / 8]) >> (bit % 8)) & mask;
        if (v != mask) gassign(&g, table[j].c_str(), (int32_t)std::min<uint32_t>(v, 999));
      }
    }
    for (const auto& [name, v] : hashes) gassign(&g, name.c_str(), v);
    if (valid) {
      chl = std::clamp(chl, 0, chksize);
      CheckVal c = CheckVal_new((uint32_t)chl);
      if (chl) memcpy(c.bytes, chk, (size_t)chl);
      std::optional<std::string> version = versionfromfields(ver, verx);
      if (!versiontext.empty()) version = versiontext;
      Result res = Result_createliteral(g, score, calc, version ? version->c_str() : nullptr,
                                        opt >= 0 ? h.lattices[(size_t)opt].c_str() : nullptr,
                                        c, "", fmt);
      LSet_add(&set, &res);
      CheckVal_free(c);
    }
    Genome_free(g);
    if ((k + 1) % 100 == 0)
      reportupdatef("Binary loading results... %u (%.1lf%%)", set.count,
                    total && total != SIZE_MAX ? 100.0 * (double)(r->pos - start) / (double)total
                                               : 0.0);
  }
  reportupdatef("Binary loading results... OK (%u results)", set.count);
  return set;
}

LSet Results_read_Binary(FILE* f, const ResultFormat* fmt) {
  if (!f) {
    report("[FATAL] ResultBinaryHeader_load got passed a null file.  WHAT WERE YOU THINKING?!");
    return LSet_new(sizeof(Result));
  }
  ByteReader r = bytereader_file(f);
  return Results_read_Binary(&r, fmt);
}

LSet Results_load_Binary(const char* filename, const ResultFormat* fmt) {
  FILE* f = fopen(filename, "rb");
  if (!f) return LSet_new(sizeof(Result));
  LSet set = Results_read_Binary(f, fmt);
  fclose(f);
  return set;
}

LSet Results_load_ext(const char* filename, const ResultFormat* fmt) {
  std::string name = filename ? filename : "";
  if (name.size() >= 4 && equalnocase(name.substr(name.size() - 4), ".bin"))
    return Results_load_Binary(filename, fmt);
  return Results_load(filename, nullptr);
}
