#include "language/parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/debuglog.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/text.h"
#include "base/report.h"
#include "base/version.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

using Captured = testsupport::Messages;

// Every gene the lattice asks for and the genome lacks gets this raw value.
struct FixedGnull {
  GnullFunction saved = gnull;
  explicit FixedGnull(GnullFunction f) { gnull = f; }
  ~FixedGnull() { gnull = saved; }
};
int32_t raw500(const char*, const Genome*) {
  return 500;
}

struct LimitsGuard {
  ParserLimits saved = parserlimits;
  ~LimitsGuard() { parserlimits = saved; }
};

struct CellFree {
  void operator()(Cell* c) const { Cell_freeref(c, 0); }
};
using CellPtr = std::unique_ptr<Cell, CellFree>;

CellPtr parse(const std::string& text, Genome* g = nullptr, Cell** parameters = nullptr) {
  return CellPtr(machinecell(text.c_str(), g, "test", 0, parameters));
}

// A parser on its own, for statements and the identity of the cells they give.
struct TestParser {
  Parser* p = Parser_new();
  Genome g = Genome_new();
  TestParser() { p->genome = &g; }
  ~TestParser() {
    Parser_free(p);
    Genome_free(g);
  }
  Cell* operator()(const char* statement, char lookuponly = 0) {
    return parsecellformula(p, statement, lookuponly);
  }
};

std::vector<std::string> childnames(const Cell* c) {
  std::vector<std::string> v;
  for (int i = 0; i < c->n; i++) v.push_back(c->children[i]->name);
  return v;
}
using Names = std::vector<std::string>;

// Attributes by lower-cased name: a number, or a text marked with a leading '\''.
std::map<std::string, std::string> attributes(const Cell* c) {
  std::map<std::string, std::string> m;
  for (uint32_t i = 0; i < c->attributes.count; i++) {
    const Attribute& a = LSet_at<Attribute>(c->attributes, i);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.12g", a.value);
    std::string name = a.name;
    for (char& ch : name) ch = (char)lc((unsigned char)ch);
    m[name] = a.type == AttributeType::Text ? "'" + std::string(a.text) : buf;
  }
  return m;
}

void expectsametree(const Cell* a, const Cell* b) {
  ASSERT_EQ(a->t, b->t) << a->name;
  EXPECT_EQ(strnullcmpi(a->name, b->name), 0) << a->name << " / " << b->name;
  if (a->t == Composite) {
    ASSERT_EQ(a->n, b->n) << a->name;
    for (int i = 0; i < a->n; i++) expectsametree(a->children[i], b->children[i]);
    return;
  }
  EXPECT_STREQ(a->type_name, b->type_name);
  EXPECT_EQ(attributes(a), attributes(b)) << a->name;
  EXPECT_NEAR(a->length, b->length, 1e-13 * std::fabs(a->length));  // printed with 15 digits
  EXPECT_NEAR(a->angle, b->angle, 1e-13 * std::fabs(a->angle));
}

using testsupport::readfile;

const char* const kExample =
    "!MINVER 4.4\n{Solenoid Radius Field(T) Length(m)}\nS1 0.2 [1,4] 0.5\n{Drift Length(m)}\n"
    "D1 0.3\nline: S1,D1,S1;\n#// a comment in code\n";

// ---------------------------------------------------------------- statements

TEST(ParserStandardForm, KeepsOnlyBlanksThatSeparateValues) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a , b", "a,b"},
      {"line : a , b ;", "line:a,b"},
      {"( a , b )", "(a,b)"},
      {"S1 -2", "S1 -2"},
      {"S1 0.2 [1,4] 0.5", "S1 0.2 [1,4] 0.5"},
      {"S1 0.2 [ 1 , 4 ] 0.5", "S1 0.2 [1,4] 0.5"},
      {"S1 .5 +3 'a b' \"c\"", "S1 .5 +3 'a b' \"c\""},
      {"\tS1\t1\n", "S1 1"},
      {"a  \t b", "a b"},
      {"x = 5;;;", "x=5"},
      {"a \\\n b", "a b"},
      {"a\\\nb", "a\nb"},
      {"A \xB0", "A \xB0"},
      {"A \xC2\xB0", "A \xC2\xB0"},
      {"S1 (x)", "S1(x)"},
      {"{Solenoid Radius Field(T) Length(m)}", "{Solenoid Radius Field(T)Length(m)}"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(parser_standardform(c.in), c.out);
  }
}

TEST(ParserStatements, LinesFormatsAndListsEndWhereTheyShould) {
  Captured cap;
  FixedGnull fixed(raw500);
  Genome g = Genome_new();
  CellPtr m = parse(
      "{Solenoid\n  Radius Field Length}\nS1 1 [1,\n 4] 3\nS2 1 \\\n 2 3\n{Drift Length}\nD1 0.5\n"
      "line: S1,\n  D1,\n  S2;\n",
      &g);
  EXPECT_TRUE(cap.all.empty()) << cap.all[0];
  ASSERT_TRUE(m);
  EXPECT_EQ(childnames(m.get()), (Names{"S1", "D1", "S2"}));
  EXPECT_DOUBLE_EQ(Cell_attrib(m->children[0], "Field", 0), 1 + 3 * 500.0 / 999);
  EXPECT_EQ(Cell_attrib(m->children[0], "Length", 0), 3);
  EXPECT_EQ(Cell_attrib(m->children[2], "Field", 0), 2);
  EXPECT_STREQ(m->children[1]->type_name, "Drift");
  Genome_free(g);
}

