// Tests of Cish values, the environment's variables and scopes, the scanning helpers, the
// rule table and the rule files.
#include "language/cish.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "language/cishtree.h"
#include "tests/support/support.h"

namespace {

using testsupport::readfile;
using testsupport::TempDir;
using testsupport::writefile;

// ---------------------------------------------------------------- values

TEST(CishValue, ReadsNumberLiteralsByTheStateMachine) {
  struct Case {
    const char* text;
    bool isnumber;
    double value;
    int length;  // characters the literal takes
  };
  const Case cases[] = {
      {".5x", true, 0.5, 2},      {"5. ", true, 5, 2},         {"1e ", false, 0, 0},
      {"1.2.3", false, 0, 0},     {".", false, 0, 0},          {". 5", false, 0, 0},
      {"1e", true, 1, 2},         {"12e+3z", true, 12000, 5},  {"0x10", true, 0, 1},
      {"5X", true, 5, 1},         {"3E2", true, 300, 3},       {"abc", false, 0, 0},
      {"1e-2;", true, 0.01, 4},   {".e5", false, 0, 0},        {"7ex", false, 0, 0},
      {"2.5e3.1", true, 2500, 5}, {"42", true, 42, 2},         {"-1", false, 0, 0},
      {"1e+", true, 1, 3},        {"007", true, 7, 3},         {"1.e2", true, 100, 4},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.text);
    const char* end = nullptr;
    CishValue v = CishValue_read(tc.text, &end);
    if (tc.isnumber) {
      ASSERT_TRUE(CishValue_is(v, "Xn"));
      EXPECT_DOUBLE_EQ(v.x, tc.value);
      EXPECT_EQ(end - tc.text, tc.length);
    } else {
      EXPECT_EQ(v.kind[0], 0);
      EXPECT_EQ(end, tc.text);
    }
    CishValue_free(&v);
  }
}

TEST(CishValue, PrintsEachKind) {
  Cish* c = Cish_new();
  CishValue n = CishValue_Xn(0.1 + 0.2), big = CishValue_Xn(1e20), x = CishValue_kind("X"),
            p = CishValue_kind("XP"), none = CishValue_nothing(), odd = CishValue_kind("S"),
            t = CishValue_Text("a\nb"), tn = CishValue_Text(nullptr), l = CishValue_Xl(c, "S1.Field");
  EXPECT_EQ(CishValue_print(n), "0.3");
  EXPECT_EQ(CishValue_print(big), "1e+20");
  EXPECT_EQ(CishValue_print(x), "(tba)");
  EXPECT_EQ(CishValue_print(p), "Pointer");
  EXPECT_EQ(CishValue_print(none), "?Unknown?");
  EXPECT_EQ(CishValue_print(odd), "?Unknown?");
  EXPECT_EQ(CishValue_print(t), "Text 'a\xAC" "b'");
  EXPECT_EQ(CishValue_print(tn), "Text ''");
  EXPECT_EQ(CishValue_print(l), "S1.Field");
  CishValue bare = CishValue_kind("Xl");
  EXPECT_EQ(CishValue_print(bare), "?Unspecified LValue?");
  for (CishValue* v : {&n, &big, &x, &p, &none, &odd, &t, &tn, &l, &bare}) CishValue_free(v);
  Cish_free(c);
}

TEST(CishValue, NumbersPrintAsPercentFifteenG) {
  const unsigned seed = 4471;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::vector<double> xs = {0.0, -0.0, 1, -1, 1e14, 999999999999999.0, 1e15, -1e15, 123456789012345.0,
                            1e16, 0.5, -2.5, 1e-5, 1e300, INFINITY, -INFINITY, NAN, 4294967295.0};
  for (int i = 0; i < 2000; i++) {
    int64_t k = static_cast<int64_t>(rng() % 2000000000000000ULL) - 1000000000000000LL;
    xs.push_back(static_cast<double>(k) / (rng() % 3 == 0 ? 1.0 : static_cast<double>(1LL << (rng() % 20))));
    xs.push_back(static_cast<double>(k >> (rng() % 50)));
  }
  for (double x : xs) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.15lg", x);
    CishValue v = CishValue_Xn(x);
    EXPECT_EQ(CishValue_print(v), expected) << x;
  }
}

