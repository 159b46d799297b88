// The lattice-file helpers (see latticefiles.h).
#include "lattice/latticefiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "base/platform.h"
#include "base/text.h"

namespace {
// The names of every lattice file of "lattices" ('_' files included), cached for
// lattice_exists.
std::vector<std::string> latticecache;
bool latticecached = false;

// The names of the "<name>.txt" files of `dir` (not directories), without ".txt", in the
// order listed; with `underscored` false, not those beginning with '_'.
std::vector<std::string> latticefilesin(const char* dir, bool underscored) {
  std::vector<std::string> names;
  for (const PlatformDirEntry& e : platform_listdir(dir)) {
    if (e.isdir || e.name.empty() || (!underscored && e.name[0] == '_') ||
        !endswith(e.name, ".txt"))
      continue;
    if (e.name.size() == 4) continue;  // ".txt" alone names no lattice
    names.push_back(e.name.substr(0, e.name.size() - 4));
  }
  return names;
}

}  // namespace

std::vector<std::string> getlatticeshere(const char* dir) {
  platform_mkdir(dir);
  std::vector<std::string> names = latticefilesin(dir, false);
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
    // A '_' lattice is one the client never picks by itself but runs when named; its file is
    // there all the same, so what depends on it (a queued result, a check value) stands.
    platform_mkdir("lattices");
    latticecache = latticefilesin("lattices", true);
    latticecached = true;
  }
  for (const std::string& n : latticecache)
    if (equalnocase(n, name)) return 1;
  return 0;
}

bool lattice_unreadable(const char* name) {
  if (platform_exists("lattices") && !platform_canlistdir("lattices")) return true;
  if (!name) return false;
  std::string path = latticefilepath(name);
  if (!platform_exists(path.c_str())) return false;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return true;
  fclose(f);
  return false;
}

namespace {
// The spelling of `element` + ".txt" in lattices/<dir>: the exact name when such a file
// exists, else the first file (in byte order) that differs only in letter case, else none.
// `underscored`: whether files beginning with '_' count.
std::optional<std::string> filespelling(const std::string& dir, const std::string& element,
                                        bool underscored) {
  std::string wanted = element + ".txt";
  std::vector<PlatformDirEntry> entries = platform_listdir(("lattices" + dir).c_str());
  std::sort(entries.begin(), entries.end(),
            [](const PlatformDirEntry& a, const PlatformDirEntry& b) { return a.name < b.name; });
  const std::string* match = nullptr;
  for (const PlatformDirEntry& e : entries) {
    if (e.isdir || e.name.empty() || (!underscored && e.name[0] == '_')) continue;
    if (e.name == wanted) return element;
    if (!match && equalnocase(e.name, wanted)) match = &e.name;
  }
  if (!match) return std::nullopt;
  return match->substr(0, match->size() - 4);
}

// Splits a lattice name ('\' taken as '/') into "/<folders>" (or "") and its last element.
void splitname(const std::string& name, std::string* dir, std::string* element) {
  std::string n = name;
  std::replace(n.begin(), n.end(), '\\', '/');
  size_t last = n.rfind('/');
  *dir = last == std::string::npos ? "" : "/" + n.substr(0, last);
  *element = last == std::string::npos ? n : n.substr(last + 1);
}
}  // namespace

void latticenamefixcase(char* name) {
  if (!name) return;
  for (char* p = name; *p; p++)
    if (*p == '\\') *p = '/';
  std::string dir, element;
  splitname(name, &dir, &element);
  std::optional<std::string> spelled = filespelling(dir, element, false);
  if (spelled) memcpy(name + strlen(name) - element.size(), spelled->data(), element.size());
}

std::string latticefilename(const char* name) {
  std::string dir, element;
  splitname(name ? name : "", &dir, &element);
  std::string folders = dir.empty() ? "" : dir.substr(1) + "/";
  if (platform_isfile(("lattices" + dir + "/" + element + ".txt").c_str()))
    return folders + element;  // the usual case, without listing the folder
  std::optional<std::string> spelled = filespelling(dir, element, true);
  return folders + (spelled ? *spelled : element);
}

std::string latticefilepath(const char* name) {
  return "lattices/" + latticefilename(name) + ".txt";
}

float hoursfilemodified(const char* path) {
  double then = (double)platform_filemodified(path) * 1e-7;
  double now = (double)platform_filetime_now() * 1e-7;
  return (float)((now - then) * (1.0 / 3600));
}

