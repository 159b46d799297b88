// Placement frames, curvilinear coordinates and alignment errors of cells. Reads placement
// attributes through the cell's attribute look-ups; writes only in Cell_applyerrors.
#include "lattice/frames.h"

#include <cmath>
#include <cstring>
#include <string>

#include "base/random.h"
#include "base/text.h"
#include "base/report.h"

namespace {

bool sameword(const char* a, const char* b) {
  return a && b && strnullcmpi(a, b) == 0;
}

// Replaces column j of m by v.
void setcolumn(M3x3* m, int j, V3 v) {
  m->m[0][j] = v.x;
  m->m[1][j] = v.y;
  m->m[2][j] = v.z;
}

// Local coordinates of a global point in the cell's entrance frame.
V3 localpoint(const Cell* c, double x, double y, double z) {
  V3 l{x, y, z};
  unaffine(c->entrance, &l);
  return l;
}

// A uniform draw in [0, 1) from two calls of the 15-bit generator: r1, then r2.
double uniform15() {
  double r1 = rand15();
  double r2 = rand15();
  return (r1 / 32768 + r2) / 32768;
}

// Draws beyond the cut are repeated; after this many the error is taken as 0 (a cut far
// inside the distribution would otherwise never end).
constexpr long MAXCUTDRAWS = 1000000;

}  // namespace

AffineFrame Cell_transportframe(const Cell* c, AffineFrame f, double fraction) {
  if (!c) return f;
  switch (c->t) {
    case Component:
      return AffineFrame_transportarc(f, fraction * c->length, fraction * c->angle,
                                      fraction * Cell_attrib(c, "twist", 0));
    case Composite:
      for (int i = 0; i < c->n; i++) f = Cell_transportframe(c->children[i], f, 1);
      return f;
    default:
      return f;
  }
}

AffineFrame Cell_offsetframe(const Cell* c, AffineFrame E) {
  if (!c || c->t != Component) return E;
  AffineFrame A = E;

  // A straight component on a bent reference arc.
  const char* mode = Cell_stringattrib(c, "AlignMode");
  if (c->angle != 0 && mode) {
    double L = c->length, theta = c->angle, tau = Cell_attrib(c, "twist", 0);
    if (sameword(mode, "End")) {
      AffineFrame X = AffineFrame_transportarc(E, L, theta, tau);
      A.M = X.M;
      A.origin = X.origin - L * M3x3_column(X.M, 2);
    } else if (sameword(mode, "Middle") || sameword(mode, "Chord") ||
               sameword(mode, "Integral")) {
      AffineFrame M = AffineFrame_transportarc(E, L / 2, theta / 2, tau / 2);
      A.M = M.M;
      A.origin = M.origin - (L / 2) * M3x3_column(M.M, 2);
      if (!sameword(mode, "Middle")) {
        double d = (1 - std::cos(theta / 2)) * L / theta;  // the sagitta
        if (sameword(mode, "Integral")) d /= 3;
        A.origin += d * M3x3_column(M.M, 0);
      }
    }
  }

  // Flips of the local axes.
  const char* flips[3] = {"Xflip", "Yflip", "Zflip"};
  for (int j = 0; j < 3; j++)
    if (Cell_attrib(c, flips[j], 0) != 0) setcolumn(&A.M, j, -M3x3_column(A.M, j));

  // Rotations about the local z, x and y axes, each from the old axes.
  double a = Cell_attrib(c, "rotXY", 0);
  if (a != 0) {
    double co = std::cos(a), si = std::sin(a);
    V3 x = M3x3_column(A.M, 0), y = M3x3_column(A.M, 1);
    setcolumn(&A.M, 0, co * x + si * y);
    setcolumn(&A.M, 1, -si * x + co * y);
  }
  a = Cell_attrib(c, "rotYZ", 0);
  if (a != 0) {
    double co = std::cos(a), si = std::sin(a);
    V3 y = M3x3_column(A.M, 1), z = M3x3_column(A.M, 2);
    setcolumn(&A.M, 1, co * y + si * z);
    setcolumn(&A.M, 2, -si * y + co * z);
  }
  a = Cell_attrib(c, "rotZX", 0);
  if (a != 0) {
    double co = std::cos(a), si = std::sin(a);
    V3 z = M3x3_column(A.M, 2), x = M3x3_column(A.M, 0);
    setcolumn(&A.M, 0, co * x - si * z);
    setcolumn(&A.M, 2, si * x + co * z);
  }

  // The local point h sits on the reference position; X, Y, Z shift in global space.
  V3 h{Cell_attrib(c, "Xhere", 0), Cell_attrib(c, "Yhere", 0), Cell_attrib(c, "Zhere", 0)};
  V3 shift{Cell_attrib(c, "X", 0), Cell_attrib(c, "Y", 0), Cell_attrib(c, "Z", 0)};
  A.origin = A.origin + shift - A.M * h;
  return A;
}

