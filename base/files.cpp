// File utilities: lines and zero-terminated strings from streams, whole files, existence,
// size, time and extension, directory chains and listings, temporary names. Built on stdio
// and base/platform.h (directories, file times). No state; main thread.
#include "base/files.h"

#include <algorithm>
#include <cstring>

#include "base/platform.h"
#include "base/random.h"

namespace {

FILE* openfile(const char* path) {
  if (!path || !*path || platform_isdir(path)) return nullptr;
  return fopen(path, "rb");
}

// Reads the rest of an open stream; false on a read error.
bool readall(FILE* f, std::string* out) {
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  return !ferror(f);
}

// Index just past the last path separator (`/` or `\`), 0 if there is none.
size_t lastelement(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

std::optional<std::string> fgetline(FILE* f) {
  // Bytes are gathered in a small local buffer and appended in chunks, so a 10 MB line costs
  // a few string growths rather than one per byte.
  std::string line;
  char chunk[4096];
  size_t n = 0;
  int c = getc(f);
  if (c == EOF) return std::nullopt;
  while (c != EOF && c != '\n' && c != '\r' && c != 0) {
    chunk[n++] = (char)c;
    if (n == sizeof chunk) line.append(chunk, n), n = 0;
    c = getc(f);
  }
  line.append(chunk, n);
  if (c == '\r') {
    int d = getc(f);
    if (d != '\n' && d != EOF) ungetc(d, f);
  }
  return line;
}

std::optional<std::string> fgetstring(FILE* f) {
  std::string s;
  char chunk[4096];
  size_t n = 0;
  while (true) {
    int c = getc(f);
    if (c == EOF) return std::nullopt;
    if (c == 0) return s.append(chunk, n);
    if (s.size() + n >= FGETSTRING_MAX) return std::nullopt;
    chunk[n++] = (char)c;
    if (n == sizeof chunk) s.append(chunk, n), n = 0;
  }
}

int fputstr(const char* text, FILE* f) {
  size_t n = strlen(text) + 1;
  return fwrite(text, 1, n, f) == n;
}

int fgetsc(FILE* f) {
  int c = getc(f);
  return c == EOF ? -1 : (int)(signed char)(unsigned char)c;
}

std::vector<unsigned char> filedata(const char* path) {
  std::vector<unsigned char> out;
  FILE* f = openfile(path);
  if (!f) return out;
  std::string s;
  bool ok = readall(f, &s);
  fclose(f);
  if (ok) out.assign(s.begin(), s.end());
  return out;
}

std::optional<std::string> filestring(const char* path, const char* mode) {
  FILE* f = openfile(path);
  if (!f) return std::nullopt;
  std::string s;
  bool ok = readall(f, &s);
  fclose(f);
  if (!ok) return std::nullopt;
  if (mode && !strchr(mode, 'b') && s.find('\r') != std::string::npos) {
    size_t w = 0;
    for (size_t r = 0; r < s.size(); r++)
      if (!(s[r] == '\r' && r + 1 < s.size() && s[r + 1] == '\n')) s[w++] = s[r];
    s.resize(w);
  }
  return s;
}

int fileexists(const char* path) {
  FILE* f = openfile(path);
  if (!f) return 0;
  fclose(f);
  return 1;
}

uint64_t filesize(const char* path) {
  FILE* f = openfile(path);
  if (!f) return 0;
  long n = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
  fclose(f);
  return n > 0 ? (uint64_t)n : 0;
}

uint64_t filemodified(const char* path) {
  if (!path || !*path) return 0;
  return platform_filemodified(path);
}

std::string setextension(const char* name, const char* ext) {
  std::string s(name ? name : "");
  size_t start = lastelement(s);
  size_t dot = s.find_last_of('.');
  if (dot != std::string::npos && dot >= start + 1) s.resize(dot);
  s += '.';
  s += ext ? ext : "";
  return s;
}

int getextension(const char* path, std::string* out) {
  if (!path || !*path) return 0;
  std::string p(path);
  size_t start = lastelement(p);
  if (fileexists(path)) {
    size_t dot = p.find('.', start);
    *out = dot == std::string::npos ? std::string() : p.substr(dot + 1);
    return 1;
  }
  if (start == p.size()) return 0;  // a directory path has no extension
  std::string dir = start ? p.substr(0, start) : std::string();
  std::replace(dir.begin(), dir.end(), '\\', '/');
  std::string base = p.substr(start) + ".";
  std::vector<PlatformDirEntry> entries = platform_listdir(dir.empty() ? "." : dir.c_str());
  std::sort(entries.begin(), entries.end(),
            [](const PlatformDirEntry& a, const PlatformDirEntry& b) { return a.name < b.name; });
  for (const PlatformDirEntry& e : entries) {
    if (e.isdir || e.name.compare(0, base.size(), base) != 0) continue;
    size_t dot = e.name.find('.');
    *out = e.name.substr(dot + 1);
    return 1;
  }
  return 0;
}

int createdirchain(const char* path, int whole) {
  if (!path) return 0;
  std::string p(path);
  std::replace(p.begin(), p.end(), '\\', '/');
  int ok = 1;
  for (size_t i = 1; i < p.size(); i++) {
    if (p[i] != '/' || p[i - 1] == '/') continue;
    if (!platform_mkdir(p.substr(0, i).c_str())) ok = 0;
  }
  if (whole && !p.empty() && p.back() != '/' && !platform_mkdir(p.c_str())) ok = 0;
  return ok;
}

int foreachfilein(const char* directory, void (*function)(const char* path, void* argument),
                  void* argument) {
  std::string dir(directory ? directory : "");
  std::replace(dir.begin(), dir.end(), '\\', '/');
  std::vector<PlatformDirEntry> entries = platform_listdir(dir.empty() ? "." : dir.c_str());
  std::sort(entries.begin(), entries.end(),
            [](const PlatformDirEntry& a, const PlatformDirEntry& b) { return a.name < b.name; });
  if (!dir.empty() && dir.back() != '/') dir += '/';
  int calls = 0;
  for (const PlatformDirEntry& e : entries) {
    if (e.isdir) continue;
    function((dir + e.name).c_str(), argument);
    calls++;
  }
  return calls;
}

std::string tempfilename(const char* prefix, const char* suffix, int n) {
  for (int attempt = 0; attempt < 10000; attempt++) {
    std::string name(prefix ? prefix : "");
    for (int i = 0; i < n; i++) name += randomchar();
    name += suffix ? suffix : "";
    if (!platform_isfile(name.c_str()) && !platform_isdir(name.c_str())) return name;
  }
  return std::string();
}
