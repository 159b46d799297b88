#include "lattice/cell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/text.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "lattice/latextable.h"
#include "base/report.h"
#include "sim/beam.h"
#include "sim/components/registry.h"
#include "tests/support/support.h"

namespace {

using Captured = testsupport::AllMessages;

Cell* component(const char* type, const char* name) {
  Cell* c = Cell_new(Component, name);
  Cell_settypename(c, type);
  return c;
}

std::vector<std::string> childnames(const Cell* c) {
  std::vector<std::string> v;
  for (int i = 0; i < c->n; i++) v.push_back(c->children[i]->name);
  return v;
}

std::vector<std::string> attributenames(const Cell* c) {
  std::vector<std::string> v;
  for (uint32_t i = 0; i < c->attributes.count; i++)
    v.push_back(LSet_at<Attribute>(c->attributes, i).name);
  return v;
}

std::string lower(std::string s) {
  for (char& ch : s) ch = (char)lc((unsigned char)ch);
  return s;
}

// ---- attributes ----

TEST(Cell, LengthAndAngleMirrorTheirAttributes) {
  Cell* c = component("Solenoid", "S");
  Cell_setattrib(c, "Length", 2.5);
  EXPECT_EQ(c->length, 2.5);
  EXPECT_EQ(Cell_attrib(c, "LENGTH", 0), 2.5);
  Cell_setstringattrib(c, "length", "long");  // a text leaves the field as it was
  EXPECT_EQ(c->length, 2.5);
  EXPECT_EQ(Cell_attrib(c, "length", -1), -1);
  EXPECT_STREQ(Cell_stringattrib(c, "Length"), "long");
  Cell_setattrib(c, "lEnGtH", 3);
  EXPECT_EQ(c->length, 3);
  EXPECT_EQ(Cell_stringattrib(c, "length"), nullptr);
  Cell_unsetattrib(c, "LENGTH");
  EXPECT_EQ(c->length, 0);
  EXPECT_FALSE(Cell_hasattrib(c, "length"));

  Cell_setattrib(c, "ANGLE", 0.25);
  EXPECT_EQ(c->angle, 0.25);
  Cell_attribchangesign(c, "angle");
  EXPECT_EQ(c->angle, -0.25);
  EXPECT_EQ(Cell_attrib(c, "Angle", 0), -0.25);
  Cell_unsetattrib(c, "Angle");
  EXPECT_EQ(c->angle, 0);
  Cell_freeref(c, 0);
}

TEST(Cell, ChangeSignLeavesTextsAndMakesNegativeZero) {
  Cell* c = component("Drift", "D");
  Cell_setstringattrib(c, "Mode", "End");
  Cell_attribchangesign(c, "mode");
  EXPECT_STREQ(Cell_stringattrib(c, "Mode"), "End");
  Cell_setattrib(c, "angle", 0);
  Cell_attribchangesign(c, "angle");
  EXPECT_TRUE(std::signbit(Cell_attrib(c, "angle", 1)));
  EXPECT_TRUE(std::signbit(c->angle));
  Cell_attribchangesign(c, "missing");  // nothing to do
  EXPECT_FALSE(Cell_hasattrib(c, "missing"));
  Cell_freeref(c, 0);
}

TEST(Cell, AttribBoolIsFalseForNaNAndZero) {
  Cell* c = component("Drift", "D");
  Cell_setattrib(c, "nan", std::nan(""));
  Cell_setattrib(c, "zero", 0);
  Cell_setattrib(c, "negative", -0.5);
  Cell_setstringattrib(c, "text", "1");
  EXPECT_EQ(Cell_attribbool(c, "nan", 1), 0);
  EXPECT_EQ(Cell_attribbool(c, "zero", 1), 0);
  EXPECT_EQ(Cell_attribbool(c, "negative", 0), 1);
  EXPECT_EQ(Cell_attribbool(c, "missing", 1), 1);
  EXPECT_EQ(Cell_attribbool(c, "missing", 0), 0);
  EXPECT_EQ(Cell_attribbool(c, "text", 0), 0);  // a text gives the default
  EXPECT_EQ(Cell_attribbool(c, "text", 1), 1);
  Cell_freeref(c, 0);
}

// Random attribute operations against a map keyed by the lower-cased name: on a small cell
// (linear look-ups) and on one whose count passes CELL_ATTRIBINDEX_MIN and falls back below it
// (look-ups through the name index, with the same case-blind rules).
TEST(Cell, AttributeOperationsMatchAReferenceModel) {
  for (int extra : {0, 120}) {
  unsigned seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed) + ", names " + std::to_string(8 + extra));
  std::mt19937 rng(seed);
  struct Value {
    bool text;
    double number;
    std::string s;
  };
  std::map<std::string, Value> model;
  std::vector<std::string> names = {"Length", "angle", "Field", "FIELD", "Bore", "Name", "x", "X"};
  for (int i = 0; i < extra; i++) names.push_back((i % 3 ? "a" : "A") + std::to_string(i / 2));
  Cell* c = Cell_new(Nonmachine, "n");
  for (int step = 0; step < 3000; step++) {
    std::string name = names[rng() % names.size()];
    std::string key = lower(name);
    switch (rng() % 4) {
      case 0: {
        double v = (double)(rng() % 1000) - 500;
        Cell_setattrib(c, name.c_str(), v);
        model[key] = Value{false, v, ""};
        break;
      }
      case 1: {
        std::string t = "t" + std::to_string(rng() % 50);
        Cell_setstringattrib(c, name.c_str(), t.c_str());
        model[key] = Value{true, 0, t};
        break;
      }
      case 2:
        Cell_unsetattrib(c, name.c_str());
        model.erase(key);
        break;
      case 3:
        Cell_attribchangesign(c, name.c_str());
        if (model.count(key) && !model[key].text) model[key].number = -model[key].number;
        break;
    }
    ASSERT_EQ(c->attributes.count, model.size());
    for (const std::string& name : names) {
      const char* n = name.c_str();
      std::string k = lower(n);
      auto it = model.find(k);
      ASSERT_EQ(Cell_hasattrib(c, n), it != model.end()) << n;
      if (it == model.end()) {
        ASSERT_EQ(Cell_attribtype(c, n), AttributeType::None);
        continue;
      }
      if (it->second.text) {
        ASSERT_STREQ(Cell_stringattrib(c, n), it->second.s.c_str());
        ASSERT_EQ(Cell_attrib(c, n, 7), 7);
      } else {
        ASSERT_EQ(Cell_attrib(c, n, 7), it->second.number);
        ASSERT_EQ(Cell_stringattrib(c, n), nullptr);
      }
    }
  }
  // Copied onto a cell that holds the same names (negated): the copies come last and win;
  // once one is removed, the earlier one is found again.
  Cell* d = Cell_copyof(c);
  for (uint32_t i = 0; i < d->attributes.count; i++)
    Cell_attribchangesign(d, LSet_at<Attribute>(d->attributes, i).name);
  Cell_copyattribs(c, d);
  Cell_setattrib(d, "last", 1);  // a setter brings the index up to the copied attributes
  for (const auto& [key, value] : model) {
    if (value.text) continue;
    ASSERT_EQ(Cell_attrib(d, key.c_str(), 7), value.number) << key;
    Cell_unsetattrib(d, key.c_str());
    ASSERT_EQ(Cell_attrib(d, key.c_str(), 7), -value.number) << key;
  }
  Cell_freeref(d, 0);
  Cell_freeref(c, 0);
  }
}

