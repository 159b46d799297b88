#include "lattice/frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/random.h"
#include "base/report.h"
#include "sim/particle.h"
#include "tests/support/helpers.h"

namespace {

using Captured = testsupport::AllMessages;

Cell* bend(double length, double angle) {
  Cell* c = Cell_new(Component, "B");
  Cell_settypename(c, "BMagnet");
  Cell_setattrib(c, "length", length);
  Cell_setattrib(c, "angle", angle);
  return c;
}

// An entrance frame away from the origin and turned about all three axes.
AffineFrame tiltedframe() {
  return AffineFrame{V3{0.3, -1.2, 4.0}, M3x3_Rxyz(V3{0.4, -0.7, 1.1})};
}

using testsupport::expectnear;

// Distance of point p from the line through o with unit direction d.
double linedistance(V3 p, V3 o, V3 d) {
  V3 w = p - o;
  return V3_norm(w - (w * d) * d);
}

TEST(Frames, PlainComponentSitsOnItsEntranceFrame) {
  Cell* c = bend(2, 0);
  AffineFrame E = tiltedframe();
  AffineFrame A = Cell_offsetframe(c, E);
  EXPECT_EQ(A.origin, E.origin);
  expectnear(A.M, E.M, 0);
  // AlignMode on a straight cell changes nothing either.
  Cell_setstringattrib(c, "AlignMode", "Chord");
  A = Cell_offsetframe(c, E);
  EXPECT_EQ(A.origin, E.origin);
  Cell_freeref(c, 0);
}

TEST(Frames, ChordAxisRunsAlongTheChord) {
  for (double theta : {0.3, -0.3, 1.2}) {
    SCOPED_TRACE(theta);
    const double L = 2;
    Cell* c = bend(L, theta);
    Cell_setstringattrib(c, "AlignMode", "chord");
    AffineFrame E = tiltedframe();
    AffineFrame A = Cell_offsetframe(c, E);
    V3 entry = E.origin;
    V3 exit = AffineFrame_transportarc(E, L, theta, 0).origin;
    V3 axisdir = M3x3_column(A.M, 2);
    // Both ends of the arc lie on the component's axis, which points along the chord.
    EXPECT_NEAR(linedistance(entry, A.origin, axisdir), 0, 1e-12);
    EXPECT_NEAR(linedistance(exit, A.origin, axisdir), 0, 1e-12);
    EXPECT_NEAR(V3_norm(V3_normalise(exit - entry) - axisdir), 0, 1e-12);
    // The arc midpoint is one sagitta away, on the side away from the centre of curvature.
    V3 mid = AffineFrame_transportarc(E, L / 2, theta / 2, 0).origin;
    double rho = L / theta;
    V3 centre = E.origin + rho * M3x3_column(E.M, 0);
    double sagitta = std::fabs(rho) * (1 - std::cos(theta / 2));
    EXPECT_NEAR(linedistance(mid, A.origin, axisdir), sagitta, 1e-12);
    EXPECT_LT(linedistance(centre, A.origin, axisdir), V3_dist(centre, mid));
    Cell_freeref(c, 0);
  }
}

TEST(Frames, EndMiddleAndIntegralModes) {
  const double L = 1.5, theta = 0.4;
  AffineFrame E = tiltedframe();
  AffineFrame X = AffineFrame_transportarc(E, L, theta, 0);
  AffineFrame M = AffineFrame_transportarc(E, L / 2, theta / 2, 0);
  Cell* c = bend(L, theta);

  Cell_setstringattrib(c, "AlignMode", "END");
  AffineFrame A = Cell_offsetframe(c, E);
  expectnear(A.origin + L * M3x3_column(A.M, 2), X.origin, 1e-14);  // ends at the exit point
  expectnear(A.M, X.M, 0);

  Cell_setstringattrib(c, "AlignMode", "Middle");
  A = Cell_offsetframe(c, E);
  expectnear(A.origin + (L / 2) * M3x3_column(A.M, 2), M.origin, 1e-14);  // centred at mid-arc
  expectnear(A.M, M.M, 0);

  Cell_setstringattrib(c, "AlignMode", "Chord");
  V3 chord = Cell_offsetframe(c, E).origin;
  Cell_setstringattrib(c, "AlignMode", "Integral");
  V3 integral = Cell_offsetframe(c, E).origin;
  V3 middle = A.origin;
  expectnear(integral - middle, (1.0 / 3) * (chord - middle), 1e-14);

  Cell_setstringattrib(c, "AlignMode", "Sideways");  // unknown: no change
  A = Cell_offsetframe(c, E);
  EXPECT_EQ(A.origin, E.origin);
  Cell_freeref(c, 0);
}

TEST(Frames, FlipActsBeforeRotation) {
  AffineFrame E = tiltedframe();
  V3 x = M3x3_column(E.M, 0), y = M3x3_column(E.M, 1);
  Cell* c = bend(1, 0);
  Cell_setattrib(c, "rotXY", M_PI / 2);
  AffineFrame A = Cell_offsetframe(c, E);
  expectnear(M3x3_column(A.M, 0), y, 1e-15);
  expectnear(M3x3_column(A.M, 1), -x, 1e-15);  // without the flip: reversed old x
  Cell_setattrib(c, "Xflip", 1);
  A = Cell_offsetframe(c, E);
  expectnear(M3x3_column(A.M, 0), y, 1e-15);
  expectnear(M3x3_column(A.M, 1), x, 1e-15);
  Cell_freeref(c, 0);
}

TEST(Frames, RotationsMatchRotationMatrices) {
  // rotXY, rotYZ, rotZX turn the axes about local z, x, y: M' = M · Rz(a)ᵀ · Rx(b)ᵀ · Ry(g)ᵀ.
  unsigned seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> angle(-3, 3);
  for (int k = 0; k < 50; k++) {
    double a = angle(rng), b = angle(rng), g = angle(rng);
    Cell* c = bend(1, 0);
    Cell_setattrib(c, "rotXY", a);
    Cell_setattrib(c, "rotYZ", b);
    Cell_setattrib(c, "rotZX", g);
    Cell_setattrib(c, "Yflip", -2);
    Cell_setattrib(c, "Zflip", 0);
    AffineFrame E{V3{0, 0, 0}, M3x3_Rxyz(V3{angle(rng), angle(rng), angle(rng)})};
    M3x3 flipped = E.M;
    for (int i = 0; i < 3; i++) flipped.m[i][1] = -flipped.m[i][1];
    M3x3 expected = flipped * M3x3_transpose(M3x3_Rz(a)) * M3x3_transpose(M3x3_Rx(b)) *
                    M3x3_transpose(M3x3_Ry(g));
    expectnear(Cell_offsetframe(c, E).M, expected, 1e-14);
    Cell_freeref(c, 0);
  }
}

TEST(Frames, HereOffsetsAreLocalShiftsAreGlobal) {
  AffineFrame E = tiltedframe();
  Cell* c = bend(1, 0);
  Cell_setattrib(c, "Xhere", 0.1);
  AffineFrame A = Cell_offsetframe(c, E);
  expectnear(A.origin, E.origin - 0.1 * M3x3_column(E.M, 0), 1e-15);
  Cell_unsetattrib(c, "Xhere");
  Cell_setattrib(c, "X", 0.1);
  A = Cell_offsetframe(c, E);
  expectnear(A.origin, E.origin + V3{0.1, 0, 0}, 1e-15);
  // "Zhere" names the local point on the reference position after the rotation.
  Cell_setattrib(c, "rotZX", M_PI / 2);
  Cell_setattrib(c, "Zhere", 0.5);
  A = Cell_offsetframe(c, E);
  V3 placed = V3{0, 0, 0.5};
  affine(A, &placed);
  expectnear(placed, E.origin + V3{0.1, 0, 0}, 1e-15);
  Cell_freeref(c, 0);
}

TEST(Frames, TransportFollowsComponentsInOrder) {
  Cell* line = Cell_new(Composite, "line");
  Cell* a = bend(1.0, 0.2);
  Cell_setattrib(a, "twist", 0.3);
  Cell* b = bend(0.5, 0);
  Cell* def = Cell_new(Nonmachine, "beam");
  Cell_setattrib(def, "length", 7);
  Cell_add(line, a, -1);
  Cell_add(line, def, -1);
  Cell_add(line, b, -1);
  AffineFrame E = tiltedframe();
  AffineFrame expected =
      AffineFrame_transportarc(AffineFrame_transportarc(E, 1.0, 0.2, 0.3), 0.5, 0, 0);
  AffineFrame got = Cell_transportframe(line, E, 0.25);  // the fraction is ignored here
  EXPECT_EQ(got.origin, expected.origin);
  expectnear(got.M, expected.M, 0);
  AffineFrame half = Cell_transportframe(a, E, 0.5);
  AffineFrame direct = AffineFrame_transportarc(E, 0.5, 0.1, 0.15);
  EXPECT_EQ(half.origin, direct.origin);
  EXPECT_EQ(Cell_transportframe(def, E, 1).origin, E.origin);
  Cell_freeref(line, 0);
}

TEST(Frames, UnsxyOnTheAxisFollowsTheArc) {
  for (double theta : {0.0, 0.7, -0.7}) {
    SCOPED_TRACE(theta);
    Cell* c = bend(2, theta);
    c->entrance = tiltedframe();
    for (double f : {0.0, 0.3, 1.0}) {
      V3 p;
      Cell_unsxy(c, 2 * f, 0, 0, &p.x, &p.y, &p.z);
      expectnear(p, Cell_transportframe(c, c->entrance, f).origin, 1e-14);
    }
    Cell_freeref(c, 0);
  }
}

TEST(Frames, CurvilinearCoordinatesRoundTrip) {
  unsigned seed = 31337;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int cell = 0; cell < 40; cell++) {
    double L = 0.5 + 2 * std::fabs(u(rng));
    double theta = cell % 4 == 0 ? 0 : 1.5 * u(rng);  // straight, and bends of both signs
    Cell* c = bend(L, theta);
    c->entrance = AffineFrame{V3{u(rng), u(rng), u(rng)}, M3x3_Rxyz(V3{u(rng), u(rng), u(rng)})};
    double rho = theta != 0 ? L / theta : 0;
    for (int k = 0; k < 50; k++) {
      double s0 = L * (1.2 * u(rng) + 0.5), X0 = 0.3 * u(rng), Y0 = 0.3 * u(rng);
      if (theta != 0 && std::fabs(X0 - rho) < 1e-3) continue;  // the centre of curvature
      V3 p;
      Cell_unsxy(c, s0, X0, Y0, &p.x, &p.y, &p.z);
      double s, X, Y, s2, r;
      Cell_sxy(c, p.x, p.y, p.z, &s, &X, &Y);
      Cell_sr(c, p.x, p.y, p.z, &s2, &r);
      ASSERT_NEAR(s, s0, 1e-12) << "L " << L << " theta " << theta;
      ASSERT_NEAR(X, X0, 1e-12);
      ASSERT_NEAR(Y, Y0, 1e-12);
      ASSERT_EQ(s2, s);
      ASSERT_NEAR(r, std::sqrt(X0 * X0 + Y0 * Y0), 1e-12);
      V3 back;
      Cell_unsxy(c, s, X, Y, &back.x, &back.y, &back.z);
      ASSERT_NEAR(V3_dist(back, p), 0, 1e-12);
    }
    Cell_freeref(c, 0);
  }
}