void Cell_sxy(const Cell* c, double x, double y, double z, double* s, double* X, double* Y) {
  V3 l = localpoint(c, x, y, z);
  if (c->angle == 0) {
    if (s) *s = l.z;
    if (X) *X = l.x;
    if (Y) *Y = l.y;
    return;
  }
  double rho = c->length / c->angle;  // signed radius; centre of curvature at local (rho, 0, 0)
  double u = l.x - rho;
  double d = std::sqrt(l.z * l.z + u * u);
  if (s) *s = rho > 0 ? rho * std::atan2(l.z, -u) : -rho * std::atan2(l.z, u);
  if (X) *X = rho > 0 ? rho - d : rho + d;
  if (Y) *Y = l.y;
}

void Cell_sr(const Cell* c, double x, double y, double z, double* s, double* r) {
  V3 l = localpoint(c, x, y, z);
  if (c->angle == 0) {
    if (s) *s = l.z;
    if (r) *r = std::sqrt(l.x * l.x + l.y * l.y);
    return;
  }
  double rho = c->length / c->angle;
  double u = l.x - rho;
  double d = std::sqrt(l.z * l.z + u * u);
  if (s) *s = rho > 0 ? rho * std::atan2(l.z, -u) : -rho * std::atan2(l.z, u);
  if (r) {
    double radial = d - std::fabs(rho);
    *r = std::sqrt(l.y * l.y + radial * radial);
  }
}

void Cell_unsxy(const Cell* c, double s, double X, double Y, double* x, double* y, double* z) {
  V3 l;
  if (c->angle == 0) {
    l = V3{X, Y, s};
  } else {
    double rho = c->length / c->angle;
    double phi = s / rho;
    l = V3{rho - std::cos(phi) * (rho - X), Y, std::sin(phi) * (rho - X)};
  }
  affine(c->entrance, &l);
  if (x) *x = l.x;
  if (y) *y = l.y;
  if (z) *z = l.z;
}

const Cell* Cell_segmentcell(const Cell* beamline, int segment) {
  if (!beamline) return nullptr;
  if (beamline->t != Composite) return beamline;
  if (segment < 0 || segment >= beamline->n) return nullptr;
  return beamline->children[segment];
}

void Cell_beamlinesr(const Cell* beamline, int segment, double x, double y, double z, double* s,
                     double* r) {
  const Cell* c = Cell_segmentcell(beamline, segment);
  if (!c) {
    if (s) *s = -9e99;
    return;
  }
  double local = 0;
  Cell_sr(c, x, y, z, &local, r);
  if (s) *s = c->s + local;
}

void Cell_beamlinesxy(const Cell* beamline, int segment, double x, double y, double z,
                      double* s, double* X, double* Y) {
  const Cell* c = Cell_segmentcell(beamline, segment);
  if (!c) {
    if (s) *s = -9e99;
    return;
  }
  double local = 0;
  Cell_sxy(c, x, y, z, &local, X, Y);
  if (s) *s = c->s + local;
}

double Cell_beamlines(const Cell* beamline, int segment, double x, double y, double z) {
  double s = -9e99;
  Cell_beamlinesr(beamline, segment, x, y, z, &s, nullptr);
  return s;
}

void Cell_applyerrors(Cell* c) {
  if (!c) return;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++) Cell_applyerrors(c->children[i]);
    return;
  }
  // By index from the last attribute to the first: Cell_setattrib may append (beyond the
  // index) or move the array, so the name and amplitude are copied out first.
  for (uint32_t i = c->attributes.count; i-- > 0;) {
    const Attribute& a = LSet_at<Attribute>(c->attributes, i);
    if (a.type != AttributeType::Number || !a.name) continue;
    if (std::strlen(a.name) < 5 || strnullcmpi(std::string(a.name, 5).c_str(), "Error") != 0)
      continue;
    std::string target = a.name + 5;
    double amplitude = a.value;

    const char* dist = Cell_stringattrib(c, ("ErrorDist" + target).c_str());
    if (!dist) dist = Cell_stringattrib(c, "ErrorDist");
    if (!dist) dist = "Gaussian";
    std::string cutname = "ErrorCut" + target;
    double cut = 0;
    if (Cell_attribtype(c, cutname.c_str()) == AttributeType::Number)
      cut = Cell_attrib(c, cutname.c_str(), 0);
    else if (Cell_attribtype(c, "ErrorCut") == AttributeType::Number)
      cut = Cell_attrib(c, "ErrorCut", 0);

    double g = 0;
    bool gaussian = strnullcmpi(dist, "Gaussian") == 0;
    bool uniform = strnullcmpi(dist, "Uniform") == 0;
    if (!gaussian && !uniform) {
      reportf("[FATAL] Unknown error distribution type '%s'", dist);
    } else {
      for (long draws = 0;; draws++) {
        if (draws == MAXCUTDRAWS) {
          g = 0;
          break;
        }
        if (gaussian) {
          double u1 = uniform15();
          double rho = std::sqrt(2 * std::fabs(std::log(u1 + 1e-20)));
          double u2 = uniform15();
          g = rho * std::cos(2 * M_PI * u2);
        } else {
          g = 2 * uniform15() - 1;
        }
        if (!(cut > 0 && std::fabs(g) > cut)) break;
      }
    }
    Cell_setattrib(c, target.c_str(), g * amplitude + Cell_attrib(c, target.c_str(), 0));
  }
}