TEST(Cell, AttributeRecordOfMissingNameIsZero) {
  Cell* c = component("Drift", "D");
  Cell_setstringattrib(c, "Material", "Be");
  Attribute a = Cell_attribute(c, "material");
  EXPECT_EQ(a.type, AttributeType::Text);
  EXPECT_EQ(a.text, Cell_stringattrib(c, "Material"));  // shares the cell's text
  Attribute none = Cell_attribute(c, "nothing");
  EXPECT_EQ(none.type, AttributeType::None);
  EXPECT_EQ(none.name, nullptr);
  EXPECT_EQ(none.value, 0);
  // A none cell answers every look-up with its default and ignores setters.
  EXPECT_EQ(Cell_attrib(nullptr, "x", 4), 4);
  Cell_setattrib(nullptr, "x", 1);
  Cell_setstringattrib(nullptr, "x", "y");
  Cell_freeref(c, 0);
}

TEST(Cell, CopyReversesAttributesAndCopiesDeeply) {
  Cell* c = component("Solenoid", "S1");
  Cell_setattrib(c, "Length", 1);
  Cell_setattrib(c, "Field", 2);
  Cell_setstringattrib(c, "Material", "Cu");
  c->s = 4;
  c->rtd[0] = 9;
  Cell* d = Cell_copyof(c);
  EXPECT_EQ(attributenames(d), (std::vector<std::string>{"Material", "Field", "Length"}));
  EXPECT_EQ(d->length, 1);
  EXPECT_EQ(d->s, 4);
  EXPECT_EQ(d->rtd[0], 9);
  EXPECT_NE(d->name, c->name);
  EXPECT_STREQ(d->type_name, "Solenoid");
  // Changing the original leaves the copy alone.
  Cell_setstringattrib(c, "Material", "Fe");
  Cell_setattrib(c, "Length", 5);
  EXPECT_STREQ(Cell_stringattrib(d, "material"), "Cu");
  EXPECT_EQ(d->length, 1);

  Cell* line = Cell_new(Composite, "line");
  Cell_add(line, c, -1);
  Cell_add(line, component("Drift", "D"), -1);
  Cell* line2 = Cell_copyof(line);
  ASSERT_EQ(line2->n, 2);
  EXPECT_NE(line2->children[0], c);
  EXPECT_EQ(Cell_attrib(line2->children[0], "Length", 0), 5);
  EXPECT_EQ(childnames(line2), childnames(line));
  Cell_freeref(line, 0);
  Cell_freeref(line2, 0);
  Cell_freeref(d, 0);
}

TEST(Cell, ArrayAttribTakesOneFamily) {
  Cell* c = component("Solenoid", "S");
  Cell_setattrib(c, "CoilRadius", 0.3);
  Cell_setattrib(c, "coilLength", 0.2);
  Cell_setstringattrib(c, "COILname", "inner");
  Cell_setattrib(c, "Radius", 9);
  Cell* family = Cell_arrayattrib(c, "Coil");
  EXPECT_STREQ(family->name, "Coil");
  EXPECT_EQ(family->t, Component);
  EXPECT_EQ(family->type_name, nullptr);
  EXPECT_EQ(family->attributes.count, 3u);
  EXPECT_EQ(Cell_attrib(family, "Radius", 0), 0.3);
  EXPECT_EQ(family->length, 0.2);
  EXPECT_STREQ(Cell_stringattrib(family, "name"), "inner");
  Cell_freeref(family, 0);
  Cell_freeref(c, 0);
}

