// Blockage construction, inside test, collision detection (step cuts at the body's surfaces and
// absorption) and bounding box. Only the record is read while tracking; the absorption draw
// comes from the particle's own stream, so the result does not depend on the thread.
#include "sim/components/blockage.h"

#include <cmath>
#include <cstring>
#include <string>

#include "base/kinematics.h"
#include "base/random.h"
#include "base/report.h"
#include "base/text.h"
#include "sim/components/crossing.h"
#include "sim/material.h"
#include "sim/particle.h"

namespace {

const char* const shapenames[6] = {"", "cuboid", "cylinder", "spheroid", "annulus", "toroid"};

int32_t shapeof(const char* type) {
  if (!type) return BlockageNone;
  for (int32_t k = 1; k <= 5; k++)
    if (equalnocase(type, shapenames[k])) return k;
  return BlockageNone;
}

// Whether the sizes make a body (NaN sizes do not).
bool validsizes(const Blockage& b) {
  const bool abc = b.a > 0 && b.b > 0 && b.c > 0;
  switch (b.shape) {
    case BlockageAnnulus:
      return abc && b.d >= 0 && b.d < std::fmax(b.a, b.b);
    case BlockageToroid:
      return abc && b.d > 0 && b.d < b.a && b.d < b.b;
    default:
      return abc;
  }
}

V3 tolocal(const AffineFrame& f, double x, double y, double z) {
  unaffine(f, &x, &y, &z);
  return V3{x, y, z};
}

// The annulus's ellipse radius squared, (u1/a)² + (u2/b)².
double ellipse2(const Blockage* b, const V3& u) {
  const double p = u.x / b->a, q = u.y / b->b;
  return p * p + q * q;
}

bool insidelocal(const Blockage* b, const V3& u) {
  switch (b->shape) {
    case BlockageCuboid:
      return 0 <= u.x && u.x <= b->a && 0 <= u.y && u.y <= b->b && 0 <= u.z && u.z <= b->c;
    case BlockageCylinder:
      return ellipse2(b, u) <= 1 && 0 <= u.z && u.z <= b->c;
    case BlockageSpheroid: {
      const double r = u.z / b->c;
      return ellipse2(b, u) + r * r <= 1;
    }
    case BlockageAnnulus: {
      const double m = std::fmax(b->a, b->b), e = ellipse2(b, u), in = b->d / m;
      return in * in <= e && e <= 1 && 0 <= u.z && u.z <= b->c;
    }
    case BlockageToroid: {
      const toroidiso_coeffs t{b->a, b->b, b->c, b->d, AffineFrame{V3{0, 0, 0}, M3x3_identity()}};
      return toroidisoxyz(u.x, u.y, u.z, &t) <= 0;
    }
    default:
      return false;
  }
}

// The search of one step against the body's surfaces: the earliest crossing that lies on the
// finite surface.
struct Cut {
  const Blockage* b;
  const Particle* start;
  const Particle* end;
  double t0, t1;
  const ScatterData* material;
  Particle best;
  double tbest;
  bool found = false;