TEST(ParserQuantities, NumberAndUnitMustTouch) {
  Captured cap;
  CellPtr m = parse(
      "{Solenoid Radius(m) Field(T) Length(m)}\nS1 0.5 m 2\nS2 5mm 2kGauss 10cm\n"
      "{Drift Length(mm)}\nD1 5\nline: S1,S2,D1;\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(Cell_attrib(m->children[0], "Radius", 0), 0.5);
  EXPECT_STREQ(Cell_stringattrib(m->children[0], "Field"), "m");  // the unit became a value
  EXPECT_EQ(Cell_attrib(m->children[0], "Length", 0), 2);
  EXPECT_DOUBLE_EQ(Cell_attrib(m->children[1], "Radius", 0), 0.005);
  EXPECT_DOUBLE_EQ(Cell_attrib(m->children[1], "Field", 0), 0.2);
  EXPECT_DOUBLE_EQ(m->children[1]->length, 0.1);
  EXPECT_DOUBLE_EQ(m->children[2]->length, 0.005);
}

// ---------------------------------------------------------------- lists, mirrors, repetition

TEST(ParserLists, RepeatedCellsAreCopiedExceptAtTheirLastPlace) {
  Captured cap;
  TestParser t;
  t("{Drift Length}");
  Cell* a = t("a 1");
  Cell* b = t("b 2");
  Cell* line = t("line : a , b , a");
  ASSERT_TRUE(line && line->t == Composite);
  EXPECT_STREQ(line->name, "line");
  EXPECT_EQ(childnames(line), (Names{"a", "b", "a"}));
  EXPECT_EQ(line->children[2], a);
  EXPECT_EQ(line->children[1], b);
  EXPECT_NE(line->children[0], a);
  EXPECT_EQ(Cell_attrib(line->children[0], "Length", 0), 1);
  EXPECT_GE(Parser_lookupcellindex(t.p, "a"), 0);  // the copy is the parser's too
  EXPECT_EQ(Parser_lookupcell(t.p, "a"), line->children[0]);

  Cell* rep = t("3*(a,b)");
  ASSERT_TRUE(rep);
  EXPECT_EQ(childnames(rep), (Names{"a", "b", "a", "b", "a", "b"}));
  Cell* semicolon = t("x;y");  // a ';' and no comma: an empty list
  ASSERT_TRUE(semicolon);
  EXPECT_EQ(semicolon->t, Composite);
  EXPECT_EQ(semicolon->n, 0);
  Cell* nested = t("outer: b,line");  // lists are flat; b then occurs twice
  EXPECT_EQ(childnames(nested), (Names{"b", "a", "b", "a"}));
  EXPECT_NE(nested->children[0], nested->children[2]);
  EXPECT_TRUE(cap.all.empty());
}

TEST(ParserMirrors, MirrorsNegateBendsAndMapChildrenByName) {
  Captured cap;
  TestParser t;
  t("{Drift Length Angle Xhere}");
  Cell* a = t("a 1 0.1 0.01");
  Cell* b = t("b 1 0.2");
  Cell* flat = t("flat 1 0");
  t("{Drift Length}");
  Cell* gap = t("gap 1");
  t("{Solenoid Radius Field Length}");
  Cell* sol = t("sol 1 2 3");

  EXPECT_EQ(t("~flat"), flat);  // an "angle" of 0
  EXPECT_EQ(t("~gap"), gap);    // a drift without an angle
  Cell* ma = t("~a");
  ASSERT_TRUE(ma && ma != a);
  EXPECT_STREQ(ma->name, "~a");
  EXPECT_STREQ(ma->type_name, "Drift");
  EXPECT_DOUBLE_EQ(ma->angle, -0.1);
  EXPECT_DOUBLE_EQ(Cell_attrib(ma, "Xhere", 0), -0.01);
  EXPECT_EQ(ma->length, 1);
  Cell* msol = t("~sol");  // no angle and no drift: mirrored all the same
  ASSERT_TRUE(msol && msol != sol);
  EXPECT_EQ(Cell_attrib(msol, "Field", 0), 2);

  Cell* c = t("c: a,~b,gap");
  ASSERT_TRUE(c);
  EXPECT_EQ(childnames(c), (Names{"a", "~b", "gap"}));
  Cell* mc = t("~c");
  ASSERT_TRUE(mc);
  EXPECT_EQ(childnames(mc), (Names{"~a", "b", "gap"}));
  EXPECT_EQ(mc->children[0], ma);  // made once, found again by name
  EXPECT_EQ(mc->children[1], b);
  Cell* back = t("~~c");
  ASSERT_TRUE(back);
  for (int i = 0; i < 3; i++) EXPECT_EQ(back->children[i], c->children[i]);
  Cell* rc = t("-c");
  EXPECT_EQ(childnames(rc), (Names{"gap", "~b", "a"}));
  EXPECT_EQ(t("-a"), a);
  EXPECT_TRUE(cap.all.empty());
}

TEST(ParserNameRules, ElementsWithoutFormatTakeTheirTypeFromTheName) {
  const double twist = 1.5707963267948966;
  const struct {
    const char* statement;
    const char* type;
    double field;  // NAN: absent
    bool twisted;
  } cases[] = {
      {"QD1 1 2", "Quadrupole", -2, false},     {"QF1 1 2", "Quadrupole", 2, false},
      {"VBD1 1 2", "SectorBend", -2, true},     {"VBF1 1 2", "SectorBend", 2, true},
      {"HBD1 1 2", "SectorBend", -2, false},    {"VBDR1 1 2", "RectangularBend", -2, true},
      {"DR1 1 2", "Drift", NAN, false},         {"OQD1 1", "Drift", NAN, false},
      {"SKSE1 1 2", "Sextupole", 2, false},     {"SEXT1 1 2", "Sextupole", 2, false},
      {"XSKO1 1 2", "Octupole", 2, false},      {"SMP1 1 2", "Multipole", 2, false},
      {"FIT1 1 2", "FitPoint", NAN, false},     {"XSOL1 1 2 3", "Solenoid", 2, false},
      {"X1 1 2", "Unknown", 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statement);
    TestParser t;
    Cell* e = t(c.statement);
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->type_name, c.type);
    if (std::isnan(c.field)) EXPECT_FALSE(Cell_hasattrib(e, "Field"));
    else EXPECT_EQ(Cell_attrib(e, "Field", 0), c.field);
    EXPECT_EQ(Cell_attrib(e, "Twist", 0), c.twisted ? twist : 0);
    EXPECT_EQ(t.p->format.n(), 0);  // a format from the name is not kept
  }
  TestParser t;
  t("{Drift Length}");
  Cell* q = t("QD5 1 2");  // an explicit format wins and stays
  EXPECT_STREQ(q->type_name, "Drift");
  EXPECT_EQ(q->length, 1);
  EXPECT_STREQ(t("QF6 3")->type_name, "Drift");
}