TEST(Frames, OutputsMayBeNone) {
  Cell* c = bend(1, 0.5);
  c->entrance = AffineFrame_identity();
  double s = 0;
  Cell_sxy(c, 0, 0, 0.1, &s, nullptr, nullptr);
  Cell_sr(c, 0, 0, 0.1, nullptr, nullptr);
  Cell_unsxy(c, 0.1, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_GT(s, 0);
  Cell_freeref(c, 0);
}

TEST(Frames, BeamlinePositionsAddTheCellStart) {
  Cell* line = Cell_new(Composite, "line");
  Cell* a = bend(1, 0);
  Cell* b = bend(2, 0);
  b->s = 1;
  b->entrance = AffineFrame_identity();
  b->entrance.origin = V3{0, 0, 1};
  Cell_add(line, a, -1);
  Cell_add(line, b, -1);
  double s = 0, r = -1;
  Cell_beamlinesr(line, 1, 0.3, 0.4, 1.5, &s, &r);
  EXPECT_DOUBLE_EQ(s, 1.5);
  EXPECT_DOUBLE_EQ(r, 0.5);
  EXPECT_DOUBLE_EQ(Cell_beamlines(line, 1, 0, 0, 2.25), 2.25);
  double X = 7, Y = 7;
  Cell_beamlinesxy(line, 1, 0.3, -0.4, 1.5, &s, &X, &Y);
  EXPECT_DOUBLE_EQ(X, 0.3);
  EXPECT_DOUBLE_EQ(Y, -0.4);
  // No occupied cell: s = -9e99, the other outputs untouched.
  r = X = Y = 7;
  for (int segment : {-1, 2}) {
    Cell_beamlinesr(line, segment, 0, 0, 0, &s, &r);
    EXPECT_EQ(s, -9e99);
    Cell_beamlinesxy(line, segment, 0, 0, 0, &s, &X, &Y);
    EXPECT_EQ(s, -9e99);
  }
  EXPECT_EQ(Cell_beamlines(nullptr, 0, 0, 0, 0), -9e99);
  EXPECT_EQ(r + X + Y, 21);
  // A beam line that is a single component is itself the occupied cell.
  EXPECT_EQ(Cell_segmentcell(b, -1), b);
  Cell_freeref(line, 0);
}

TEST(Frames, ParticleCoordinatesAlongTheMachine) {
  Cell* line = Cell_new(Composite, "line");
  Cell* a = bend(1, 0);
  Cell* b = bend(2, 0.5);
  b->s = 1;
  b->entrance = tiltedframe();
  Cell_add(line, a, -1);
  Cell_add(line, b, -1);
  Particle p = Particle_new(MuPlus);
  Cell_unsxy(b, 0.75, 0.02, -0.01, &p.x, &p.y, &p.z);
  double s = 0, r = 0, X = 0, Y = 0;
  Particle_sr(&p, &s, &r);  // no beam line yet
  EXPECT_EQ(s, -9e99);
  EXPECT_EQ(r, 0);
  p.beamline = line;
  p.segment = 1;
  Particle_sr(&p, &s, &r);
  EXPECT_NEAR(s, 1.75, 1e-12);
  EXPECT_NEAR(r, std::sqrt(0.02 * 0.02 + 0.01 * 0.01), 1e-12);
  Particle_sxy(&p, &s, &X, &Y);
  EXPECT_NEAR(s, 1.75, 1e-12);
  EXPECT_NEAR(X, 0.02, 1e-12);
  EXPECT_NEAR(Y, -0.01, 1e-12);
  EXPECT_NEAR(Particle_s(&p), 1.75, 1e-12);
  p.segment = 5;
  X = 3;
  Particle_sxy(&p, &s, &X, &Y);
  EXPECT_EQ(s, -9e99);
  EXPECT_EQ(X, 3);
  Cell_freeref(line, 0);
}

// ---- alignment errors ----

double uniformref() {
  double r1 = rand15();
  double r2 = rand15();
  return (r1 / 32768 + r2) / 32768;
}

TEST(Errors, DrawsComeFromTheFifteenBitGenerator) {
  Cell* c = bend(1, 0);
  Cell_setattrib(c, "X", 0.5);
  Cell_setattrib(c, "ErrorX", 0.01);
  Cell_setstringattrib(c, "ErrorDistX", "uniform");
  Cell_setattrib(c, "ErrorY", 0.02);  // applied first: scanned from the last attribute
  srand15(99);
  double gy_u1 = uniformref();
  double gy_u2 = uniformref();
  double gy = std::sqrt(2 * std::fabs(std::log(gy_u1 + 1e-20))) * std::cos(2 * M_PI * gy_u2);
  double gx = 2 * uniformref() - 1;
  srand15(99);
  Cell_applyerrors(c);
  EXPECT_EQ(Cell_attrib(c, "Y", 0), gy * 0.02);
  EXPECT_EQ(Cell_attrib(c, "X", 0), gx * 0.01 + 0.5);
  // Exactly six draws were used.
  int next = rand15();
  srand15(99);
  for (int i = 0; i < 6; i++) rand15();
  EXPECT_EQ(next, rand15());
  Cell_freeref(c, 0);
}

TEST(Errors, CutBoundsEveryGaussianDraw) {
  Cell* line = Cell_new(Composite, "line");
  const int n = 3000;
  for (int i = 0; i < n; i++) {
    Cell* c = bend(1, 0);
    Cell_setattrib(c, "ErrorXhere", 1e-3);
    Cell_setattrib(c, "ErrorCut", 2);
    Cell_setattrib(c, "ErrorZ", 1e-3);
    Cell_setattrib(c, "ErrorCutZ", 0);  // its own cut of 0: no cut for Z
    Cell_add(line, c, -1);
  }
  srand15(7);
  Cell_applyerrors(line);
  double maxx = 0, maxz = 0, maxcut = 0;
  for (int i = 0; i < n; i++) {
    const Cell* c = line->children[i];
    maxx = std::max(maxx, std::fabs(Cell_attrib(c, "Xhere", 0)));
    maxz = std::max(maxz, std::fabs(Cell_attrib(c, "Z", 0)));
    maxcut = std::max(maxcut, std::fabs(Cell_attrib(c, "Cut", 0)));
  }
  EXPECT_LE(maxx, 2e-3);
  EXPECT_GT(maxx, 1.5e-3);  // the draws do reach towards the cut
  EXPECT_GT(maxz, 2e-3);    // uncut: beyond two amplitudes somewhere in 3000 draws
  EXPECT_LE(maxcut, 4.0);   // "ErrorCut" perturbs "Cut" within its own cut of 2
  EXPECT_GT(maxcut, 0.0);
  Cell_freeref(line, 0);
}

TEST(Errors, UnknownDistributionIsReportedAndAddsNothing) {
  Captured cap;
  Cell* c = bend(1, 0);
  Cell_setattrib(c, "Y", 0.25);
  Cell_setattrib(c, "ErrorY", 0.5);
  Cell_setattrib(c, "ErrorX", 0.5);
  Cell_setstringattrib(c, "ErrorDist", "Lorentzian");
  Cell_setstringattrib(c, "ErrorDistX", "Gaussian");  // its own distribution wins for X
  srand15(1);
  Cell_applyerrors(c);
  ASSERT_EQ(cap.all.size(), 1u);
  EXPECT_EQ(cap.all[0], "[FATAL] Unknown error distribution type 'Lorentzian'");
  EXPECT_EQ(Cell_attrib(c, "Y", 0), 0.25);
  EXPECT_NE(Cell_attrib(c, "X", 0), 0);
  Cell_freeref(c, 0);
}

TEST(Errors, ErrorOnLengthMovesTheField) {
  Cell* c = bend(1, 0);
  Cell_setattrib(c, "ErrorLength", 0.1);
  Cell_setstringattrib(c, "ErrorDist", "Uniform");
  srand15(3);
  Cell_applyerrors(c);
  EXPECT_NE(c->length, 1);
  EXPECT_EQ(c->length, Cell_attrib(c, "length", 0));
  EXPECT_LE(std::fabs(c->length - 1), 0.1);
  Cell_freeref(c, 0);
}

}  // namespace
