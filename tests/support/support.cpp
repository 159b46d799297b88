#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/report.h"
#include "lattice/latticefiles.h"
#include "base/kinematics.h"
#include "sim/components/registry.h"
#include "sim/species.h"

namespace testsupport {

namespace {
void capture(const char* message, int isupdate, void* context) {
  Messages* m = static_cast<Messages*>(context);
  if (isupdate) m->updates.push_back(message);
  if (!isupdate || m->updatesinall) m->all.push_back(message);
}
}  // namespace

Messages::Messages(bool updatesinall) : updatesinall(updatesinall) {
  report_setsink(capture, this);
}
Messages::~Messages() { report_setsink(nullptr, nullptr); }

bool Messages::has(std::string_view text) const { return count(text) > 0; }

int Messages::count(std::string_view text) const {
  int n = 0;
  for (const std::string& m : all) n += m == text;
  return n;
}

int Messages::countcontaining(std::string_view part) const {
  int n = 0;
  for (const std::string& m : all) n += m.find(part) != std::string::npos;
  return n;
}

bool Messages::anywarning() const {
  return anycontaining("[WARNING]") || anycontaining("[FATAL]");
}

void Messages::clear() {
  all.clear();
  updates.clear();
}

TempDir::TempDir(const char* tag) {
  std::string pattern = (fs::temp_directory_path() / (std::string(tag) + "_XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::write(std::string_view name, std::string_view text) const {
  fs::path p = path_ / name;
  fs::create_directories(p.parent_path());
  writefile(p, text);
  return p.string();
}

std::string TempDir::read(std::string_view name) const { return readfile(path_ / name); }

CwdGuard::CwdGuard(const fs::path& to) : old_(fs::current_path()) { fs::current_path(to); }
CwdGuard::~CwdGuard() {
  std::error_code ignored;
  fs::current_path(old_, ignored);
}

std::string readfile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream out;
  out << f.rdbuf();
  return out.str();
}

void writefile(const fs::path& path, std::string_view text) {
  std::ofstream f(path, std::ios::binary);
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!f) ADD_FAILURE() << "cannot write " << path;
}

std::vector<std::string> readlines(const fs::path& path) {
  std::ifstream f(path);
  std::vector<std::string> v;
  for (std::string line; std::getline(f, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    v.push_back(line);
  }
  return v;
}

void writelattice(const fs::path& root, std::string_view name, std::string_view text) {
  fs::create_directories(root / "lattices");
  writefile(root / "lattices" / (std::string(name) + ".txt"), text);
  lattice_exists(LATTICE_EXISTS_RESET);
}

Machine::Machine(std::string_view latticetext, const char* commandline, const char* name,
                 const std::vector<std::pair<std::string, std::string>>& datafiles)
    : dir_("ordax_machine") {
  fs::create_directories(dir_.path() / "datafiles");
  for (const auto& [file, text] : datafiles) writefile(dir_.path() / "datafiles" / file, text);
  writelattice(dir_.path(), name, latticetext);
  Simulation_defaultdefault();
  sim = Simulation_new(name, nullptr, commandline);
}

Machine::~Machine() {
  Simulation_free(&sim);
  lattice_exists(LATTICE_EXISTS_RESET);
}

FILE* streamwith(const Bytes& bytes) {
  FILE* f = std::tmpfile();
  if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  if (f) std::rewind(f);
  return f;
}

Bytes streambytes(FILE* f) {
  Bytes bytes;
  std::fflush(f);
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
}

int finishprocess(int pid, double seconds) {
  int status = 0;
  pid_t got = 0;
  for (int i = 0; i < (int)(seconds * 50) && got == 0; i++) {
    got = waitpid(pid, &status, WNOHANG);
    if (got == 0) usleep(20000);
  }
  if (got == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return got == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Cell* cellof(const char* name, const char* type, double length) {
  Cell* c = Cell_new(::Component, name);
  Cell_settypename(c, type);
  if (length != 0) Cell_setattrib(c, "length", length);
  return c;
}

Cell* cellwith(const char* name, const char* type, const std::vector<Attr>& attrs) {
  Cell* c = Cell_new(::Component, name);
  if (type) Cell_settypename(c, type);
  for (const Attr& a : attrs) {
    if (a.text) Cell_setstringattrib(c, a.name, a.text);
    else Cell_setattrib(c, a.name, a.value);
  }
  return c;
}

void regrid(Simulation* sim, int resolution) {
  Cell* m = sim->lattice;
  Cell_bbreset(m);
  for (int i = 0; i < m->n; i++) {
    Cell* c = m->children[i];
    if (c->xmin > c->xmax) continue;
    Cell_bbextend(m, c->xmin, c->ymin, c->zmin);
    Cell_bbextend(m, c->xmax, c->ymax, c->zmax);
  }
  CellSubMap_free(m->submap);
  m->submap = CellSubMap_make(m, resolution);
}

Cell* compositeof(const char* name, const std::vector<Cell*>& children) {
  Cell* c = Cell_new(Composite, name);
  for (Cell* child : children) Cell_add(c, child, -1);
  return c;
}

void setbox(Cell* c, double x0, double y0, double z0, double x1, double y1, double z1) {
  c->xmin = x0;
  c->ymin = y0;
  c->zmin = z0;
  c->xmax = x1;
  c->ymax = y1;
  c->zmax = z1;
}

Component::Component(const char* type, const std::vector<Attr>& attrs, AffineFrame frame,
                     const char* name) {
  c = cellwith(name, type, attrs);
  c->entrance = frame;
  c->axis = frame;
  registry_install();
  init_funcpointers(c);
  constructed = Cell_construct(c, nullptr);
}

Component::~Component() {
  if (c) Cell_freeref(c, 0);
}

Cell* Component::release() {
  Cell* r = c;
  c = nullptr;
  return r;
}

Particle particleof(ParticleSpecies species, V3 r, V3 pmev, Cell* cell) {
  const double MeV = 1.602176462e-13;  // J
  Particle p = Particle_new(species);
  p.x = r.x;
  p.y = r.y;
  p.z = r.z;
  const double k = MeV / c_light / speciesmass[species];
  p.Vx = pmev.x * k;
  p.Vy = pmev.y * k;
  p.Vz = pmev.z * k;
  if (cell) Particle_setnearby(&p, &cell, 1);
  return p;
}

Cell* restored(const Cell* c) {
  FILE* f = std::tmpfile();
  if (!f) return nullptr;
  Cell_write(c, f);
  std::rewind(f);
  Cell* back = Cell_read(f, nullptr);
  std::fclose(f);
  return back;
}

void expectsamefield(const Cell* a, const Cell* b, const std::vector<V3>& points) {
  for (const V3& p : points) {
    SCOPED_TRACE(testing::Message() << "at " << p.x << ", " << p.y << ", " << p.z);
    const EB fa = Cell_field(a, p.x, p.y, p.z, 0), fb = Cell_field(b, p.x, p.y, p.z, 0);
    EXPECT_EQ(fa.B.x, fb.B.x);
    EXPECT_EQ(fa.B.y, fb.B.y);
    EXPECT_EQ(fa.B.z, fb.B.z);
  }
}

}  // namespace testsupport