TEST(ParserAutoFormat, PrefixChoosesTheFormatWhichThenStaysCurrent) {
  Captured cap;
  TestParser t;
  t("{Solenoid(S) Radius Field(T) Length(cm)}");
  t("{Drift Length}");
  Cell* s1 = t("s1 1 2 30");
  EXPECT_STREQ(s1->type_name, "Solenoid");
  EXPECT_DOUBLE_EQ(s1->length, 0.3);
  EXPECT_STREQ(t("X1 1 2 3")->type_name, "Solenoid");
  t("{Drift(S) Length}");
  EXPECT_STREQ(t("S2 1")->type_name, "Drift");  // the last auto-format wins
  ParserFormat f = ParserFormat_new("Quad Length");
  EXPECT_EQ(Parser_getautoformat(t.p, "T1", &f), 0);
  EXPECT_EQ(f.names[0], "Quad");
  EXPECT_EQ(ParserFormat_text(ParserFormat_new("Solenoid (S) Radius/m Field(T)Length( ) *")),
            "Solenoid(S) Radius(m) Field(T) Length");
}

// ---------------------------------------------------------------- genes and values

TEST(ParserGeneNames, ShortestPrefixNoOtherFieldShares) {
  ParserFormat sol = ParserFormat_new("Solenoid Radius Field Length");
  ParserFormat quad = ParserFormat_new("Quadrupole Length Field Angle Boundary Fringe");
  ParserFormat shortfield = ParserFormat_new("X F Field Fo");
  ParserFormat cased = ParserFormat_new("X field Fringe");
  const struct {
    const ParserFormat* format;
    const char* field;
    const char* gene;
  } cases[] = {
      {&sol, "Field", "S1F"},    {&sol, "Radius", "S1R"},     {&sol, "Length", "S1L"},
      {&quad, "Field", "S1Fi"},  {&quad, "Fringe", "S1Fr"},   {&quad, "Angle", "S1A"},
      {&quad, "Boundary", "S1B"}, {&quad, "Value", "S1"},     {&sol, "Gap", "S1Gap"},
      {&shortfield, "Field", "S1Field"},  // "F" begins every prefix of it
      {&shortfield, "Fo", "S1Fo"},        {&shortfield, "F", "S1F"},
      {&cased, "field", "S1f"},           {&cased, "Fringe", "S1F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(getgenename("S1", c.field, *c.format), c.gene);
  }
  EXPECT_EQ(getcvarname("S1", "Field"), "S1.Field");
  EXPECT_EQ(getcvarname("x", "value"), "x");
}

TEST(ParserParameters, RawValuesMapOntoTheRangeEnds) {
  Captured cap;
  const char* lattice =
      "{Solenoid Radius Field(kGauss) Length}\nS1 [1mm,2mm] [10,20] 1\nx=[2,3]\nline: S1;\n";
  for (int raw : {0, 999, 250}) {
    SCOPED_TRACE(raw);
    Genome g = Genome_new();
    gassign(&g, "s1f", raw);
    gassign(&g, "s1r", raw);
    gassign(&g, "x", raw);
    Cell* params = nullptr;
    CellPtr m = parse(lattice, &g, &params);
    ASSERT_TRUE(m && params);
    double r = raw / 999.0L;
    EXPECT_EQ(Cell_attrib(m->children[0], "Field", 0), (double)(1 + (2.0L - 1) * r));
    EXPECT_EQ(Cell_attrib(m->children[0], "Radius", 0), (double)(0.001 + (0.002L - 0.001) * r));
    EXPECT_EQ(Cell_attrib(params, "x", 0), (double)(2 + (3.0L - 2) * r));
    EXPECT_EQ(g.count, 3);  // nothing added
    Cell_freeref(params, 0);
    Genome_free(g);
  }
  FixedGnull fixed([](const char*, const Genome*) -> int32_t { return 5000; });  // clamped
  Genome g = Genome_new();
  CellPtr m = parse(lattice, &g);
  ASSERT_TRUE(m);
  EXPECT_EQ(Genome_string(g), "s1r=999;s1f=999;x=999;");
  EXPECT_EQ(Cell_attrib(m->children[0], "Field", 0), 2);
  Genome_free(g);
}

TEST(ParserParameters, ParametersCellHoldsEveryParameterValue) {
  Captured cap;
  Genome g = Genome_new();
  gassign(&g, "z", 999);
  Cell* params = nullptr;
  CellPtr m = parse("x=5\ny='a b'\nt=40ns\nz=[0,1]\n{Parameter Value}\nw\nx=6\n{Drift Length}\nD1 1\n",
                    &g, &params);
  ASSERT_TRUE(m && params);
  EXPECT_STREQ(params->name, "ParametersCell");
  EXPECT_STREQ(params->type_name, "Parameters");
  EXPECT_EQ(attributes(params), (std::map<std::string, std::string>{
                                    {"x", "6"}, {"y", "'a b"}, {"t", "4e-08"}, {"z", "1"}}));
  EXPECT_EQ(cap.all, (Names{"[WARNING] Element 'x' overwritten"}));
  Cell_freeref(params, 0);
  Genome_free(g);
}

// ---------------------------------------------------------------- the machine

TEST(ParserExampleLattice, GivesTheLineWithTheGeneFromTheGenome) {
  Captured cap;
  Genome g = Genome_new();
  gassign(&g, "S1F", 333);
  Cell* params = nullptr;
  CellPtr m(machinecell(kExample, &g, "example", 1, &params));
  ASSERT_TRUE(m);
  EXPECT_EQ(cap.all, (Names{"Interpreting lattice file 'example'...",
                                 "Beamline consists of 3 units, genome of 1 parameters"}));
  EXPECT_EQ(cap.updates, (Names{"Interpreting lattice file 'example'... Done"}));
  EXPECT_EQ(m->t, Composite);
  EXPECT_STREQ(m->name, "example");
  EXPECT_EQ(childnames(m.get()), (Names{"S1", "D1", "S1"}));
  for (int i : {0, 2}) {
    const Cell* s = m->children[i];
    EXPECT_STREQ(s->type_name, "Solenoid");
    EXPECT_EQ(attributes(s), (std::map<std::string, std::string>{
                                 {"radius", "0.2"}, {"field", "2"}, {"length", "0.5"}}));
  }
  EXPECT_STREQ(m->children[1]->type_name, "Drift");
  EXPECT_EQ(m->children[1]->length, 0.3);
  EXPECT_EQ(Genome_string(g), "s1f=333;");
  EXPECT_EQ(params->attributes.count, 0u);
  Cell_freeref(params, 0);
  Genome_free(g);
}

TEST(ParserMachine, LastCellYieldingStatementBecomesTheMachine) {
  Captured cap;
  CellPtr named = parse("{Drift Length}\na 1\nb 2\nline: a,b;\na\n");
  ASSERT_TRUE(named);
  EXPECT_STREQ(named->name, "test");  // a component is wrapped
  EXPECT_EQ(childnames(named.get()), (Names{"a"}));
  CellPtr beforeformat = parse("{Drift Length}\na 1\n{Solenoid Radius}\n");  // a format yields none
  ASSERT_TRUE(beforeformat);
  EXPECT_EQ(childnames(beforeformat.get()), (Names{"a"}));
  TestParser t;
  t("{Drift Length}");
  Cell* a = t("a 1");
  EXPECT_EQ(t("b: a"), a);  // the body names one cell: that cell is renamed
  EXPECT_STREQ(a->name, "b");
  EXPECT_EQ(Parser_lookupcell(t.p, "a"), nullptr);
  EXPECT_EQ(Parser_lookupcell(t.p, "B"), a);
  Cell* empty = t("e:");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->t, Composite);
  EXPECT_EQ(empty->n, 0);
}