// ---- children ----

TEST(Cell, AddAndRemoveFollowAReferenceList) {
  unsigned seed = 77;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  Cell* line = Cell_new(Composite, "line");
  std::vector<Cell*> model;
  std::vector<Cell*> all;
  for (int step = 0; step < 2000; step++) {
    int n = (int)model.size();
    int pos = (int)(rng() % (2 * n + 5)) - (n + 2);
    if (rng() % 2) {
      Cell* child = Cell_new(Component, std::to_string(step).c_str());
      all.push_back(child);
      int p = pos < 0 ? n + pos + 1 : pos;
      int added = Cell_add(line, child, pos);
      ASSERT_EQ(added, p >= 0 && p <= n) << pos;
      if (added) model.insert(model.begin() + p, child);
    } else {
      int p = pos < 0 ? n + pos : pos;
      Cell_remove(line, pos);
      if (p >= 0 && p < n) model.erase(model.begin() + p);
    }
    ASSERT_EQ(line->n, (int)model.size());
    for (int i = 0; i < line->n; i++) ASSERT_EQ(line->children[i], model[i]);
  }
  for (Cell* c : all) {
    auto at = std::find(model.begin(), model.end(), c);
    ASSERT_EQ(Cell_index(line, c), at == model.end() ? -1 : (int)(at - model.begin()));
  }
  EXPECT_EQ(Cell_add(all[0], all[1], 0), 0);  // a component has no children
  Cell_freeref(line, 1);
  for (Cell* c : all) Cell_freeref(c, 0);
}

TEST(Cell, FindFuzzyFindAndFindType) {
  Cell* line = Cell_new(Composite, "line");
  const char* names[][2] = {{"Drift", "D1"},  {"Solenoid", "match_S1"}, {"Drift", "D2"},
                            {"solenoid", "S1"}, {"RF", "cav"},          {"Solenoid", "S10"}};
  for (auto& n : names) Cell_add(line, component(n[0], n[1]), -1);
  EXPECT_EQ(Cell_find(line, "s1"), line->children[3]);
  EXPECT_EQ(Cell_find(line, "S"), nullptr);
  EXPECT_EQ(Cell_find(line->children[0], "d1"), line->children[0]);
  EXPECT_EQ(Cell_find(line->children[0], "D2"), nullptr);

  EXPECT_EQ(Cell_fuzzyfind(line, "S1"), line->children[3]);   // equal beats prefix
  EXPECT_EQ(Cell_fuzzyfind(line, "s"), line->children[3]);    // first that begins with it
  EXPECT_EQ(Cell_fuzzyfind(line, "_s"), line->children[1]);   // first that contains it
  EXPECT_EQ(Cell_fuzzyfind(line, ""), nullptr);
  EXPECT_EQ(Cell_fuzzyfind(line, "zzz"), nullptr);
  EXPECT_EQ(Cell_fuzzyfind(line->children[2], "whatever"), line->children[2]);

  EXPECT_EQ(Cell_findtype(line, "SOLENOID", nullptr), line->children[1]);
  EXPECT_EQ(Cell_findtype(line, "solenoid", line->children[1]), line->children[3]);
  EXPECT_EQ(Cell_findtype(line, "solenoid", line->children[3]), line->children[5]);
  EXPECT_EQ(Cell_findtype(line, "solenoid", line->children[5]), nullptr);
  Cell* stranger = component("Solenoid", "x");
  EXPECT_EQ(Cell_findtype(line, "solenoid", stranger), line->children[1]);
  EXPECT_EQ(Cell_findtype(stranger, "solenoid", nullptr), stranger);
  EXPECT_EQ(Cell_findtype(stranger, "solenoid", stranger), nullptr);
  Cell_freeref(stranger, 0);
  Cell_freeref(line, 0);
}

TEST(Cell, LengthSumsComponentsOnly) {
  Cell* line = Cell_new(Composite, "line");
  Cell* inner = Cell_new(Composite, "inner");
  Cell* a = component("Drift", "a");
  Cell_setattrib(a, "length", 1.5);
  Cell* b = component("Drift", "b");
  Cell_setattrib(b, "length", 0.25);
  Cell* beam = Cell_new(Nonmachine, "beam");
  Cell_setattrib(beam, "length", 100);
  Cell_add(inner, b, -1);
  Cell_add(line, a, -1);
  Cell_add(line, inner, -1);
  Cell_add(line, beam, -1);
  EXPECT_EQ(Cell_length(line), 1.75);
  EXPECT_EQ(Cell_length(beam), 0);
  Cell_freeref(line, 0);
}

// ---- bounding box, loss counters, destructor ----