  template <class Valid>
  void surface(IsoFunction f, const void* coeffs, Valid valid) {
    Particle o;
    double to;
    if (!scatterparticle_isocd(*start, *end, t0, t1, f, coeffs, material, &o, &to)) return;
    if (!(to < tbest)) return;
    if (!valid(tolocal(b->frame, o.x, o.y, o.z))) return;
    best = o;
    tbest = to;
    found = true;
  }
  // The plane u_k = s of the local frame.
  template <class Valid>
  void plane(int k, double s, Valid valid) {
    lineariso_coeffs local{-s, k == 0 ? 1.0 : 0.0, k == 1 ? 1.0 : 0.0, k == 2 ? 1.0 : 0.0};
    const lineariso_coeffs global = lineariso_affine(local, b->frame);
    surface(lineariso, &global, valid);
  }
};

void cutstep(const Blockage* b, Cut* cut) {
  const double a = b->a, bb = b->b, c = b->c;
  auto inz = [c](const V3& u) { return 0 <= u.z && u.z <= c; };
  switch (b->shape) {
    case BlockageCuboid: {
      const double size[3] = {a, bb, c};
      for (int k = 0; k < 3; k++) {
        const int i = (k + 1) % 3, j = (k + 2) % 3;
        auto valid = [&](const V3& u) {
          const double v[3] = {u.x, u.y, u.z};
          return 0 <= v[i] && v[i] <= size[i] && 0 <= v[j] && v[j] <= size[j];
        };
        cut->plane(k, 0, valid);
        cut->plane(k, size[k], valid);
      }
      break;
    }
    case BlockageCylinder: {
      auto onend = [&](const V3& u) { return ellipse2(b, u) <= 1; };
      cut->plane(2, 0, onend);
      cut->plane(2, c, onend);
      const cylinderiso_coeffs side{a, bb, b->frame};
      cut->surface(cylinderiso, &side, inz);
      break;
    }
    case BlockageSpheroid: {
      const spheroidiso_coeffs s{a, bb, c, b->frame};
      cut->surface(spheroidiso, &s, [](const V3&) { return true; });
      break;
    }
    case BlockageAnnulus: {
      const double m = std::fmax(a, bb), in = b->d / m;
      auto onend = [&](const V3& u) {
        const double e = ellipse2(b, u);
        return in * in <= e && e <= 1;
      };
      cut->plane(2, 0, onend);
      cut->plane(2, c, onend);
      const cylinderiso_coeffs outer{a, bb, b->frame};
      cut->surface(cylinderiso, &outer, inz);
      if (b->d > 0) {
        const cylinderiso_coeffs inner{a * in, bb * in, b->frame};
        cut->surface(cylinderiso, &inner, inz);
      }
      break;
    }
    case BlockageToroid: {
      const toroidiso_coeffs t{a, bb, c, b->d, b->frame};
      cut->surface(toroidiso, &t, [](const V3&) { return true; });
      break;
    }
    default:
      break;
  }
}

}  // namespace

void conblockage(Cell* cell, Simulation* /*sim*/) {
  if (const char* dash = cell->type_name ? std::strchr(cell->type_name, '-') : nullptr) {
    const std::string word(cell->type_name, (size_t)(dash - cell->type_name));
    Cell_setstringattrib(cell, "Type", word.c_str());
  }
  const double xs = Cell_attrib(cell, "Xsize", 0), ys = Cell_attrib(cell, "Ysize", 0);
  const double zs = Cell_attrib(cell, "Zsize", 0), radius = Cell_attrib(cell, "radius", 0);
  const double length = Cell_attrib(cell, "Length", 0);

  Blockage b{};
  b.shape = shapeof(Cell_stringattrib(cell, "Type"));
  switch (b.shape) {
    case BlockageCuboid:
      b.a = xs, b.b = ys, b.c = zs;
      if (radius != 0) b.a = b.b = b.c = 2 * radius;
      if (b.c == 0) b.c = length;
      break;
    case BlockageCylinder:
      b.a = radius != 0 ? radius : xs;
      b.b = radius != 0 ? radius : ys;
      b.c = zs != 0 ? zs : length;
      break;
    case BlockageSpheroid:
      b.a = xs, b.b = ys, b.c = zs;
      if (radius != 0) b.a = b.b = b.c = radius;
      break;
    case BlockageAnnulus: {
      const double outer = radius != 0 ? radius : Cell_attrib(cell, "OuterRadius", 0);
      if (outer != 0) b.a = b.b = outer;
      b.d = Cell_attrib(cell, "InnerRadius", 0);
      b.c = zs != 0 ? zs : length;
      break;
    }
    case BlockageToroid: {
      const double major = radius != 0 ? radius : Cell_attrib(cell, "MajorRadius", 0);
      if (major != 0) b.a = b.b = major;
      b.d = Cell_attrib(cell, "MinorRadius", 0);
      b.c = zs != 0 ? zs : b.d;
      break;
    }
    default:
      break;
  }
  if (b.shape != BlockageNone && !validsizes(b)) {
    reportf("[WARNING] Blockage '%s' has no valid %s shape (sizes %g, %g, %g, %g m); it "
            "contains nothing",
            cell->name ? cell->name : "", shapenames[b.shape], b.a, b.b, b.c, b.d);
    b.shape = BlockageNone;
  }
  if (Cell_attribtype(cell, "AbsorptionLength") == AttributeType::Number)
    b.abslength = Cell_attrib(cell, "AbsorptionLength", 0);
  else if (Cell_hasattrib(cell, "AbsorptionLength"))
    b.abslength = 0;
  else
    b.abslength = -1;
  b.frame = cell->axis;
  std::memcpy(cell->rtd, &b, sizeof b);
}