TEST(ParserMachine, ReusedCompositeNameWarnsNothingAndFindsTheLatestCell) {
  const struct {
    const char* lattice;
    Names children;
    std::vector<double> lengths;
  } cases[] = {
      // "b: a" renames a; b 2 is later in the list, so "b" finds it.
      {"a 1\nb 2\nb: a;\nb\n", {"b"}, {2}},
      {"a 1\nb 2\nb: a;\n", {"b"}, {1}},
      // A composite extended under its own name.
      {"a 1\nb 2\nch: a,b;\nch: ch,a;\nch\n", {"a", "b", "a"}, {1, 2, 1}},
      {"a 1\nch: a;\nch: ;\nch\n", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lattice);
    Captured cap;
    CellPtr m = parse(std::string("{Drift Length}\n") + c.lattice);
    ASSERT_TRUE(m);
    EXPECT_EQ(cap.all, Names{});
    EXPECT_EQ(childnames(m.get()), c.children);
    std::vector<double> lengths;
    for (int i = 0; i < m->n; i++) lengths.push_back(Cell_attrib(m->children[i], "Length", -1));
    EXPECT_EQ(lengths, c.lengths);
  }
}

TEST(ParserCish, CodeGeneratesElementsAndReadsAndWritesTheirValues) {
  Captured cap;
  CellPtr m = parse(
      "{Drift(D) Length}\nD1 2\nD2 #D1.Length*3#\n#D1.Length = 7;#\n"
      "#for (i = 3; i <= 5; i = i + 1) {#\nD#i# #i#\n#}#\nline: D1,D2#for(i=3;i<=5;i=i+1){#,D#i##}#;\n");
  ASSERT_TRUE(m);
  EXPECT_TRUE(cap.all.empty()) << cap.all[0];
  EXPECT_EQ(childnames(m.get()), (Names{"D1", "D2", "D3", "D4", "D5"}));
  std::vector<double> lengths;
  for (int i = 0; i < m->n; i++) lengths.push_back(m->children[i]->length);
  EXPECT_EQ(lengths, (std::vector<double>{7, 6, 3, 4, 5}));
}