TEST(CishValue, PrintCutsLongTextToHeadAndTail) {
  // The printed form "Text '…'" is kept up to 50 characters; longer forms become their first 37
  // characters, "...", and their last 10.
  for (int n = 30; n <= 70; n++) {
    SCOPED_TRACE(n);
    std::string text;
    for (int i = 0; i < n; i++) text += static_cast<char>('a' + i % 26);
    std::string form = "Text '" + text + "'";
    std::string expected = form.size() <= 50 ? form : form.substr(0, 37) + "..." + form.substr(form.size() - 10);
    CishValue v = CishValue_Text(text.c_str());
    std::string printed = CishValue_print(v);
    EXPECT_EQ(printed, expected);
    EXPECT_LE(printed.size(), 50u);
    CishValue_free(&v);
  }
}

TEST(CishValue, CopiesAreDeepAndFreeLeavesNothing) {
  CishValue a = CishValue_Text("lattice"), b = CishValue_Xn(3);
  CishValue_copyfrom(&b, &a);
  ASSERT_TRUE(CishValue_is(b, "Text"));
  EXPECT_NE(a.text, b.text);
  a.text[0] = 'L';
  EXPECT_STREQ(b.text, "lattice");
  CishValue_copyfrom(&b, &b);  // onto itself: unchanged
  EXPECT_STREQ(b.text, "lattice");
  CishValue_free(&a);
  EXPECT_EQ(a.kind[0], 0);
  CishValue_free(&b);
  CishValue_free(&b);  // freeing an empty value is harmless
}

TEST(CishValue, TruthRulesDifferOnlyForNotANumber) {
  Cish* c = Cish_new();
  struct Case {
    CishValue v;
    bool rvaluetrue, istrue;
  };
  Case cases[] = {
      {CishValue_Xn(2), true, true},       {CishValue_Xn(-0.5), true, true},
      {CishValue_Xn(0), false, false},     {CishValue_Xn(NAN), false, true},
      {CishValue_Text("1"), false, false}, {CishValue_nothing(), false, false},
  };
  for (Case& tc : cases) {
    SCOPED_TRACE(CishValue_print(tc.v));
    EXPECT_EQ(CishValue_rvalueistrue(&tc.v), tc.rvaluetrue);
    EXPECT_EQ(CishValue_istrue(c, &tc.v), tc.istrue);
    CishValue_free(&tc.v);
  }
  // An lvalue is true through its variable's value.
  CishValue one = CishValue_Xn(1);
  Cish_setvar(c, "flag", &one);
  CishValue l = CishValue_Xl(c, "flag"), u = CishValue_Xl(c, "unset");
  EXPECT_TRUE(CishValue_istrue(c, &l));
  EXPECT_FALSE(CishValue_istrue(c, &u));
  CishValue r = Cish_rvalue(c, &u);  // an empty variable's rvalue is the lvalue itself
  EXPECT_TRUE(CishValue_is(r, "Xl"));
  EXPECT_STREQ(r.text, "unset");
  for (CishValue* v : {&l, &u, &r}) CishValue_free(v);
  Cish_free(c);
}

// ---------------------------------------------------------------- variables

// Reference model of the variable table: a plain vector with the same look-up rule and the
// same removal order (the last element moves into the gap).
struct RefVar {
  std::string name;
  int level;
  double value;
  bool set;
};

int reflookup(const std::vector<RefVar>& t, const std::string& name) {
  int best = -1;
  for (int i = 0; i < static_cast<int>(t.size()); i++)
    if (t[i].name == name && (best < 0 || t[i].level >= t[best].level)) best = i;
  return best;
}