int inblockage(const void* data, double x, double y, double z, double /*t*/) {
  const Blockage* b = static_cast<const Blockage*>(data);
  if (b->shape == BlockageNone) return 0;
  return insidelocal(b, tolocal(b->frame, x, y, z));
}

int CDblockage(const void* data, const Particle* start, const Particle* end, double t0,
               double t1, unsigned /*thread*/, const ScatterData* material,
               const Simulation* /*sim*/, Particle* out, double* tout) {
  const Blockage* b = static_cast<const Blockage*>(data);
  *out = *end;
  *tout = t1;
  if (!(b->abslength >= 0) || b->shape == BlockageNone) return 0;

  Cut cut{b, start, end, t0, t1, material, *end, t1};
  cutstep(b, &cut);
  if (cut.found) {
    *out = cut.best;
    *tout = cut.tbest;
  }

  const V3 mid = tolocal(b->frame, 0.5 * (start->x + out->x), 0.5 * (start->y + out->y),
                         0.5 * (start->z + out->z));
  if (!insidelocal(b, mid)) return cut.found;

  // The draw is kept with the particle whatever comes of it (the answer is then an event), so
  // the next step inside the body draws afresh.
  const uint32_t index = out->seq++;
  const double u = std::fmax(durnd(out->seed, index), 1e-20);
  const double path = -std::log(u) * b->abslength;
  const double V2 = start->Vx * start->Vx + start->Vy * start->Vy + start->Vz * start->Vz;
  const double speed = 1.0 / std::sqrt(1.0 / V2 + inv_c_sq);
  const double ta = t0 + path / speed;
  if (ta < *tout) {
    const uint32_t seq = out->seq;
    Particle p = *start;
    scatterparticle(&p, t0, ta - t0, material);
    if (p.seq < seq) p.seq = seq;
    p.state = Stopped;
    *out = p;
    *tout = ta;
  }
  return 1;
}

void BBblockage(void* data, Cell* cell) {
  const Blockage* b = static_cast<const Blockage*>(data);
  double lo[3], hi[3];
  switch (b->shape) {
    case BlockageCuboid:
      lo[0] = lo[1] = lo[2] = 0, hi[0] = b->a, hi[1] = b->b, hi[2] = b->c;
      break;
    case BlockageCylinder:
    case BlockageAnnulus:
      lo[0] = -b->a, lo[1] = -b->b, lo[2] = 0, hi[0] = b->a, hi[1] = b->b, hi[2] = b->c;
      break;
    case BlockageSpheroid:
      lo[0] = -b->a, lo[1] = -b->b, lo[2] = -b->c, hi[0] = b->a, hi[1] = b->b, hi[2] = b->c;
      break;
    case BlockageToroid:
      hi[0] = b->a + b->d, hi[1] = b->b + b->d, hi[2] = b->c;
      lo[0] = -hi[0], lo[1] = -hi[1], lo[2] = -hi[2];
      break;
    default:
      return;
  }
  for (int k = 0; k < 8; k++) {
    double x = k & 1 ? hi[0] : lo[0], y = k & 2 ? hi[1] : lo[1], z = k & 4 ? hi[2] : lo[2];
    affine(b->frame, &x, &y, &z);
    Cell_bbextend(cell, x, y, z);
  }
}