TEST(ParserCish, ChannelLatticeFieldsFollowTheTaper) {
  Captured cap;
  Genome g = Genome_new();
  gassign(&g, "taper", 0);    // 0.5
  gassign(&g, "s0f", 999);    // 5 T
  gassign(&g, "dgapl", 0);    // 5 cm
  CellPtr m;
  {
    testsupport::CwdGuard cwd(ORDAX_SOURCE_DIR);
    m.reset(machinecellfromfile("_channel", &g, 0, nullptr));
  }
  ASSERT_TRUE(m);
  ASSERT_EQ(m->n, 42);
  for (int i = 1; i <= 20; i++) {
    SCOPED_TRACE(i);
    const Cell* s = m->children[2 * i];
    EXPECT_EQ(std::string(s->name), "S" + std::to_string(i));
    double expected = (i % 2 ? -1 : 1) * 5 * (1 - 0.5 * i / 20);
    EXPECT_NEAR(Cell_attrib(s, "Field", 0), expected, 1e-12);
    EXPECT_DOUBLE_EQ(m->children[2 * i - 1]->length, 0.05);
  }
  EXPECT_EQ(g.count, 3);
  Genome_free(g);
}

TEST(ParserMachine, AlignmentErrorsAreAppliedToTheResult) {
  Captured cap;
  srand15(7);
  CellPtr m = parse("{Solenoid Radius Field Length ErrorField}\nS1 1 2 3 0.1\nline: S1;\n");
  ASSERT_TRUE(m);
  double field = Cell_attrib(m->children[0], "Field", 0);
  EXPECT_NE(field, 2);
  EXPECT_LT(std::fabs(field - 2), 1);
}

// ---------------------------------------------------------------- round trip

CellPtr roundtrip(Cell* tree) {
  std::string printed = Cell_print(tree, 0, 0);
  Captured cap;
  CellPtr again = parse(printed);
  for (const std::string& m : cap.all)
    EXPECT_NE(m.find("overwritten"), std::string::npos) << m << "\n" << printed;
  return again;
}

TEST(ParserRoundTrip, PrintedLatticeFormParsesBackToAnEqualTree) {
  const char* lattices[] = {
      kExample,
      "QD1 1 2\nVBD1 1 2 3\nDR1 4\n{Solenoid(S) Radius(mm) Field(T) Length(cm)}\nS1 3 [1,2] 5\n"
      "S2 4 -2 'coil'\nline: S1,QD1,2*(S2,DR1),VBD1,S1;\n",
  };
  for (const char* text : lattices) {
    SCOPED_TRACE(text);
    Captured cap;
    FixedGnull fixed(raw500);
    CellPtr first = parse(text);
    ASSERT_TRUE(first);
    CellPtr again = roundtrip(first.get());
    ASSERT_TRUE(again);
    expectsametree(first.get(), again.get());
  }
}