TEST(Cell, BoundingBoxOperations) {
  Cell* c = component("Drift", "D");
  Cell_bbreset(c);
  EXPECT_EQ(c->xmin, 1e20);
  EXPECT_EQ(c->zmax, -1e20);
  auto box = [c] {
    return std::vector<double>{c->xmin, c->ymin, c->zmin, c->xmax, c->ymax, c->zmax};
  };
  Cell_bbextend(c, 1, -2, 3);
  Cell_bbextend(c, -1, 2, 5);
  EXPECT_EQ(box(), std::vector<double>({-1, -2, 3, 1, 2, 5}));
  Cell_bbscale(c, 2);  // about the centres (0, 0, 4)
  EXPECT_EQ(box(), std::vector<double>({-2, -4, 2, 2, 4, 6}));
  Cell_bbexpand(c, 0.5);
  EXPECT_EQ(box(), std::vector<double>({-2.5, -4.5, 1.5, 2.5, 4.5, 6.5}));
  Cell_bbintersect(c, -1, -10, 2, 10, 1, 3);
  EXPECT_EQ(box(), std::vector<double>({-1, -4.5, 2, 2.5, 1, 3}));
  Cell_freeref(c, 0);
}

TEST(Cell, ResetLossCountersReachesEveryChild) {
  Cell* line = Cell_new(Composite, "line");
  for (int i = 0; i < 3; i++) {
    Cell* c = component("Drift", "d");
    c->lostweight = c->lostenergy = c->lostpositive = c->lostnegative = i + 1;
    Cell_add(line, c, -1);
  }
  Cell_resetlosscounters(line);
  for (int i = 0; i < 3; i++) {
    const Cell* c = line->children[i];
    EXPECT_EQ(c->lostweight + c->lostenergy + c->lostpositive + c->lostnegative, 0);
  }
  Cell_freeref(line, 0);
}

int destructed = 0;
unsigned char destructedbyte = 0;
void countingdestructor(void* data) {
  destructed++;
  destructedbyte = static_cast<unsigned char*>(data)[0];
}

TEST(Cell, FreeCallsTheBoundDestructorOnce) {
  destructed = 0;
  Cell* line = Cell_new(Composite, "line");
  Cell* c = component("Magnet3", "m");
  c->destructor = countingdestructor;
  c->rtd[0] = 42;
  Cell_add(line, c, -1);
  Cell_freeref(line, 1);  // shallow: the child stays
  EXPECT_EQ(destructed, 0);
  Cell_destruct(c);
  Cell_destruct(c);  // cleared after the first call
  EXPECT_EQ(destructed, 1);
  EXPECT_EQ(destructedbyte, 42);
  c->destructor = countingdestructor;
  Cell_freeref(c, 0);
  EXPECT_EQ(destructed, 2);
}

// ---- class table ----

TEST(CellClass, LookUpByKeyThenBySubstring) {
  registry_install();
  struct Case {
    const char* type;
    const char* key;  // none: no row
  } cases[] = {
      {"rectangular-aperture", "-aperture"}, {"Finish-aperture", "-aperture"},
      {"rf", "RF"},                          {"RF", "RF"},
      {"BMagnet", "bmagnet"},                {"Solenoid", "solenoid"},
      {"Drift", "drift"},                    {"Cylinder-blockage", "blockage"},
      {"Multipole", "multipole"},            {"beamparticle", "particle"},  // latest row wins
      {"solenoid-drift", "drift"},           {"Quadrupole", nullptr},
      {"", nullptr},
      // A key that is a whole word wins over one inside a word ("rf" in "Surface"); without
      // a whole word the longest key wins.
      {"RFcavity", "RF"},                    {"RF-cavity", "RF"},
      {"cavity-rf", "RF"},                   {"Surface-blockage", "blockage"},
      {"Interface-blockage", "blockage"},    {"Perforated-blockage", "blockage"},
      {"Cuboid-blockage", "blockage"},       {"Toroid-blockage", "blockage"},
      {"Spheroid-blockage", "blockage"},     {"Annulus-blockage", "blockage"},
      {"surfaceblockage", "blockage"},       {"Magnet3D", "magnet3"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.type);
    const CellClass* row = cellclass_find(k.type);
    if (!k.key) {
      EXPECT_EQ(row, nullptr);
    } else {
      ASSERT_NE(row, nullptr);
      EXPECT_STREQ(row->key, k.key);
    }
  }
  EXPECT_EQ(cellclass_find(nullptr), nullptr);
}

TEST(CellClass, BothScansAgreeForEveryKey) {
  registry_install();
  // Construction uses the substring scan, slot binding the two-scan look-up: with these keys
  // they pick the same row for every type name that equals a key.
  for (int i = 0; i < NCELLCLASSES; i++) {
    SCOPED_TRACE(cellclasses[i].key);
    std::string upper = cellclasses[i].key;
    for (char& ch : upper) ch = (char)uc((unsigned char)ch);
    EXPECT_EQ(cellclass_find(cellclasses[i].key), &cellclasses[i]);
    EXPECT_EQ(cellclass_findsubstring(cellclasses[i].key), &cellclasses[i]);
    EXPECT_EQ(cellclass_findsubstring(upper.c_str()), &cellclasses[i]);
  }
}