TEST(CishVar, RandomScopesMatchReferenceModel) {
  const unsigned seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  Cish* c = Cish_new();
  std::vector<RefVar> ref;
  int level = 0;
  const char* names[] = {"a", "b", "c", "x1", "x2", "long_name"};
  for (int step = 0; step < 5000; step++) {
    int op = static_cast<int>(rng() % 10);
    std::string name = names[rng() % 6];
    if (op < 3) {
      double x = static_cast<double>(rng() % 1000);
      CishValue v = CishValue_Xn(x);
      bool global = op == 2;
      if (global)
        Cish_setvarglobal(c, name.c_str(), &v);
      else
        Cish_setvar(c, name.c_str(), &v);
      CishValue_free(&v);
      int i = reflookup(ref, name);
      if (i < 0) {
        ref.push_back({name, level, x, true});
        i = static_cast<int>(ref.size()) - 1;
      }
      ref[i].value = x;
      ref[i].set = true;
      if (global) ref[i].level = 0;
    } else if (op < 5) {
      // A local made at the present level, shadowing outer ones of the same name.
      int got = Cish_newvar(c, name.c_str());
      ref.push_back({name, level, 0, false});
      ASSERT_EQ(got, static_cast<int>(ref.size()) - 1);
      ASSERT_EQ(Cish_getvarindex(c, name.c_str()), reflookup(ref, name)) << "look-up of " << name;
    } else if (op < 7) {
      level++;
      Cish_scopein(c);
    } else if (op < 9 && level > 0) {
      level--;
      Cish_scopeout(c);
      for (int i = static_cast<int>(ref.size()) - 1; i >= 0; i--)
        if (ref[i].level > level) {
          ref[i] = ref.back();
          ref.pop_back();
        }
    } else {
      ASSERT_EQ(Cish_hasvar(c, name.c_str()), reflookup(ref, name) >= 0 ? 1 : 0);
    }
    ASSERT_EQ(c->vars.count, ref.size()) << "step " << step;
    for (size_t i = 0; i < ref.size(); i++) {
      const CishVar* v = Cish_var(c, static_cast<uint32_t>(i));
      ASSERT_EQ(v->name, ref[i].name) << "step " << step << " slot " << i;
      ASSERT_EQ(v->level, ref[i].level);
      if (ref[i].set) {
        ASSERT_EQ(v->value.x, ref[i].value);
      }
    }
  }
  Cish_free(c);
}

TEST(CishVar, VarmatchTakesLongestWholeName) {
  Cish* c = Cish_new();
  for (const char* n : {"S", "S1", "S1.Field", "T"}) Cish_getvarindex(c, n);
  struct Case {
    const char* text;
    const char* name;  // none: no match
    int length;
  };
  const Case cases[] = {{"S1.Fieldx", "S1.Field", 8}, {"S1.Fi", "S1", 2}, {"S2", "S", 1},
                        {"Q", nullptr, 0},            {"T1", "T", 1}};
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.text);
    const char* end = nullptr;
    const CishVar* v = Cish_varmatch(c, tc.text, &end);
    if (tc.name) {
      ASSERT_NE(v, nullptr);
      EXPECT_STREQ(v->name, tc.name);
    } else {
      EXPECT_EQ(v, nullptr);
    }
    EXPECT_EQ(end - tc.text, tc.length);
  }
  Cish_free(c);
}

// ---------------------------------------------------------------- scanning

TEST(CishScan, IdentifiersCommentsAndFragments) {
  struct Name {
    const char* text;
    int length;  // −1: none
  };
  auto scans = [](const char* (*scan)(const char*), std::initializer_list<Name> cases) {
    for (const Name& tc : cases) {
      SCOPED_TRACE(tc.text);
      const char* e = scan(tc.text);
      EXPECT_EQ(e ? e - tc.text : -1, tc.length);
    }
  };
  scans(Cish_readvarname, {{"abc1 x", 4}, {"_x9.y", 3}, {"9a", -1}, {".a", -1}, {"Z", 1}, {"", -1}});
  scans(Cish_readcomment, {{"// to end\nnext", 9}, {"//", 2}, {"/* a */b", 7}, {"/* open", 7},
                           {"/*/", 3}, {"/ x", -1}, {"x//", -1}});
  Cish* c = Cish_new();
  struct Frag {
    const char* text;
    const char* fragment;  // none: no fragment
  };
  for (const Frag& tc : {Frag{"<<=1", "<<="}, Frag{"<<1", "<<"}, Frag{"<1", "<"}, Frag{"->x", "->"},
                         Frag{"--x", "--"}, Frag{"-x", "-"}, Frag{"double", "do"},
                         Frag{"format", "for"}, Frag{"sizeof(x)", "sizeof("}, Frag{"sizeof x", nullptr},
                         Frag{"abc", nullptr}, Frag{"elsewhere", "else"}}) {
    SCOPED_TRACE(tc.text);
    const char* end = nullptr;
    int i = Cish_readopfrag(c, tc.text, &end);
    if (tc.fragment) {
      ASSERT_GE(i, 0);
      EXPECT_STREQ(Cish_frag(c, i), tc.fragment);
      EXPECT_EQ(end - tc.text, static_cast<long>(std::strlen(tc.fragment)));
    } else {
      EXPECT_EQ(i, -1);
      EXPECT_EQ(end, tc.text);
    }
  }
  Cish_free(c);
}