TEST(ParserRoundTrip, RandomLatticesRoundTrip) {
  const char* fields[] = {"Length", "Field", "Radius", "Gap", "Fringe", "Phase"};
  for (uint32_t seed = 1; seed <= 40; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&rng](int n) { return (int)(rng() % (uint32_t)n); };
    std::string text;
    std::vector<std::string> items;
    int elements = 0;
    for (int k = 0; k < 8; k++) {
      text += "{Type" + std::to_string(pick(3));
      int nf = 1 + pick(4), first = pick(6);
      for (int f = 0; f < nf; f++) text += std::string(" ") + fields[(first + f) % 6];
      text += "}\n";
      for (int e = 0; e < 1 + pick(3); e++) {
        std::string name = "E" + std::to_string(elements++);
        text += name;
        for (int f = 0; f < nf; f++) {
          int kind = pick(4);
          char v[64];
          if (kind == 0) std::snprintf(v, sizeof v, " [%d,%d]", pick(10), 10 + pick(10));
          else if (kind == 1) std::snprintf(v, sizeof v, " 'w%d'", pick(100));
          else std::snprintf(v, sizeof v, " %.6g", (pick(2000) - 1000) / 7.0);
          text += v;
        }
        text += "\n";
        items.push_back(name);
      }
    }
    for (int l = 0; l < 3; l++) {
      std::string name = "L" + std::to_string(l), body;
      for (int i = 0; i < 2 + pick(5); i++) {
        const std::string& item = items[(size_t)pick((int)items.size())];
        body += (i ? "," : "") + (pick(4) == 0 ? std::to_string(1 + pick(3)) + "*" + item : item);
      }
      text += name + ": " + body + ";\n";
      items.push_back(name);
    }
    Captured cap;
    CellPtr first = parse(text);
    ASSERT_TRUE(first) << text;
    EXPECT_TRUE(cap.all.empty()) << cap.all[0];
    CellPtr again = roundtrip(first.get());
    ASSERT_TRUE(again);
    expectsametree(first.get(), again.get());
  }
}

// ---------------------------------------------------------------- reported failures

TEST(ParserFailures, EveryMessageIsReportedAsWritten) {
  const char* nomachine =
      "[FATAL] parser.machine is still NULL due to lattice file error.\nThis was probably caused "
      "by not specifying the entire lattice cell at the end of the file.";
  const struct {
    const char* lattice;
    bool machine;
    Names messages;
  } cases[] = {
      {"!MINVER 5\n{Drift Length}\nD1 1\n!BOGUS\n", false,
       {"Lattice needs Ordax version 5 or higher (you are using 4.47)"}},
      {"!MINVER 4.471\nD1 1\n", false,
       {"Lattice needs Ordax version 4.471 or higher (you are using 4.47)"}},
      {"!MINVER 4\n!minver 4.47\nD1 1\n", true, {}},
      {"!FOO-1 2\nD1 1\n", true, {"[FATAL] Unknown control command !FOO-1"}},
      {"D1 1\na+b 1\n", true, {"Cannot parse the following expression...\na+b 1\n[FATAL]"}},
      {"D1 1\nline: D1 , Q9,D1;\n", true,
       {"[WARNING] Unknown element 'Q9' in comma separated list\nD1,Q9,D1",
        "Cannot parse the following expression...\nQ9\n[FATAL]"}},
      // Every unknown name of a list is named before the first fatal report.
      {"D1 1\nline: x,(D1,y),2*z;\n", true,
       {"[WARNING] Unknown element 'x' in comma separated list\nx,(D1,y),2*z",
        "[WARNING] Unknown element 'y' in comma separated list\nD1,y",
        "[WARNING] Unknown element '2*z' in comma separated list\nx,(D1,y),2*z",
        "Cannot parse the following expression...\nx\n[FATAL]",
        "Cannot parse the following expression...\ny\n[FATAL]",
        "Cannot parse the following expression...\nz\n[FATAL]"}},
      {"D1 1\nline: D1,D1,;\n", true, {"[WARNING] Comma-separated list ends with empty item"}},
      {"D1 1\nD1 2\n", true, {"[WARNING] Element 'D1' overwritten"}},
      {"D1 1\nline: D1,\tD1\n\n", true,
       {"[WARNING] The following parsing element was unfinished and could be ignored.\n"
        "line: D1, D1"}},
      {"D1 1 [1,4\n", true,
       {"[WARNING] The following parsing element was unfinished and could be ignored.\n"
        "D1 1 [1,4"}},
      {"{Drift Length}\n", false, {nomachine}},
      {"", false, {nomachine}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lattice);
    Captured cap;
    FixedGnull fixed(raw500);
    CellPtr m = parse(c.lattice);
    EXPECT_EQ((bool)m, c.machine);
    EXPECT_EQ(cap.all, c.messages);
  }
  Captured cap;
  CellPtr after = parse("D1 1\n");  // the version failure does not outlive its parse
  EXPECT_TRUE(after);
  EXPECT_EQ(parsetextstream("a 1\n"), 0);
  Cell* params = reinterpret_cast<Cell*>(1);
  EXPECT_EQ(machinecellfromfile("_no_such_lattice", nullptr, 0, &params), nullptr);
  EXPECT_EQ(params, nullptr);
  EXPECT_EQ(cap.all, (Names{"[FATAL] No parser set in parsetextstream",
                                 "[FATAL] Machine lattice file lattices/_no_such_lattice.txt not found"}));
}

