// Shared by the results, check-value and queue tests: a fresh temporary working directory
// (with "lattices/"), captured report messages, and the process-wide state these parts read
// (lattice list cache, check-value caches, machine source) reset around each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "results/checkval.h"
#include "shell/ordax.h"
#include "lattice/latticefiles.h"
#include "base/report.h"
#include "shell/runstate.h"

namespace resultstest {

namespace fs = std::filesystem;

inline std::string readfile(const fs::path& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

inline void writefile(const fs::path& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

struct Messages {
  std::vector<std::string> all;      // report()
  std::vector<std::string> updates;  // reportupdate()
  bool has(const std::string& m) const {
    for (const std::string& x : all)
      if (x == m) return true;
    return false;
  }
  int count(const std::string& m) const {
    int n = 0;
    for (const std::string& x : all) n += x == m;
    return n;
  }
  bool anywarning() const {
    for (const std::string& x : all)
      if (x.find("[WARNING]") != std::string::npos || x.find("[FATAL]") != std::string::npos)
        return true;
    return false;
  }
};

inline void capturemessage(const char* message, int isupdate, void* context) {
  Messages* m = static_cast<Messages*>(context);
  (isupdate ? m->updates : m->all).push_back(message);
}

class ResultsDir : public ::testing::Test {
 protected:
  void SetUp() override {
    oldcwd = fs::current_path();
    std::random_device rd;
    dir = fs::temp_directory_path() / ("ordax_results_" + std::to_string(rd()));
    fs::create_directories(dir / "lattices");
    fs::current_path(dir);
    report_setsink(capturemessage, &messages);
    lattice_exists(LATTICE_EXISTS_RESET);
    checksumcacheon = 0;
    checksumcache_clear();
    oldmachine = checksum_machinecell;
  }
  void TearDown() override {
    checksum_machinecell = oldmachine;
    checksumcacheon = 0;
    checksumcache_clear();
    lattice_exists(LATTICE_EXISTS_RESET);
    report_setsink(nullptr, nullptr);
    fs::current_path(oldcwd);
    fs::remove_all(dir);
  }
  // Writes lattices/<name>.txt and forgets the cached lattice list.
  void lattice(const std::string& name, const std::string& text) {
    writefile(dir / "lattices" / (name + ".txt"), text);
    lattice_exists(LATTICE_EXISTS_RESET);
  }

  fs::path dir, oldcwd;
  Messages messages;
  MachineCellFunction oldmachine = nullptr;
};

}  // namespace resultstest