TEST(CellClass, RowsOnlyForComponents) {
  registry_install();
  Cell* sol = component("Solenoid", "S");
  Cell* beam = Cell_new(Nonmachine, "b");
  Cell_settypename(beam, "Solenoid");
  Cell* odd = component("Wiggler", "W");
  EXPECT_STREQ(Cell_getclass(sol)->key, "solenoid");
  EXPECT_EQ(rtd_size(sol), cellclass_find("solenoid")->datasize);
  EXPECT_EQ(Cell_getclass(beam), nullptr);
  EXPECT_EQ(rtd_size(beam), 0u);
  EXPECT_EQ(Cell_getclass(odd), nullptr);
  EXPECT_EQ(rtd_size(odd), 0u);
  // A component without a row gets every slot emptied.
  odd->inside = [](const void*, double, double, double, double) { return 1; };
  odd->destructor = countingdestructor;
  EXPECT_EQ(Cell_inside(odd, 0, 0, 0, 0), 1);
  init_funcpointers(odd);
  EXPECT_EQ(odd->inside, nullptr);
  EXPECT_EQ(odd->destructor, nullptr);
  // Empty slots give the neutral answers.
  double tout = 5;
  EXPECT_EQ(Cell_collisiondetect(odd, nullptr, nullptr, 0, 1, 0, nullptr, nullptr, nullptr,
                                 &tout), 0);
  EXPECT_EQ(tout, 5);
  EXPECT_EQ(Cell_inside(odd, 0, 0, 0, 0), 0);
  EXPECT_EQ(Cell_construct(odd, nullptr), 0);
  EXPECT_EQ(Cell_construct(sol, nullptr), 1);
  // A row without a bounding-box operation (drift) gives no box.
  Cell* drift = component("Drift", "D");
  EXPECT_EQ(Cell_buildboundingbox(drift), 0);
  Cell_freeref(drift, 0);
  Cell_freeref(sol, 0);
  Cell_freeref(beam, 0);
  Cell_freeref(odd, 0);
}

TEST(CellClass, FieldWrapperPassesTheRunTimeRecord) {
  Cell* c = component("Solenoid", "S");
  EB none = Cell_field(c, 1, 2, 3, 4);
  EXPECT_EQ(none.E, (V3{0, 0, 0}));
  EXPECT_EQ(none.B, (V3{0, 0, 0}));
  double strength = 0.5;
  std::memcpy(c->rtd, &strength, sizeof strength);
  c->field = [](const void* data, double x, double y, double z, double t) {
    double k = *static_cast<const double*>(data);
    return EB{{k * x, k * y, k * z}, {0, 0, k * t}};
  };
  EB eb = Cell_field(c, 1, 2, 3, 4);
  EXPECT_EQ(eb.E, (V3{0.5, 1, 1.5}));
  EXPECT_EQ(eb.B, (V3{0, 0, 2}));
  Cell_freeref(c, 0);
}

TEST(CellClass, RtdCheckReportsEveryOversizeRow) {
  registry_install();
  Captured cap;
  EXPECT_EQ(rtd_check(), 0);
  EXPECT_TRUE(cap.all.empty());
  CellClass rows[3] = {{.key = "small", .datasize = 8},
                       {.key = "big", .datasize = RTD_SIZE + 1},
                       {.key = "huge", .datasize = 5000}};
  EXPECT_EQ(rtd_checkrows(rows, 3), 2);
  ASSERT_EQ(cap.all.size(), 2u);
  EXPECT_EQ(cap.all[0], "[FATAL] Cell type 'big' has run-time data size 409 bytes > RTD_SIZE=408");
  EXPECT_EQ(cap.all[1], "[FATAL] Cell type 'huge' has run-time data size 5000 bytes > RTD_SIZE=408");
  EXPECT_EQ(offsetof(Cell, rtd) % 16, 0u);  // the records inside are aligned as in memory
}

// ---- binary record ----

struct TempFile {
  FILE* f = std::tmpfile();
  ~TempFile() { std::fclose(f); }
  std::vector<unsigned char> bytes() { return testsupport::streambytes(f); }
};

Cell* readbytes(const std::vector<unsigned char>& b) {
  FILE* f = testsupport::streamwith(b);
  Cell* c = Cell_read(f, nullptr);
  std::fclose(f);
  return c;
}

Cell* threecomponents() {
  Cell* line = Cell_new(Composite, "my line");
  Cell* s = component("Solenoid", "S1");
  Cell_setattrib(s, "Length", 1);
  Cell_setattrib(s, "Field", 2);
  Cell_setstringattrib(s, "Material", "Cu");
  for (int i = 0; i < RTD_SIZE; i++) s->rtd[i] = (unsigned char)(i * 7 + 1);
  Cell* d = component("Drift", "D1");
  Cell_setattrib(d, "length", 0.5);
  Cell_setattrib(d, "angle", -0.125);
  Cell* a = component("rectangular-aperture", "A");
  Cell_setattrib(a, "Width", 0.1);
  for (Cell* c : {s, d, a}) Cell_add(line, c, -1);
  double base = 1;
  for (int i = 0; i < 3; i++) {
    Cell* c = line->children[i];
    c->s = base * (i + 1);
    c->entrance.origin = V3{base + i, 2.0 + i, 3.0 - i};
    c->entrance.M = M3x3_Rxyz(V3{0.1 * i, 0.2, -0.3});
    c->axis = c->entrance;
    c->xmin = -i - 1, c->ymin = -2, c->zmin = c->s, c->xmax = i + 1, c->ymax = 2, c->zmax = 9;
  }
  line->s = 0.5;
  line->entrance = AffineFrame_identity();
  Cell_bbreset(line);
  return line;
}

