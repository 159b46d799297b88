#include "language/units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/report.h"
#include "tests/support/support.h"

namespace {

// Collects every reported message while it lives.
using Captured = testsupport::AllMessages;

const double eV = 1.602176462e-19;
const double c = 299792458;

TEST(Units, NamesFollowTheCaseRule) {
  struct Case {
    const char* name;
    double value;
  } cases[] = {
      {"c", c},       {"C", 1},        {"Hz", 1},      {"hz", 1},      {"HZ", 1},
      {"eV", eV},     {"ev", eV},      {"kg", 1},      {"KG", 1},      {"g", 0.001},
      {"gauss", 1e-4}, {"m_e", 9.10938188e-31}, {"M_P", 1.67262158e-27}, {"in", 0.0254},
      {"FT", 0.3048}, {"\xB0", M_PI / 180}, {"%", 0.01}, {"\x89", 0.001}, {"mm", 0},
      {"", 0},        {"\xC2\xB0", M_PI / 180}, {"\xE2\x80\xB0", 0.001},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_DOUBLE_EQ(pureunit(k.name), k.value);
  }
}

TEST(Units, PrefixLettersAndTheirCase) {
  struct Case {
    char c;
    double f;
  } cases[] = {{'a', 1e-18}, {'f', 1e-15}, {'p', 1e-12}, {'P', 1e15}, {'n', 1e-9},
               {'u', 1e-6},  {'U', 1e-6},  {'m', 1e-3},  {'M', 1e6},  {'c', 1e-2},
               {'d', 1e-1},  {'D', 10},    {'h', 100},   {'H', 100},  {'k', 1e3},
               {'K', 1e3},   {'G', 1e9},   {'g', 1e9},   {'T', 1e12}, {'E', 1e18},
               {'e', 1e18},  {'.', 0},     {'x', 0},     {'\0', 0},   {'\xB0', 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(1, k.c));
    EXPECT_DOUBLE_EQ(mksmultiplier(k.c), k.f);
  }
}

TEST(Units, ExpressionsWithPrefixesAndDivision) {
  Captured cap;
  struct Case {
    const char* text;
    double value;
  } cases[] = {
      {"mT", 1e-3},          {"kGauss", 0.1},       {"kG", 1},           {"MeV", 1e6 * eV},
      {"ns", 1e-9},          {"MHz", 1e6},          {"mrad", 1e-3},      {"kV", 1e3},
      {"eV/c", eV / c},      {"MeV/c", 1e6 * eV / c}, {"mg", 1e-3 * 0.001}, {"m/s", 1},
      {"m/ms/ms", 1},          {"m/ms/s", 1e3}, {"\xC2\xB0/s", M_PI / 180},
      {"m\xE2\x80\xB0", 1e-3 * 1e-3}, {"bm", 0},  // "b" is no prefix: 0 without a message
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    EXPECT_DOUBLE_EQ(unit(k.text), k.value);
  }
  EXPECT_TRUE(cap.all.empty());
}

TEST(Units, UnknownAndEmptyUnitsWarn) {
  Captured cap;
  EXPECT_EQ(unit("furlong"), 1.0);
  EXPECT_EQ(unit(""), 0.0);
  EXPECT_TRUE(std::isinf(unit("m/")));  // m / (empty = 0)
  ASSERT_EQ(cap.all.size(), 3u);
  EXPECT_EQ(cap.all[0], "[WARNING] Unknown unit 'furlong', assuming unity");
  EXPECT_EQ(cap.all[1], "[WARNING] Called unit(\"\") with empty string, returning zero!");
  EXPECT_EQ(cap.all[2], cap.all[1]);
}

struct Quantity {
  const char* text;
  const char* defaultunit;
  double value;
  int consumed;  // characters read
  int warnings;
};

TEST(Units, QuantitiesWithUnits) {
  const Quantity cases[] = {
      {"5mm", nullptr, 0.005, 3, 0},
      {"5 mm", "mm", 0.005, 1, 0},     // blank: default unit, end at the blank
      {"5 mm", nullptr, 5, 1, 0},
      {"1e-3s", nullptr, 0.001, 5, 0},
      {"2e", nullptr, 2, 2, 1},        // unit "e": unknown, counts 1
      {"1e", nullptr, 1, 2, 1},
      {"2em", nullptr, 2e18, 3, 0},    // exa-metre: "e" is a prefix once it has a row after it
      {"0x1F", nullptr, 31, 4, 0},
      {"0x1fmm", nullptr, 0.031, 6, 0},
      {"0xFFFFFFFF", nullptr, -1, 10, 0},  // "%x" into a signed 32-bit integer
      {"0x", nullptr, 0, 2, 0},
      {"45\xB0", nullptr, 0.7853981633974483, 3, 0},
      {"45\xC2\xB0", nullptr, 0.7853981633974483, 4, 0},
      {"5%", nullptr, 0.05, 2, 0},
      {"3\xE2\x80\xB0", nullptr, 0.003, 4, 0},
      {"-2.5kV", nullptr, -2500, 6, 0},
      {"+.5", "cm", 0.005, 3, 0},
      {"1.5e2.5", nullptr, 150, 7, 0},  // the exponent's '.' and digits are skipped, not used
      {"--5", nullptr, 0, 1, 0},
      {"", nullptr, 0, 0, 0},
      {"", "m", 0, 0, 0},
      {"7", "", 7, 1, 0},               // an empty default unit is no default unit
      {"200MHz", "GHz", 2e8, 6, 0},
      {"3.2MeV/c", nullptr, 3.2e6 * eV / c, 8, 0},
  };
  for (const Quantity& k : cases) {
    SCOPED_TRACE(k.text);
    Captured cap;
    const char* end = nullptr;
    double v = getquantity(k.text, &end, k.defaultunit);
    EXPECT_DOUBLE_EQ(v, k.value);
    EXPECT_EQ(end - k.text, k.consumed);
    EXPECT_EQ((int)cap.all.size(), k.warnings);
  }
}

TEST(Units, RangeTextStopsAtCommaAndBracket) {
  char text[] = "1mm,2mm]";
  char* end = nullptr;
  EXPECT_DOUBLE_EQ(getquantity(text, &end, nullptr), 0.001);
  ASSERT_EQ(*end, ',');
  EXPECT_DOUBLE_EQ(getquantity(end + 1, &end, nullptr), 0.002);
  EXPECT_EQ(*end, ']');
  EXPECT_EQ(end - text, 7);
}

TEST(Units, LongUnitRunsAreSafe) {
  Captured cap;
  std::string letters = "1" + std::string(10000, 'q');
  const char* end = nullptr;
  EXPECT_EQ(getquantity(letters.c_str(), &end, nullptr), 1.0);
  EXPECT_EQ(end, letters.c_str() + letters.size());
  ASSERT_EQ(cap.all.size(), 1u);
  EXPECT_EQ(cap.all[0].rfind("[WARNING] Unknown unit 'qqqq", 0), 0u);

  // 10,000 slashes: 10,001 empty pieces, each warned; no deep recursion.
  cap.all.clear();
  std::string slashes = "1" + std::string(10000, '/');
  double v = getquantity(slashes.c_str(), &end, nullptr);
  EXPECT_TRUE(std::isnan(v));  // 0/(0/(0/...)) is 0/0
  EXPECT_EQ(end, slashes.c_str() + slashes.size());
  EXPECT_EQ(cap.all.size(), 10001u);
}

TEST(Units, UnitCharactersAndIdentifiers) {
  for (int b = 0; b < 256; b++) {
    char ch = (char)b;
    bool excluded = b == 0 || std::string(" \"#',-.0123456789]").find(ch) != std::string::npos;
    SCOPED_TRACE(b);
    EXPECT_EQ(isunitchar(ch), excluded ? 0 : 1);
  }
  EXPECT_EQ(identifierlength("ab_c-9 x"), 6);
  EXPECT_EQ(identifierlength("x.y"), 1);
  EXPECT_EQ(identifierlength(""), 0);
  EXPECT_EQ(identifierlength("\xC2\xB0"), 0);
}

}  // namespace
