// The lattice-file helpers (see latticefiles.h).
#include "lattice/latticefiles.h"

#include <algorithm>
#include <cstring>

#include "base/platform.h"
#include "base/text.h"

namespace {
// The lattice names of "lattices", cached for lattice_exists.
std::vector<std::string> latticecache;
bool latticecached = false;

}  // namespace

std::vector<std::string> getlatticeshere(const char* dir) {
  platform_mkdir(dir);
  std::vector<std::string> names;
  for (const PlatformDirEntry& e : platform_listdir(dir)) {
    if (e.isdir || e.name.empty() || e.name[0] == '_' || !endswith(e.name, ".txt")) continue;
    if (e.name.size() == 4) continue;  // ".txt" alone names no lattice
    names.push_back(e.name.substr(0, e.name.size() - 4));
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    int c = strnullcmpi(a.c_str(), b.c_str());
    return c ? c < 0 : a < b;
  });
  return names;
}

int lattice_exists(const char* name) {
  if (name == LATTICE_EXISTS_RESET) {
    latticecache.clear();
    latticecached = false;
    return 2;
  }
  if (!name) return 0;
  if (!latticecached) {
    latticecache = getlatticeshere("lattices");
    latticecached = true;
  }
  for (const std::string& n : latticecache)
    if (equalnocase(n, name)) return 1;
  return 0;
}

void latticenamefixcase(char* name) {
  if (!name) return;
  for (char* p = name; *p; p++)
    if (*p == '\\') *p = '/';
  char* last = strrchr(name, '/');
  std::string dir = "lattices";
  if (last) dir += "/" + std::string(name, last - name);
  char* element = last ? last + 1 : name;
  std::string wanted = std::string(element) + ".txt";
  const std::string* match = nullptr;
  std::vector<PlatformDirEntry> entries = platform_listdir(dir.c_str());
  std::sort(entries.begin(), entries.end(),
            [](const PlatformDirEntry& a, const PlatformDirEntry& b) { return a.name < b.name; });
  for (const PlatformDirEntry& e : entries) {
    if (e.isdir || e.name.empty() || e.name[0] == '_') continue;
    if (e.name == wanted) return;  // the exact spelling exists: keep it
    if (!match && equalnocase(e.name, wanted)) match = &e.name;
  }
  if (match) memcpy(element, match->data(), strlen(element));
}

float hoursfilemodified(const char* path) {
  double then = (double)platform_filemodified(path) * 1e-7;
  double now = (double)platform_filetime_now() * 1e-7;
  return (float)((now - then) * (1.0 / 3600));
}

