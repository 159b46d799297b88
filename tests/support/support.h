// What many test files need and nothing in the program provides: captured report messages, a
// temporary directory of their own, a working-directory guard, whole-file reads and writes, and
// a machine built from lattice text the way a run builds it.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lattice/cellclass.h"
#include "sim/particle.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace testsupport {

namespace fs = std::filesystem;

// Receives every report() and reportupdate() while it lives (through report_setsink), so a test
// can check exact texts while the reporting code goes on to its failure return. Not nested: the
// newest capture owns the sink until it is destroyed.
struct Messages {
  std::vector<std::string> all;      // report(), and reportupdate() too when asked for
  std::vector<std::string> updates;  // reportupdate()
  // updatesinall: progress updates also go to `all`, in order, as the console shows them.
  explicit Messages(bool updatesinall = false);
  ~Messages();
  Messages(const Messages&) = delete;
  Messages& operator=(const Messages&) = delete;

  bool has(std::string_view text) const;            // some message equals text
  int count(std::string_view text) const;           // messages equal to text
  int countcontaining(std::string_view part) const; // messages that contain part
  bool anycontaining(std::string_view part) const { return countcontaining(part) > 0; }
  bool anywarning() const;  // some message carries "[WARNING]" or "[FATAL]"
  void clear();

  const bool updatesinall;
};

// Every message in one list, progress updates included.
struct AllMessages : Messages {
  AllMessages() : Messages(true) {}
};

// A fresh empty directory, unique across test processes running at the same time (the name
// comes from mkdtemp), removed with its contents on destruction.
class TempDir {
 public:
  explicit TempDir(const char* tag = "ordax");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  // The path of a file inside, as text (for the C-style interfaces).
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }
  // Writes a file inside (creating its folders) and returns its path.
  std::string write(std::string_view name, std::string_view text) const;
  std::string read(std::string_view name) const;

 private:
  fs::path path_;
};

// Moves into a directory and back to the previous one on destruction.
class CwdGuard {
 public:
  explicit CwdGuard(const fs::path& to);
  ~CwdGuard();
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;
  const fs::path& previous() const { return old_; }

 private:
  fs::path old_;
};

// A temporary directory that is also the working directory while it lives.
struct WorkDir {
  TempDir dir;
  CwdGuard cwd;
  explicit WorkDir(const char* tag = "ordax") : dir(tag), cwd(dir.path()) {}
  const fs::path& path() const { return dir.path(); }
  std::string operator/(std::string_view name) const { return dir / name; }
  std::string write(std::string_view name, std::string_view text) const {
    return dir.write(name, text);
  }
  std::string read(std::string_view name) const { return dir.read(name); }
};

// Whole files as bytes; a missing file reads as "".
std::string readfile(const fs::path& path);
void writefile(const fs::path& path, std::string_view text);
// A file's lines without their end-of-line characters.
std::vector<std::string> readlines(const fs::path& path);

// Binary records in temporary streams: a stream holding `bytes`, at its start (the caller
// closes it), and the bytes a stream holds from its start.
using Bytes = std::vector<unsigned char>;
FILE* streamwith(const Bytes& bytes);
Bytes streambytes(FILE* f);
// The bytes `write(FILE*)` puts in a fresh temporary stream.
template <class Write>
Bytes writtenby(Write write) {
  FILE* f = std::tmpfile();
  if (!f) return {};
  write(f);
  Bytes bytes = streambytes(f);
  std::fclose(f);
  return bytes;
}

// A machine built from lattice text exactly as a run builds it: the text goes to
// lattices/<name>.txt in a temporary working directory (with datafiles/ beside it, holding
// the given files: name, text), the lattice list is forgotten, and the simulation is made by
// Simulation_new. Freed on destruction; the previous working directory comes back.
class Machine {
 public:
  explicit Machine(std::string_view latticetext, const char* commandline = "",
                   const char* name = "machine",
                   const std::vector<std::pair<std::string, std::string>>& datafiles = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  Simulation sim{};
  bool built() const { return sim.lattice != nullptr; }
  const WorkDir& dir() const { return dir_; }

 private:
  WorkDir dir_;
};

// Writes lattices/<name>.txt under `root` and forgets the cached lattice list.
void writelattice(const fs::path& root, std::string_view name, std::string_view text);

// The exit code once process `pid` has ended, or -1 when it has not ended within `seconds`
// (it is then killed) or was ended by a signal.
int finishprocess(int pid, double seconds);

// ---- cells and particles for component tests ----

// An attribute of a cell: a number, or a text when `text` is set.
struct Attr {
  const char* name;
  double value = 0;
  const char* text = nullptr;
};

// A bare cell of a type (not constructed), with a length when `length` is not 0.
Cell* cellof(const char* name, const char* type, double length = 0);
// A bare cell of a type (none when null) with the attributes set, not constructed.
Cell* cellwith(const char* name, const char* type, const std::vector<Attr>& attrs);
// After boxes were set by hand: the machine's box becomes the union of its children's and its
// proximity grid is rebuilt.
void regrid(Simulation* sim, int resolution = 50);
// A composite holding the children in order.
Cell* compositeof(const char* name, const std::vector<Cell*>& children);
// Sets a cell's bounding box by hand.
void setbox(Cell* c, double x0, double y0, double z0, double x1, double y1, double z1);

// A component cell bound and constructed through the class table as the machine set-up does,
// its entrance and axis at `frame`; `constructed` is what the construction returned. Freed on
// destruction unless released.
struct Component {
  Cell* c;
  int constructed;
  Component(const char* type, const std::vector<Attr>& attrs,
            AffineFrame frame = AffineFrame_identity(), const char* name = "C1");
  ~Component();
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;
  template <class Record>
  Record* record() const {
    return reinterpret_cast<Record*>(c->rtd);
  }
  Cell* release();
};

// A particle at r with momentum components pmev (MeV/c), with `cell`, when given, as its only
// nearby component.
Particle particleof(ParticleSpecies species, V3 r, V3 pmev, Cell* cell = nullptr);

// The cell written with Cell_write and read back with Cell_read (nullptr when it could not be).
Cell* restored(const Cell* c);
// Expects the two cells' fields at the points to be the same to the bit.
void expectsamefield(const Cell* a, const Cell* b, const std::vector<V3>& points);

}  // namespace testsupport
