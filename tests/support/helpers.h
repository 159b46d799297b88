// Small checks and stream helpers that several test files share: a stream made from text, the
// whole of a stream as text, and closeness of vectors and matrices component by component.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "base/vec.h"
#include "tests/support/support.h"

namespace testsupport {

// A temporary stream holding `bytes`, at its start (the caller closes it).
inline FILE* streamwith(std::string_view bytes) {
  return streamwith(Bytes(bytes.begin(), bytes.end()));
}

// Everything a stream holds from its start; the stream is left at its end, so later writes
// append.
inline std::string streamtext(FILE* f) {
  Bytes bytes = streambytes(f);
  return std::string(bytes.begin(), bytes.end());
}

// Every component within tol of the other's: vectors, and 3 × 3 matrices element by element.
inline void expectnear(V3 a, V3 b, double tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}
inline void expectnear(const M3x3& a, const M3x3& b, double tol) {
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_NEAR(a.m[i][j], b.m[i][j], tol) << "element " << i << j;
}

}  // namespace testsupport
