// The shared bending-magnet field map (loading, look-up) and the bmagnet cell operations.
#include "sim/components/bmagnet.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/report.h"

namespace {

constexpr double GAUSS = 1e-4;  // T
// Map coordinates of grid point [i][j]: u = (i + j)/20 − 2.45, w = (i − j)/20.
constexpr double UOFFSET = 2.45;

struct BmagMap {
  bool loaded = false;
  std::string paths[BMAG_PLANES];
  V3 b[BMAG_PLANES][BMAG_N][BMAG_N];  // (b_u, b_y, b_w), T, [plane][i][j]
};
BmagMap map;

// Reads one plane; false (after reporting) when the file is missing or damaged.
bool readplane(const std::string& path, V3 (*plane)[BMAG_N]) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    reportf("[FATAL] Could not load B-field file %s", path.c_str());
    return false;
  }
  char line[1024];
  int lineno = 0;
  bool ok = true;
  for (int k = 0; k < 8 && ok; k++) {
    ok = std::fgets(line, sizeof line, f) != nullptr;
    lineno++;
  }
  for (int j = 0; j < BMAG_N && ok; j++)
    for (int i = 0; i < BMAG_N && ok; i++) {
      lineno++;
      double v[6];
      char tail;
      ok = std::fgets(line, sizeof line, f) != nullptr &&
           std::sscanf(line, "%lf %lf %lf %lf %lf %lf %c", &v[0], &v[1], &v[2], &v[3], &v[4],
                       &v[5], &tail) == 6 &&
           std::isfinite(v[3]) && std::isfinite(v[4]) && std::isfinite(v[5]);
      if (ok) plane[i][j] = V3{v[5] * GAUSS, v[3] * GAUSS, v[4] * GAUSS};
    }
  std::fclose(f);
  if (!ok) reportf("[FATAL] Damaged B-field file %s at line %d", path.c_str(), lineno);
  return ok;
}

// Bilinear value of one plane at grid coordinates (p, q), both within [0, 45].
V3 planevalue(const V3 (*plane)[BMAG_N], double p, double q) {
  int i = (int)p, j = (int)q;
  if (i > BMAG_N - 2) i = BMAG_N - 2;
  if (j > BMAG_N - 2) j = BMAG_N - 2;
  const double fp = p - i, fq = q - j;
  return plane[i][j] * ((1 - fp) * (1 - fq)) + plane[i + 1][j] * (fp * (1 - fq)) +
         plane[i][j + 1] * ((1 - fp) * fq) + plane[i + 1][j + 1] * (fp * fq);
}

}  // namespace

int bmagnet_loadmap(const char* dir, const char* const names[BMAG_PLANES]) {
  std::string paths[BMAG_PLANES];
  bool same = map.loaded;
  for (int k = 0; k < BMAG_PLANES; k++) {
    paths[k] = std::string(dir) + names[k];
    same = same && paths[k] == map.paths[k];
  }
  if (same) return 1;

  static const int heights[BMAG_PLANES] = {0, 5, 10, 13};
  map.loaded = false;
  report("Loading bending magnet fields...");
  for (int k = 0; k < BMAG_PLANES; k++) {
    if (simstop == 2) return 0;  // the user ended the program: the map stays unloaded
    reportupdatef("Loading bending magnet fields... y=%dcm", heights[k]);
    if (!readplane(paths[k], map.b[k])) return 0;
  }
  reportupdatef("Loading bending magnet fields... Done");
  for (int k = 0; k < BMAG_PLANES; k++) map.paths[k] = paths[k];
  map.loaded = true;
  return 1;
}

int bmagnet_maploaded() {
  return map.loaded;
}

void bmagnet_unloadmap() {
  map.loaded = false;
  for (std::string& p : map.paths) p.clear();
}