TEST(ParserFailures, LongTextsAreShownCut) {
  Captured cap;
  std::string list = "line: ";
  for (int i = 0; i < 40; i++) list += "D1,";
  list += "Zz";
  for (int i = 0; i < 40; i++) list += ",D1";
  CellPtr m = parse("D1 1\n" + list + ";\n" + list);
  ASSERT_TRUE(m);
  ASSERT_GE(cap.all.size(), 4u);
  const std::string& unknown = cap.all[0];
  std::string head = "[WARNING] Unknown element 'Zz' in comma separated list\n";
  ASSERT_EQ(unknown.compare(0, head.size(), head), 0) << unknown;
  std::string context = unknown.substr(head.size());
  ASSERT_EQ(context.size(), 66u);
  EXPECT_EQ(context.substr(0, 3), "...");
  EXPECT_EQ(context.substr(63), "...");
  EXPECT_NE(list.find(context.substr(3, 60)), std::string::npos);
  EXPECT_NE(context.find("Zz"), std::string::npos);
  const std::string& unfinished = cap.all[2];
  EXPECT_EQ(unfinished.size(), 149u);
  EXPECT_EQ(unfinished.substr(0, 86),
            "[WARNING] The following parsing element was unfinished and could be ignored.\nline: "
            "D1,");
  EXPECT_EQ(unfinished.substr(146), "...");
}

// ---------------------------------------------------------------- hostile input

