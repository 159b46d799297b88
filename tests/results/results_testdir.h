// Shared by the results, check-value and queue tests: a fresh temporary working directory
// (with "lattices/"), captured report messages, and the process-wide state these parts read
// (lattice list cache, check-value caches, machine source) reset around each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "results/checkval.h"
#include "shell/ordax.h"
#include "lattice/latticefiles.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "tests/support/support.h"

namespace resultstest {

namespace fs = std::filesystem;

using testsupport::Messages;
using testsupport::readfile;
using testsupport::writefile;

class ResultsDir : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "lattices");
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
  }
  // Writes lattices/<name>.txt and forgets the cached lattice list.
  void lattice(const std::string& name, const std::string& text) {
    writefile(dir / "lattices" / (name + ".txt"), text);
    lattice_exists(LATTICE_EXISTS_RESET);
  }

  testsupport::WorkDir work{"ordax_results"};
  const fs::path& dir = work.path();
  Messages messages;
  MachineCellFunction oldmachine = nullptr;
};

}  // namespace resultstest