// ---------------------------------------------------------------- rules

TEST(CishRules, BuiltinTableIsSortedWithCountsAndFragments) {
  Cish* c = Cish_new();
  ASSERT_EQ(c->ops.count, 63u);
  for (uint32_t i = 1; i < c->ops.count; i++) EXPECT_LE(Cish_op(c, i - 1).prec, Cish_op(c, i).prec);
  struct Case {
    const char* pattern;
    int prec, symbols, nonterminals;
  };
  const Case cases[] = {
      {"Comment", 0, 1, 1},       {"for ( X ; X ; X )", 2, 8, 3}, {"do S While1 ;", 8, 4, 2},
      {"{ S }", 12, 3, 1},        {"sizeof( Xl )", 29, 3, 1},     {"-X", 37, 2, 1},
      {"X ? X : X", 79, 5, 3},    {"Xl <<= X", 83, 3, 2},         {"TextText", 108, 2, 2},
      {"Text;", 110, 2, 1},       {"{Text}", 110, 3, 1},          {"X", 117, 1, 1},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.pattern);
    EXPECT_EQ(Cish_opgetprec(c, tc.pattern), tc.prec);
    for (uint32_t i = 0; i < c->ops.count; i++)
      if (!std::strcmp(Cish_op(c, i).s, tc.pattern)) {
        EXPECT_EQ(Cish_op(c, i).nsymbols, tc.symbols);
        EXPECT_EQ(Cish_op(c, i).nnonterminals, tc.nonterminals);
      }
  }
  EXPECT_EQ(Cish_opgetprec(c, "X ** X"), INT_MIN);
  // Equal precedences keep the order of addition: the rows are added from the last to the
  // first, so "Xl += X" comes before "Xl = X".
  int plus = -1, assign = -1;
  for (uint32_t i = 0; i < c->ops.count; i++) {
    if (!std::strcmp(Cish_op(c, i).s, "Xl += X")) plus = static_cast<int>(i);
    if (!std::strcmp(Cish_op(c, i).s, "Xl = X")) assign = static_cast<int>(i);
  }
  EXPECT_LT(plus, assign);
  // Every literal fragment once.
  std::vector<std::string> frags;
  for (uint32_t i = 0; i < c->frags.count; i++) frags.push_back(Cish_frag(c, i));
  const char* expected[] = {"for", "(", ";", ")", "if", "while", "else", "do", "{", "}", ".",
                            "->", "[", "]", "~", "&", "sizeof(", "+", "--", "-", "++", "!",
                            "*", "%", "/", ">>", "<<", "<=", ">=", ">", "<", "!=", "==", "^",
                            "|", "&&", "||", "?", ":", "=", ">>=", "%=", "^=", "&=", "|=",
                            "/=", "<<=", "*=", "-=", "+=", ","};
  EXPECT_EQ(frags.size(), std::size(expected));
  for (const char* e : expected) EXPECT_EQ(std::count(frags.begin(), frags.end(), e), 1) << e;
  Cish_free(c);
}