TEST(ParserBounds, HostileLatticesEndWithAFatalMessageAndNoMachine) {
  LimitsGuard guard;
  parserlimits.cishiterations = 20000;
  parserlimits.maxcells = 1000;
  std::string deep = "D1 1\nline: " + std::string(10000, '(') + "D1" + std::string(10000, ')') + ";\n";
  std::string ones = "D1 1\nline: ";
  for (int i = 0; i < 600; i++) ones += "D1,D1,";
  const struct {
    std::string lattice;
    std::string message;
  } cases[] = {
      {deep, "[FATAL] Lattice 'test' has a statement nested more than 200 levels deep; parsing stopped"},
      {"D1 1\n" + std::string(5000, '~') + "D1\n",
       "[FATAL] Lattice 'test' has a statement nested more than 200 levels deep; parsing stopped"},
      {"D1 1\nline: 100000000000*D1;\n", "[FATAL] Lattice 'test' makes more than 1000 cells; parsing stopped"},
      {"D1 1\nline: 4611686018427387904*(D1,D1,D1,D1);\n",  // 2^62 × 4 wraps to 0 in 64 bits
       "[FATAL] Lattice 'test' makes more than 1000 cells; parsing stopped"},
      {ones + "D1;\n", "[FATAL] Lattice 'test' makes more than 1000 cells; parsing stopped"},
      {"D1 1\n#while (1);#\nD1\n",
       "[FATAL] Lattice 'test' ran more than 20000 loop iterations; execution stopped (endless loop?)"},
      {"D1 1\n#for (i = 0; 1; i = i + 1) {#\nD1\n#}#\n",
       "[FATAL] Lattice 'test' ran more than 20000 loop iterations; execution stopped (endless loop?)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lattice.substr(0, 60));
    Captured cap;
    EXPECT_FALSE(parse(c.lattice));
    ASSERT_FALSE(cap.all.empty());
    EXPECT_EQ(cap.all.back(), c.message);
  }
}

TEST(ParserBounds, BrokenTextNeverCrashes) {
  LimitsGuard guard;
  parserlimits.cishiterations = 20000;
  parserlimits.cishoutput = 1 << 20;
  parserlimits.maxcells = 5000;
  std::vector<std::string> cases = {
      "D1 1\n#/* never closed\nD2 2\n", "S1 'never closed\n", "D1 1\nline: (D1,(D1;\n",
      "{Solenoid Radius\nS1 1\n", "D1 1\n#\"never closed\n", std::string(1 << 20, 'a'),
      std::string(1 << 20, '('), std::string(1 << 20, '['), "D1 1\n" + std::string(1 << 17, ','),
      std::string(10000, '{') + std::string(10000, '}'), std::string(1 << 17, '#')};
  std::string longline = "D1 1\nline: ";
  for (int i = 0; i < 100000; i++) longline += "D1,~D1,-(D1),";
  cases.push_back(longline);
  const std::string alphabet = "aDSQ1 0.5[],;:*~-(){}#!=\n'\"\\\t/x\xB0";
  std::mt19937 rng(12345);
  for (int k = 0; k < 300; k++) {
    std::string text;
    size_t n = rng() % 400;
    for (size_t i = 0; i < n; i++)
      text += k % 3 ? alphabet[rng() % alphabet.size()] : (char)(1 + rng() % 255);
    cases.push_back(text);
  }
  for (const std::string& text : cases) {
    SCOPED_TRACE("seed 12345, text " + text.substr(0, 40));
    Captured cap;
    CellPtr m = parse(text);
    if (m) {
      EXPECT_EQ(m->t, Composite);
      EXPECT_STREQ(m->name, "test");
    }
  }
  parserlimits.cishoutput = 0;
  Captured cap;
  CellPtr whole = parse(std::string(1 << 20, 'a') + "\n");
  ASSERT_TRUE(whole);
  EXPECT_EQ(strlen(whole->children[0]->name), 1u << 20);
}

// ---------------------------------------------------------------- logs and files

TEST(ParserLogs, ParseSwitchWritesTheParseAndStreamLogs) {
  testsupport::WorkDir scratch("ordax_parser");
  { std::ofstream("parser.parsetextstream.log") << "old junk"; }
  parseoptions.debuglogs = true;
  Captured cap;
  CellPtr m = parse(kExample);
  parseoptions = ParseOptions{};
  ASSERT_TRUE(m);
  std::string log = readfile("PARSEreport.log"), stream = readfile("parser.parsetextstream.log");
  for (const char* part :
       {"'S1 0.2 [1,4] 0.5\n'\nStandard form: 'S1 0.2 [1,4] 0.5'\n",
        "Parse format {Solenoid Radius Field(T) Length(m)}\n",
        "Element S1 is of type Solenoid: Radius=0.2 Field=", "Length=0.5 \n",
        "Parsing comma-separated list 'S1,D1,S1'\n{\n", "}\nFinshed composite element 'line'\n",
        "4 cells created including intermediates: S1 D1 S1 test ",
        "\nBeamline: S1 D1 S1 "}) {
    EXPECT_NE(log.find(part), std::string::npos) << part << "\n--- log:\n" << log;
  }
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ((unsigned char)stream[0], 0x95);
  EXPECT_EQ(stream.find("old junk"), std::string::npos);
  EXPECT_NE(stream.find("!MINVER 4.4\n{Solenoid"), std::string::npos);
}

// Deeply nested code makes the tree log grow with the square of the depth: under -parse every
// debug log stops at its limit with one closing line, and the parse itself is unchanged.
TEST(ParserLogs, DebugLogsStopAtTheirLimit) {
  testsupport::WorkDir scratch("ordax_parser");
  const uint64_t saved = debuglog_maxbytes;
  debuglog_maxbytes = 20000;
  parseoptions.debuglogs = true;
  const std::string depth(150, '('), back(150, ')');
  std::string lattice = "{Drift(D) Length(cm)}\n";
  for (int i = 0; i < 40; i++)
    lattice += "D" + std::to_string(i) + " #" + depth + std::to_string(i) + back + "#\n";
  lattice += "line: D0,D39;\n";
  Captured cap;
  CellPtr m = parse(lattice);
  parseoptions = ParseOptions{};
  debuglog_maxbytes = saved;
  ASSERT_TRUE(m);
  ASSERT_EQ(m->n, 2);
  EXPECT_DOUBLE_EQ(Cell_attrib(m->children[1], "Length", 0), 0.39);
  const std::string cut = "*** Log cut here: it reached its limit of 20000 bytes ***\n";
  for (const char* name : {"PARSEreport.log", "parser.parsetextstream.log", "cishtokenout.log",
                           "cishtreeout.log"}) {
    SCOPED_TRACE(name);
    const std::string log = readfile(name);
    EXPECT_LE(log.size(), 20001 + cut.size());
    if (log.size() > 20000) {
      EXPECT_EQ(log.substr(log.size() - cut.size()), cut);
    }
  }
  EXPECT_GT(readfile("cishtreeout.log").size(), 20000u);  // the tree log did reach its limit
}

TEST(ParserLattices, EveryBundledLatticeParsesWithoutMessages) {
  EXPECT_FLOAT_EQ(PARSER_PROGRAMVERSION, (float)std::atof(ORDAX_VERSION + 1));
  testsupport::CwdGuard cwd(ORDAX_SOURCE_DIR);
  int count = 0;
  for (const PlatformDirEntry& e : platform_listdir("lattices")) {
    std::string name = e.name;
    if (e.isdir || name.size() < 5 || name.substr(name.size() - 4) != ".txt") continue;
    name.resize(name.size() - 4);
    SCOPED_TRACE(name);
    Captured cap;
    Genome g = Genome_new();
    Cell* params = nullptr;
    CellPtr m(machinecellfromfile(name.c_str(), &g, 0, &params));
    EXPECT_TRUE(m);
    EXPECT_TRUE(params);
    EXPECT_TRUE(cap.all.empty()) << cap.all[0];
    Cell_freeref(params, 0);
    Genome_free(g);
    count++;
  }
  EXPECT_GE(count, 4);
}

}  // namespace