void expectsameframe(const AffineFrame& a, const AffineFrame& b) {
  EXPECT_EQ(a.origin, b.origin);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(a.M.m[i][j], b.M.m[i][j]);
}

TEST(CellBinary, CompositeOfThreeRoundTrips) {
  registry_install();
  Cell* line = threecomponents();
  TempFile t;
  Cell_write(line, t.f);
  std::vector<unsigned char> bytes = t.bytes();
  Cell* back = readbytes(bytes);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->name, "my line");
  EXPECT_EQ(back->t, Composite);
  EXPECT_EQ(childnames(back), childnames(line));
  EXPECT_EQ(back->s, 0.5);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    const Cell* a = line->children[i];
    const Cell* b = back->children[i];
    EXPECT_STREQ(b->type_name, a->type_name);
    std::vector<std::string> reversed = attributenames(a);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(attributenames(b), reversed);
    for (uint32_t k = 0; k < a->attributes.count; k++) {
      const Attribute& x = LSet_at<Attribute>(a->attributes, k);
      EXPECT_EQ(Cell_attribtype(b, x.name), x.type);
      if (x.type == AttributeType::Number) EXPECT_EQ(Cell_attrib(b, x.name, -9), x.value);
      else EXPECT_STREQ(Cell_stringattrib(b, x.name), x.text);
    }
    EXPECT_EQ(b->length, a->length);
    EXPECT_EQ(b->angle, a->angle);
    EXPECT_EQ(b->s, a->s);
    expectsameframe(b->entrance, a->entrance);
    expectsameframe(b->axis, AffineFrame{V3{0, 0, 0}, M3x3_zero()});
    EXPECT_EQ(std::vector<double>({b->xmin, b->ymin, b->zmin, b->xmax, b->ymax, b->zmax}),
              std::vector<double>({a->xmin, a->ymin, a->zmin, a->xmax, a->ymax, a->zmax}));
    // The run-time data comes back for the class's data size, the rest stays zero.
    uint32_t size = rtd_size(a);
    EXPECT_EQ(std::memcmp(b->rtd, a->rtd, size), 0);
    for (int k = (int)size; k < RTD_SIZE; k++) ASSERT_EQ(b->rtd[k], 0) << k;
  }
  EXPECT_EQ(rtd_size(line->children[0]), 120u);  // solenoid: its bytes were written
  // Writing the copy read back gives the same bytes once more attributes are reversed back.
  TempFile t2;
  Cell_write(back, t2.f);
  EXPECT_EQ(t2.bytes().size(), bytes.size());
  Cell_freeref(back, 0);
  Cell_freeref(line, 0);
}