TEST(CishRules, AddingAnExistingPatternOnlyChangesPrecedence) {
  Cish* c = Cish_new();
  uint32_t before = c->ops.count, fragments = c->frags.count;
  Cish_addop(c, CishOp_make("Q", "X + X", 41));  // before "X * X" now
  EXPECT_EQ(c->ops.count, before);
  EXPECT_EQ(c->frags.count, fragments);
  EXPECT_EQ(Cish_opgetprec(c, "X + X"), 41);
  for (uint32_t i = 0; i < c->ops.count; i++)
    if (!std::strcmp(Cish_op(c, i).s, "X + X")) {
      EXPECT_STREQ(Cish_op(c, i).out, "X");  // only the precedence was taken
      EXPECT_EQ(Cish_op(c, i + 1).prec, 42);
    }
  CishValue v = Cish_eval(c, "2*3+4");  // + is now reduced first: 2*(3+4)
  EXPECT_EQ(v.x, 14);
  CishValue_free(&v);
  // A new pattern brings its new fragments; an empty pattern is ignored.
  Cish_addop(c, CishOp_make("X", "X ** X", 40, nullptr));
  Cish_addop(c, CishOp_make("X", "   ", 1));
  EXPECT_EQ(c->ops.count, before + 1);
  EXPECT_EQ(c->frags.count, fragments + 1);
  EXPECT_STREQ(Cish_frag(c, fragments), "**");
  Cish_clearops(c);
  EXPECT_EQ(c->ops.count, 0u);
  EXPECT_EQ(c->frags.count, fragments + 1);  // fragments stay
  Cish_free(c);
}

TEST(CishRules, LoadopsNumbersRulesInFileOrder) {
  TempDir dir("ordax_cish");
  std::string path = dir / "rules.txt";
  std::string longline = "X :== X " + std::string(170, '~') + " X";
  // Output and pattern cut where a space follows (by their sizes, or by a zero byte): the
  // spaces go, as a saved table reads them.
  std::string cutspace = "AB CD EF GH :== X " + std::string(46, '~') + "  Y\nZ :== Z % " +
                         std::string(1, '\0') + "W :== W";
  writefile(path, "X :== X + X\n# not a rule\nX :==r Xl = X\n  :== Comment\nS:==\n" + longline +
                      "\nS :==R S S\n" + cutspace);
  Cish* c = Cish_new();
  Cish_clearops(c);
  EXPECT_EQ(Cish_loadops(c, path.c_str()), 7);
  EXPECT_STREQ(Cish_op(c, c->ops.count - 2).out, "AB CD EF");
  EXPECT_EQ(std::string(Cish_op(c, c->ops.count - 2).s), "X " + std::string(46, '~'));
  EXPECT_STREQ(Cish_op(c, c->ops.count - 1).s, "Z %");
  EXPECT_EQ(Cish_opgetprec(c, "X + X"), 0);
  EXPECT_EQ(Cish_opgetprec(c, "Xl = X"), 3);
  EXPECT_EQ(Cish_opgetprec(c, "Comment"), 4);
  EXPECT_EQ(Cish_opgetprec(c, "S S"), 9);
  // The long line counts with its first 159 characters, cut again to the pattern's 49.
  bool found = false;
  for (uint32_t i = 0; i < c->ops.count; i++)
    if (Cish_op(c, i).prec == 6) {
      found = true;
      EXPECT_EQ(std::string(Cish_op(c, i).s), ("X " + std::string(170, '~')).substr(0, 49));
    }
  EXPECT_TRUE(found);
  EXPECT_EQ(Cish_loadops(c, (dir / "missing.txt").c_str()), -1);
  Cish_free(c);
}

// A batch of expressions and statements whose values depend on the whole table.
std::vector<std::string> evaluateall(Cish* c) {
  const char* texts[] = {"1+2*3-4/5.0", "2-3-4", "a=b=3", "a-b", "1<2==1", "(1?2:3)+4",
                         "!0+~0", "7%3", "1<<33", "x=0;for(i=0;i<5;i++)x+=i;x", "int(2.5)",
                         "v[2]=7", "v2*2", "-(1+2)-3"};
  std::vector<std::string> out;
  for (const char* t : texts) {
    CishValue v = Cish_eval(c, t);
    out.push_back(CishValue_print(v));
    CishValue_free(&v);
  }
  return out;
}