void loadbmagfields(Cell* cell) {
  std::string names[BMAG_PLANES];
  const char* ptrs[BMAG_PLANES];
  for (int k = 0; k < BMAG_PLANES; k++) {
    char attr[8];
    std::snprintf(attr, sizeof attr, "File%d", k + 1);
    const char* name = Cell_stringattrib(cell, attr);
    if (!name) {
      reportf("[FATAL] Bending magnet '%s' lacks attribute '%s'", cell->name ? cell->name : "",
              attr);
      return;
    }
    names[k] = name;
    for (char& ch : names[k])
      if (ch == '\\') ch = '/';
    ptrs[k] = names[k].c_str();
  }
  bmagnet_loadmap("datafiles/", ptrs);
}

void conbmagnet(Cell* cell, Simulation* /*sim*/) {
  const char* name = cell->name ? cell->name : "";
  const M3x3& M = cell->axis.M;
  Bmagnet b{};
  b.x0 = cell->axis.origin.x;
  b.z0 = cell->axis.origin.z;
  b.angle = std::atan2(M.m[2][0], M.m[2][2]) + std::numbers::pi;
  if (!Cell_hasattrib(cell, "field")) b.scale = 1.0;
  else if (Cell_attribtype(cell, "field") == AttributeType::Number)
    b.scale = Cell_attrib(cell, "field", 1.0);
  if (name[0] == '~') {
    b.angle += std::numbers::pi;
    b.scale = -b.scale;
  }
  b.cosa = std::cos(b.angle);
  b.sina = std::sin(b.angle);
  if (!map.loaded && simstop != 2) reportf("[FATAL] Bending magnet '%s' has no field map", name);
  if (std::fabs(M.m[1][1] - 1.0) > 1e-9)
    reportf("[WARNING] Bending magnet '%s' is not level: its field map's plane is taken as the "
            "global horizontal plane",
            name);
  std::memcpy(cell->rtd, &b, sizeof b);
}

V3 bmagnetf(double u, double y, double w) {
  const V3 zero{0, 0, 0};
  if (!map.loaded) return zero;
  const double p = (u + w + UOFFSET) * 10, q = (u - w + UOFFSET) * 10;
  // Also refuses NaN coordinates.
  if (!(p >= 0 && p <= BMAG_N - 1 && q >= 0 && q <= BMAG_N - 1)) return zero;
  const double a = std::fabs(y);
  V3 b;
  if (a < 0.05) {
    const double f = (0.05 - a) * 20;
    b = planevalue(map.b[0], p, q) * f + planevalue(map.b[1], p, q) * (1 - f);
  } else if (a < 0.10) {
    const double f = (0.10 - a) * 20;
    b = planevalue(map.b[1], p, q) * f + planevalue(map.b[2], p, q) * (1 - f);
  } else if (a < 0.13) {
    const double f = (0.13 - a) * 33.333333333333336;
    b = planevalue(map.b[2], p, q) * f + planevalue(map.b[3], p, q) * (1 - f);
  } else if (a < 0.15) {
    b = planevalue(map.b[3], p, q);
  } else {
    return zero;
  }
  if (y < 0) {
    b.x = -b.x;
    b.z = -b.z;
  }
  return b;
}

EB bmagnetfield(const void* data, double x, double y, double z, double /*t*/) {
  const Bmagnet* m = static_cast<const Bmagnet*>(data);
  const double dx = x - m->x0, dz = z - m->z0;
  const double u = dx * m->cosa + dz * m->sina, w = dz * m->cosa - dx * m->sina;
  const V3 b = bmagnetf(u, y, w);
  EB f = EB_zero();
  f.B = V3{m->scale * (b.x * m->cosa - b.z * m->sina), m->scale * b.y,
           m->scale * (b.x * m->sina + b.z * m->cosa)};
  return f;
}

void BBbmagnet(void* data, Cell* cell) {
  const Bmagnet* m = static_cast<const Bmagnet*>(data);
  for (int i : {0, BMAG_N - 1})
    for (int j : {0, BMAG_N - 1})
      for (double y : {-0.15, 0.15}) {
        const double u = (i + j) / 20.0 - UOFFSET, w = (i - j) / 20.0;
        Cell_bbextend(cell, m->x0 + u * m->cosa - w * m->sina, y,
                      m->z0 + u * m->sina + w * m->cosa);
      }
}