TEST(CellBinary, RecordLayoutIsLittleEndianAndFixed) {
  Cell* c = component("Drift", "D");
  Cell_setattrib(c, "L", 1.0);
  TempFile t;
  Cell_write(c, t.f);
  std::vector<unsigned char> b = t.bytes();
  // name, code, type name, count, attribute (name, type, double), length, angle, s, frame, box
  size_t expected = 2 + 1 + 6 + 4 + (2 + 1 + 8) + 16 + 8 + 96 + 48;
  ASSERT_EQ(b.size(), expected);
  EXPECT_EQ(std::string((const char*)b.data()), "D");
  EXPECT_EQ(b[2], 1);  // Component
  EXPECT_EQ(std::string((const char*)b.data() + 3), "Drift");
  EXPECT_EQ(std::vector<unsigned char>(b.begin() + 9, b.begin() + 13),
            (std::vector<unsigned char>{1, 0, 0, 0}));
  EXPECT_EQ(b[15], 1);  // Number
  // 1.0 = 0x3FF0000000000000, low byte first
  EXPECT_EQ(std::vector<unsigned char>(b.begin() + 16, b.begin() + 24),
            (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  Cell_freeref(c, 0);
}

TEST(CellBinary, DamagedRecordsGiveNone) {
  Cell* line = threecomponents();
  TempFile t;
  Cell_write(line, t.f);
  std::vector<unsigned char> good = t.bytes();
  Cell_freeref(line, 0);

  // Every truncation of a good record is refused.
  for (size_t n = 0; n < good.size(); n++) {
    Cell* c = readbytes(std::vector<unsigned char>(good.begin(), good.begin() + (long)n));
    ASSERT_EQ(c, nullptr) << "truncated to " << n;
  }
  // Type code 7 where the composite's code stands (after "my line" and its zero).
  std::vector<unsigned char> bad = good;
  bad[8] = 7;
  EXPECT_EQ(readbytes(bad), nullptr);
  // A child count of two billion.
  bad = good;
  int32_t huge = 2000000000;
  std::memcpy(&bad[9], &huge, 4);
  EXPECT_EQ(readbytes(bad), nullptr);
  // A negative child count.
  bad = good;
  int32_t negative = -3;
  std::memcpy(&bad[9], &negative, 4);
  EXPECT_EQ(readbytes(bad), nullptr);
  // A text without its zero byte at the end of the file.
  EXPECT_EQ(readbytes({'a', 'b', 'c'}), nullptr);
  // An attribute count of two billion in a lone component.
  std::vector<unsigned char> comp = {'x', 0, 1, 'D', 0};
  for (int i = 0; i < 4; i++) comp.push_back((unsigned char)(huge >> (8 * i)));
  comp.insert(comp.end(), 200, 0);
  EXPECT_EQ(readbytes(comp), nullptr);
  // An attribute of unknown type 9.
  comp = {'x', 0, 1, 'D', 0, 1, 0, 0, 0, 'a', 0, 9};
  comp.insert(comp.end(), 200, 0);
  EXPECT_EQ(readbytes(comp), nullptr);
}

TEST(CellBinary, NestingIsBounded) {
  // Composites nested deeper than CELL_MAXDEPTH: each level is a name, code 2 and count 1.
  std::vector<unsigned char> b;
  for (int i = 0; i < CELL_MAXDEPTH + 10; i++) {
    b.insert(b.end(), {'c', 0, 2, 1, 0, 0, 0});
  }
  b.insert(b.end(), 10000, 0);
  EXPECT_EQ(readbytes(b), nullptr);
}

int mades = 0, copies = 0, frees = 0;
CellSubMap* fakemake(Cell* machine, const Simulation*) {
  mades++;
  return reinterpret_cast<CellSubMap*>(new int(machine->n));
}
CellSubMap* fakecopy(const CellSubMap* g) {
  copies++;
  return reinterpret_cast<CellSubMap*>(new int(*reinterpret_cast<const int*>(g)));
}
void fakefree(CellSubMap* g) {
  frees++;
  delete reinterpret_cast<int*>(g);
}

TEST(CellBinary, CompositesReadBackGetAGrid) {
  Cell_setsubmapops({fakemake, fakecopy, fakefree});
  mades = copies = frees = 0;
  Cell* line = threecomponents();
  TempFile t;
  Cell_write(line, t.f);
  Cell* back = readbytes(t.bytes());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(mades, 1);
  ASSERT_NE(back->submap, nullptr);
  EXPECT_EQ(*reinterpret_cast<int*>(back->submap), 3);  // made once the children were in
  Cell* copy = Cell_copyof(back);
  EXPECT_EQ(copies, 1);
  EXPECT_NE(copy->submap, back->submap);
  Cell_freeref(copy, 0);
  Cell_freeref(back, 0);
  EXPECT_EQ(frees, 2);
  Cell_freeref(line, 0);
  Cell_setsubmapops({nullptr, nullptr, nullptr});
}

// ---- text forms ----

TEST(CellPrint, SolenoidLatticeForm) {
  Cell* c = component("Solenoid", "S1");
  Cell_setattrib(c, "Length", 1);
  Cell_setattrib(c, "Field", 2);
  EXPECT_EQ(Cell_print(c, 0, 0), "{Solenoid Field Length}\nS1 2 1");
  Cell_freeref(c, 0);
}

TEST(CellPrint, ListingFormSortsAndQuotesTexts) {
  Cell* c = Cell_new(Nonmachine, "B");
  Cell_settypename(c, "Beam");
  Cell_setstringattrib(c, "file", "beam.txt");
  Cell_setattrib(c, "Energy", 1.5e-11);
  Cell_setattrib(c, "count", 1.0 / 3);
  EXPECT_EQ(Cell_print(c, 0, ';'),
            "Nonmachine Beam B\ncount=0.333333333333333;Energy=1.5e-11;file='beam.txt';");
  EXPECT_EQ(Cell_print(c, 0, 0),
            "{Beam count Energy file}\nB 0.333333333333333 1.5e-11 'beam.txt' #// Nonmachine");
  Cell_freeref(c, 0);
}

TEST(CellPrint, CompositeListsChildrenAsIdentifiers) {
  Cell* line = Cell_new(Composite, "my line");
  Cell* a = component("Drift", "a b");
  Cell_setattrib(a, "Length", 1);
  Cell* b = component("Drift", "2nd");
  Cell_add(line, a, -1);
  Cell_add(line, b, -1);
  EXPECT_EQ(Cell_print(line, 0, 0),
            "\n#// my line - Composite cell of 2 elements:\n\n"
            "{Drift Length}\na b 1\n"
            "{Drift}\n2nd\n"
            "\nmy_line: a_b,_nd;\n\n");
  line->t = (CellType)5;
  EXPECT_EQ(Cell_print(line, 0, 0), "\n#//Cell_print error: my line - UNKNOWN TYPE OF CELL\n\n");
  line->t = Composite;
  Cell_freeref(line, 0);
}

TEST(CellPrint, FramesShowReferenceCurveAndAxis) {
  Cell* c = component("Drift", "D");
  Cell_setattrib(c, "Length", 2);
  Cell_setattrib(c, "X", 0.5);
  c->entrance = AffineFrame_identity();
  c->entrance.origin = V3{0, 0, 1};
  c->axis = Cell_offsetframe(c, c->entrance);
  EXPECT_EQ(Cell_print(c, 1, ' '),
            "Drift D\nLength=2 X=0.5 \nRef curve (0,0,1) to (0,0,3); cpt axis (0.5,0,1) to "
            "(0.5,0,3)");
  std::string lattice = Cell_print(c, 1, 0);
  EXPECT_NE(lattice.find("\n#//Ref curve (0,0,1) to (0,0,3);"), std::string::npos);
  Cell_freeref(c, 0);
}

TEST(CellPrint, FixVarName) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"my line", "my_line"}, {"1abc", "_abc"}, {"_x", "_x"}, {"a-b.c", "a_b_c"},
               {"", ""},               {"\xC2\xB0", "__"}, {"Z9", "Z9"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.in);
    std::string s = k.in;
    EXPECT_STREQ(fixvarname(s.data(), '_'), k.out);
  }
}