TEST(CishRules, SavedTableReadsBackWithSameOrderAndBehaviour) {
  TempDir dir("ordax_cish");
  std::string path = dir / "ops.txt";
  Cish* a = Cish_new();
  ASSERT_EQ(Cish_saveops(a, path.c_str()), 0);
  std::string text = readfile(path);
  EXPECT_NE(text.find("X :== X * X\n"), std::string::npos);
  EXPECT_NE(text.find("X :==R Xl = X\n"), std::string::npos);
  EXPECT_NE(text.find(" :== Comment\n"), std::string::npos);
  Cish* b = Cish_new();
  Cish_clearops(b);
  EXPECT_EQ(Cish_loadops(b, path.c_str()), 63);
  ASSERT_EQ(b->ops.count, a->ops.count);
  for (uint32_t i = 0; i < a->ops.count; i++) {
    SCOPED_TRACE(Cish_op(a, i).s);
    EXPECT_STREQ(Cish_op(b, i).s, Cish_op(a, i).s);
    EXPECT_STREQ(Cish_op(b, i).out, Cish_op(a, i).out);
    EXPECT_EQ(Cish_op(b, i).prec & 1, Cish_op(a, i).prec & 1);
    EXPECT_EQ(Cish_op(b, i).prec, 2 * static_cast<int>(i) + (Cish_op(a, i).prec & 1));
  }
  EXPECT_EQ(evaluateall(a), evaluateall(b));
  // Comments are still dropped by the reloaded table.
  CishValue v = Cish_eval(b, "1 /* note */ + 2");
  EXPECT_EQ(CishValue_print(v), "3");
  CishValue_free(&v);
  Cish_free(a);
  Cish_free(b);
}

TEST(CishRules, SaveopsCWritesEveryRuleAsSourceRow) {
  TempDir dir("ordax_cish");
  std::string path = dir / "ops.c";
  Cish* c = Cish_new();
  Cish_addop(c, CishOp_make("S", "say \"X\"", 120));
  ASSERT_EQ(Cish_saveops_C(c, path.c_str()), 0);
  std::string text = readfile(path);
  EXPECT_EQ(text.rfind("void Cish_custom_operators(Cish *c) // Asserts set of user-defined operators\n{\n"
                       "\tstruct {char out[CISH_TLEN],s[CISH_OPLEN]; int prec;} op[]= // Low prec "
                       "evaluated first, odd prec associates from right\n\t{\n",
                       0),
            0u);
  // Read the rows back: one per rule, in table order, the last without a comma.
  std::istringstream lines(text);
  std::string line;
  uint32_t row = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("\t\t{\"", 0) != 0) continue;
    ASSERT_LT(row, c->ops.count);
    const CishOp& o = Cish_op(c, row);
    std::string pattern;
    for (const char* p = o.s; *p; p++) {
      if (*p == '"' || *p == '\\') pattern += '\\';
      pattern += *p;
    }
    std::string expected = "\t\t{\"" + std::string(o.out) + "\",\"" + pattern + "\"," +
                           std::to_string(o.prec) + "}" + (row + 1 < c->ops.count ? "," : "");
    EXPECT_EQ(line, expected);
    row++;
  }
  EXPECT_EQ(row, c->ops.count);
  EXPECT_NE(text.find("Cish_addop(c,o);"), std::string::npos);
  Cish_free(c);
}

TEST(CishRules, DebugDescriptionListsVariablesRulesAndFragments) {
  testsupport::WorkDir dir("ordax_cish");
  Cish* c = Cish_new();
  CishValue one = CishValue_Xn(1), t = CishValue_Text("hi");
  Cish_setvar(c, "a", &one);
  Cish_scopein(c);
  Cish_setvar(c, "b", &t);
  Cish_DEBUG(c, 0);
  Cish_DEBUG(c, 1);
  std::string log = readfile("tech/log.txt");
  EXPECT_NE(log.find("has 2 variables:\n  (0) a=1\n  (1) b=Text 'hi'\n 63 operators:\n"), std::string::npos);
  EXPECT_NE(log.find("  X (50) X + X\n"), std::string::npos);
  EXPECT_NE(log.find(" and 51 operator fragments:\n { } ; , += -= *="), std::string::npos);
  EXPECT_NE(log.find("has 2 variables:\n a=1  b=Text 'hi' \n"), std::string::npos);
  EXPECT_EQ(log.rfind("Cish environment 0x", 0), 0u);
  CishValue_free(&one);
  CishValue_free(&t);
  Cish_free(c);
}

}  // namespace
