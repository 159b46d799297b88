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

Machine::Machine(std::string_view latticetext, const char* commandline, const char* name)
    : dir_("ordax_machine") {
  fs::create_directories(dir_.path() / "datafiles");
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

}  // namespace testsupport