TEST(CellLatex, TableShowsUnitsAndEscapes) {
  Cell* line = Cell_new(Composite, "front_end");
  Cell* rf = component("RF", "cav~1");
  Cell_setattrib(rf, "Voltage", 12.5e6);
  Cell_setattrib(rf, "Frequency", 201.25e6);
  Cell* bend = component("BMagnet", "b_1");
  Cell_setattrib(bend, "angle", M_PI / 4);
  Cell_setstringattrib(bend, "Material", "Cu_2");
  Cell* beam = Cell_new(Nonmachine, "beam");
  Cell_add(line, rf, -1);
  Cell_add(line, bend, -1);
  Cell_add(line, beam, -1);
  std::string t = Cell_latextable(line, 0);
  EXPECT_NE(t.find("\\caption{\\label{tablefront_end}Ordax component listing of cell "
                   "\\texttt{front\\_end}.}\n"),
            std::string::npos);
  EXPECT_NE(t.find("Beamline order: cav$\\sim$1, b\\_1"), std::string::npos);
  EXPECT_NE(t.find("Name & Type & angle & Frequency & Material & Voltage\\\\"), std::string::npos);
  EXPECT_NE(t.find("cav$\\sim$1 & RF &  & 201.25\\,MHz &  & 12.5\\,MV\\\\"), std::string::npos);
  EXPECT_NE(t.find("b\\_1 & BMagnet & 45$^\\circ$ &  & Cu\\_2 & \\\\"), std::string::npos);
  EXPECT_EQ(t.find("beam"), std::string::npos);  // definitions are not components
  EXPECT_NE(t.find("\\begin{tabular}{|l|l|r|r|r|r|}"), std::string::npos);
  std::string lt = Cell_latextable(line, 1);
  EXPECT_NE(lt.find("\\begin{longtable}"), std::string::npos);
  EXPECT_NE(lt.find("\\end{longtable}"), std::string::npos);
  EXPECT_EQ(lt.find("tabular"), std::string::npos);
  Cell_freeref(line, 0);
}

// Runs in a scratch directory; restores the working directory and PATH.
struct ScratchDir : testsupport::WorkDir {
  std::string oldpath = getenv("PATH") ? getenv("PATH") : "";
  const std::string where = path().string();
  ScratchDir() : WorkDir("ordax_cell") {}
  ~ScratchDir() { setenv("PATH", oldpath.c_str(), 1); }
};

TEST(CellPrint, DebugAppendsToTheTechnicalLog) {
  ScratchDir scratch;
  Cell* c = component("Drift", "D");
  Cell_setattrib(c, "Length", 1);
  Cell_DEBUG(c);  // no "tech" directory: nothing written, nothing breaks
  EXPECT_FALSE(platform_isfile("tech/log.txt"));
  ASSERT_TRUE(platform_mkdir("tech"));
  Cell_DEBUG(c);
  Cell_DEBUG(c);
  std::string once = Cell_print(c, 1, ' ') + "\n";
  EXPECT_EQ(testsupport::readfile("tech/log.txt"), once + once);
  Cell_freeref(c, 0);
}

TEST(CellLatex, PdfWithoutPdflatexSaysSoAndKeepsTheSource) {
  ScratchDir scratch;
  setenv("PATH", scratch.where.c_str(), 1);  // nothing called pdflatex here
  Captured cap;
  Cell* c = component("Drift", "D");
  EXPECT_EQ(Cell_latextablepdf(c, "table_D", 1), 0);
  ASSERT_EQ(cap.all.size(), 1u);
  EXPECT_EQ(cap.all[0],
            "pdflatex is not installed, so no PDF was made; the LaTeX source is in table_D.tex");
  EXPECT_EQ(testsupport::readfile("table_D.tex").rfind("\\documentclass[12pt,a4paper]{report}\n\\usepackage{longtable}", 0),
            0u);
  Cell_freeref(c, 0);
}

TEST(CellLatex, PdfRunsPdflatexTwiceAndCleansUp) {
  ScratchDir scratch;
  // A stand-in pdflatex that records its argument and leaves the files a real one leaves.
  std::string fake = scratch.write(
      "pdflatex", "#!/bin/sh\necho \"$1\" >> calls.txt\ntouch \"$1.aux\" \"$1.log\" \"$1.pdf\"\n");
  platform_system(("chmod +x '" + fake + "'").c_str());
  setenv("PATH", (scratch.where + ":/usr/bin:/bin").c_str(), 1);
  Captured cap;
  Cell* c = component("Drift", "D");
  EXPECT_EQ(Cell_latextablepdf(c, "t b", 0), 1);  // a blank in the name stays one argument
  EXPECT_TRUE(cap.all.empty());
  EXPECT_EQ(testsupport::readfile("calls.txt"), "t b\nt b\n");
  EXPECT_TRUE(platform_isfile("t b.pdf"));
  for (const char* gone : {"t b.tex", "t b.aux", "t b.log"}) EXPECT_FALSE(platform_isfile(gone)) << gone;
  Cell_freeref(c, 0);
}

}  // namespace
