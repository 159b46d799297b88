#include "base/text.h"

#include <gtest/gtest.h>

#include <bitset>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Pieces = std::vector<std::string>;

TEST(Explode, SplitsAtEverySeparatorKeepingEmptyPieces) {
  struct Case {
    const char* sep;
    const char* text;
    Pieces want;
  };
  const Case cases[] = {
      {",", "a,,b", {"a", "", "b"}},
      {",", "", {""}},
      {",", ",a,", {"", "a", ""}},
      {",", ",", {"", ""}},
      {",", "abc", {"abc"}},
      {"::", "a::b:::c", {"a", "b", ":c"}},  // scanning resumes after a whole separator
      {"aa", "aaa", {"", "a"}},
      {"aa", "aaaa", {"", "", ""}},
      {"ab", "xaybz", {"xaybz"}},
      {", ", "x, y,z, ", {"x", "y,z", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("sep '") + c.sep + "' text '" + c.text + "'");
    EXPECT_EQ(explode(c.sep, c.text), c.want);
    EXPECT_EQ(explode(c.sep, std::string(c.text)), c.want);
  }
  EXPECT_EQ(explode(",", (const char*)nullptr), Pieces{""});
}

// Joining the pieces with the separator must give back the text, for random texts over a
// small alphabet where separators are frequent.
TEST(Explode, PiecesJoinBackToTheText) {
  unsigned seed = 20240601;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const char* seps[] = {",", "ab", "aba"};
  for (int t = 0; t < 500; t++) {
    std::string text;
    for (int n = rng() % 20; n > 0; n--) text += "ab,"[rng() % 3];
    for (const char* sep : seps) {
      Pieces p = explode(sep, text);
      std::string joined;
      for (size_t i = 0; i < p.size(); i++) joined += (i ? sep : "") + p[i];
      ASSERT_EQ(joined, text) << "sep " << sep;
      // The scan tries every position after the last separator, so no piece holds one.
      for (const std::string& s : p) ASSERT_EQ(s.find(sep), std::string::npos) << text;
    }
  }
}

TEST(Explodews, GivesRunsOfNonBlanks) {
  EXPECT_EQ(explodews("  a  b\t\n"), (Pieces{"a", "b"}));
  EXPECT_EQ(explodews("a\r\nbc\fd"), (Pieces{"a", "bc", "d"}));
  EXPECT_EQ(explodews(""), Pieces{});
  EXPECT_EQ(explodews(" \t "), Pieces{});
  EXPECT_EQ(explodews(std::string("x")), Pieces{"x"});
  EXPECT_EQ(explodews((const char*)nullptr), Pieces{});
}

TEST(Commandwords, QuotesGroupBlanksWhereverTheyStand) {
  struct Case {
    const char* line;
    Pieces plain, kept;
  } cases[] = {
      {"\"/opt/my dir/ordax\" -c", {"/opt/my dir/ordax", "-c"}, {"\"/opt/my dir/ordax\"", "-c"}},
      {"a -param:x=\"b c\" d", {"a", "-param:x=b c", "d"}, {"a", "-param:x=\"b c\"", "d"}},
      {"ab\"\"cd \"\"", {"abcd", ""}, {"ab\"\"cd", "\"\""}},
      {"a \"open to end", {"a", "open to end"}, {"a", "\"open to end"}},
      {" \t\r\n", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(commandwords(c.line), c.plain);
    EXPECT_EQ(commandwords(c.line, true), c.kept);
  }
  EXPECT_EQ(commandwords(nullptr), Pieces{});
}

TEST(Sreplace, ReplacesLeftToRightWithoutOverlap) {
  struct Case {
    const char *text, *from, *to, *want;
  };
  const Case cases[] = {
      {"aaa", "aa", "b", "ba"},       {"abc", "", "x", "abc"},
      {"a.b.c", ".", "::", "a::b::c"}, {"", "a", "b", ""},
      {"banana", "an", "", "ba"},      {"xx", "x", "xx", "xxxx"},  // no re-scan of output
      {"abc", "d", "e", "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.from + " / " + c.to);
    EXPECT_EQ(sreplace(c.text, c.from, c.to), c.want);
    std::string s = c.text;
    EXPECT_EQ(sdreplace(s, c.from, c.to), c.want);
    EXPECT_EQ(s, c.want);
  }
  EXPECT_EQ(latexescape("a_b~c__"), "a\\_b$\\sim$c\\_\\_");
}

TEST(Stristr, FindsIgnoringCase) {
  const char* h = "Hello World";
  EXPECT_EQ(stristr(h, "WORLD"), h + 6);
  EXPECT_EQ(stristr(h, "o w"), h + 4);
  EXPECT_EQ(stristr(h, ""), h);
  EXPECT_EQ(stristr(h, "worlds"), nullptr);
  EXPECT_EQ(stristr("", "a"), nullptr);
  EXPECT_EQ(stristr((const char*)nullptr, "a"), nullptr);
  EXPECT_STREQ(stristr("aaab", "AAB"), "aab");  // match after a false start
  EXPECT_EQ(strinstr("Solenoid", "NOID"), 1);
  EXPECT_EQ(strinstr("Solenoid", "noids"), 0);
  char buf[] = "xyZ";
  *stristr(buf, "z") = 'q';
  EXPECT_STREQ(buf, "xyq");
}

int sign(int v) {
  return (v > 0) - (v < 0);
}

TEST(Strnullcmp, NoneSortsFirstAndBytesAreUnsigned) {
  EXPECT_EQ(strnullcmp(nullptr, nullptr), 0);
  EXPECT_LT(strnullcmp(nullptr, ""), 0);
  EXPECT_GT(strnullcmp("", nullptr), 0);
  EXPECT_LT(strnullcmp("a", "b"), 0);
  EXPECT_LT(strnullcmp("ab", "abc"), 0);
  EXPECT_GT(strnullcmp("\xe9", "a"), 0);
  EXPECT_EQ(strnullcmpi("ABC", "abc"), 0);
  EXPECT_LT(strnullcmpi(nullptr, "x"), 0);
  EXPECT_LT(strnullcmpi("_", "A"), 0);  // letters compare in lower case: '_' < 'a'
  EXPECT_GT(strnullcmpi("b", "A"), 0);
  EXPECT_TRUE(equalnocase("Solenoid", "sOLENOID"));
  EXPECT_FALSE(equalnocase("Sol", "Solenoid"));
  EXPECT_FALSE(equalnocase((const char*)nullptr, nullptr));  // none equals nothing
  EXPECT_TRUE(equalnocase(std::string("Ab\0c", 4), std::string("aB\0C", 4)));
  EXPECT_TRUE(startsnocase("ALLOW_muon", "allow_"));
  EXPECT_FALSE(startsnocase("all", "allow_"));
  // Against strcmp on random texts (no letters: case folding must then change nothing).
  std::mt19937 rng(7);
  for (int t = 0; t < 1000; t++) {
    char a[4] = {0}, b[4] = {0};
    for (int i = 0; i < 3; i++) {
      a[i] = (char)(0x20 + rng() % 8 + (rng() % 2) * 0x70);
      b[i] = (char)(0x20 + rng() % 8 + (rng() % 2) * 0x70);
    }
    ASSERT_EQ(sign(strnullcmp(a, b)), sign(strcmp(a, b))) << a << " " << b;
    ASSERT_EQ(sign(strnullcmpi(a, b)), sign(strcmp(a, b))) << a << " " << b;
  }
}

TEST(Trim, RtrimAndStripspace) {
  char a[] = "abc \t\r\n\x01\x1f";
  EXPECT_STREQ(rtrim(a), "abc");
  char b[] = "deg\xc2\xb0";  // UTF-8 at the end stays
  EXPECT_STREQ(rtrim(b), "deg\xc2\xb0");
  char c[] = "   ";
  EXPECT_STREQ(rtrim(c), "");
  char d[] = " \t ab c \n ";
  EXPECT_STREQ(stripspaceinplace(d), "ab c");
  char e[] = "x\x01";  // a control character is not white space for stripspaceinplace
  EXPECT_STREQ(stripspaceinplace(e), "x\x01");
  EXPECT_STREQ(skipws(" \t\r\nz "), "z ");
}

TEST(Skipnumber, StopsAtTheEndOfTheNumber) {
  struct Case {
    const char* text;
    int len, lennoexp;
  };
  const Case cases[] = {
      {"123abc", 3, 3},   {"-1.5e+3x", 7, 4}, {"1e", 1, 1},     {"1e+", 1, 1},
      {"2E-x", 1, 1},     {"1.e5", 4, 2},     {".5", 2, 2},     {"-", 0, 0},
      {".", 0, 0},        {"+.e3", 0, 0},     {"1e3.5z", 5, 1}, {"1.5e.5", 6, 3},
      {"12.34.56", 5, 5}, {"+7", 2, 2},       {"e5", 0, 0},     {"3em", 1, 1},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(skipnumber(c.text) - c.text, c.len);
    EXPECT_EQ(skipnumber_noexp(c.text) - c.text, c.lennoexp);
  }
  char buf[] = "42x";
  EXPECT_EQ(*skipnumber(buf), 'x');
}

TEST(Skiphex, SkipsPrefixAndDigits) {
  struct Case {
    const char* text;
    int len;
  };
  const Case cases[] = {{"0x1fZ", 4}, {"ABCg", 3}, {"0Xg", 2}, {"g", 0}, {"0x", 2}, {"09afAF", 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(skiphex(c.text) - c.text, c.len);
  }
  for (int ch = -128; ch < 256; ch++) {
    bool want = ch > 0 && strchr("0123456789abcdefABCDEF", ch) != nullptr;
    ASSERT_EQ(ishexdigit(ch) != 0, want) << ch;
  }
}

TEST(Characters, CaseChangeMatchesCLocale) {
  for (int ch = 0; ch < 256; ch++) {
    bool ascii = ch < 128;
    ASSERT_EQ(lc(ch), ascii ? std::tolower(ch) : ch) << ch;
    ASSERT_EQ(uc(ch), ascii ? std::toupper(ch) : ch) << ch;
    ASSERT_EQ(c2i((char)ch), ch);
  }
}

TEST(Summarisetext, CutsLongTextsToFifty) {
  std::string s50(50, 'x');
  std::string t = s50;
  EXPECT_EQ(summarisetext(t.data()), s50);

  std::string s51;
  for (int i = 0; i < 51; i++) s51 += (char)('!' + i);
  std::string want = s51.substr(0, 37) + "..." + s51.substr(41);
  std::string u = s51;
  summarisetext(u.data());
  EXPECT_EQ(std::string(u.c_str()), want);
  EXPECT_EQ(strlen(u.c_str()), 50u);

  std::string v = "line one\nline two";
  summarisetext(v.data());
  EXPECT_EQ(v, "line one\xACline two");

  std::string w(100, 'a');
  w[95] = '\n';
  summarisetext(w.data());
  EXPECT_EQ(std::string(w.c_str()), std::string(37, 'a') + "..." + "aaaaa\xAC" "aaaa");
}

TEST(Fixfilename, ReplacesForbiddenCharacters) {
  char a[] = "a\\b/c:d*e?f\"g<h>i|j k";
  EXPECT_STREQ(fixfilename(a, '_', ' '), "a_b_c_d_e_f_g_h_i_j_k");
  char b[] = "x y:z";
  EXPECT_STREQ(fixfilename(b, '-', 0), "x y-z");
}

// barset against std::bitset under random sets and clears.
TEST(Barset, MatchesBitsetReference) {
  unsigned seed = 99;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  unsigned char bytes[16] = {0};
  std::bitset<128> ref;
  for (int t = 0; t < 2000; t++) {
    uint32_t i = rng() % 128;
    int on = rng() % 2;
    barset(bytes, i, on);
    ref[i] = on;
  }
  for (uint32_t i = 0; i < 128; i++) ASSERT_EQ((bytes[i / 8] >> (i % 8)) & 1, (int)ref[i]) << i;
}

TEST(NumericHelpers, SignsAndUnsignedRange) {
  EXPECT_EQ(Maxu(0x80000000u, 1u), 0x80000000u);  // no signed comparison
  EXPECT_EQ(Maxi(-3, -5), -3);
  EXPECT_EQ(Mini(-3, -5), -5);
  EXPECT_EQ(Max(-0.5, -1.5), -0.5);
  EXPECT_EQ(noneg(-2.5), 0.0);
  EXPECT_EQ(noneg(2.5), 2.5);
  EXPECT_EQ(nonegi(-7), 0);
  EXPECT_EQ(sq(-3.0), 9.0);
}

}  // namespace
