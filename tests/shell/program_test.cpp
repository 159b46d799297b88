// End-to-end runs of the built program, started as a user starts it in a scratch home
// directory: lattice names matched without letter case on every path that opens a lattice
// file, the held display of -view, and -latextablepdf on a machine without pdflatex.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using testsupport::readfile;
using testsupport::writefile;

void pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Processor seconds a running process has used: fields 14 and 15 (utime, stime) of its stat.
double cpuseconds(pid_t pid) {
  std::string stat = readfile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after the command name
  std::string f;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; i++) ticks += i >= 14 ? std::stoll(f) : 0;
  return (double)ticks / (double)sysconf(_SC_CLK_TCK);
}

// A home directory for the program: the binary linked in (the program moves into its own
// directory), lattices/, an empty datafiles/, a user name, and settings that keep the network
// off. Every process it starts is ended by its PID.
class ProgramHome : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "lattices");
    fs::create_directories(dir / "datafiles");
    fs::create_symlink(ORDAX_BINARY, dir / "ordax");
    writefile(dir / "user.txt", "tester");
    writefile(dir / "config.txt",
             "Auto-send results ([Y]es, [N]o): N\n"
             "Update lattice files from web every N hours (0=don't): 0\n"
             "Download sample results file after a number of hours (0=don't, min. 6): 0\n"
             "Threads (number or 'auto'): 1\n");
  }
  void TearDown() override {
    for (pid_t pid : running) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // A copy of the bundled lattice _pencil under this file name.
  void lattice(const std::string& file) {
    fs::copy_file(fs::path(ORDAX_SOURCE_DIR) / "lattices/_pencil.txt", dir / "lattices" / file);
  }
  // Starts the program with these arguments; standard input is empty and the output (both
  // streams) goes to "out.txt".
  pid_t start(const std::vector<std::string>& args) {
    std::vector<std::string> words{(dir / "ordax").string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&io, 1, (dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&io, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &io, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&io);
    if (pid > 0) running.push_back(pid);
    return pid;
  }
  int finish(pid_t pid, double seconds) {
    int code = testsupport::finishprocess(pid, seconds);
    std::erase(running, pid);
    return code;
  }
  int run(const std::vector<std::string>& args) {
    pid_t pid = start(args);
    return pid < 0 ? -1 : finish(pid, 300);
  }
  std::string output() { return readfile(dir / "out.txt"); }
  // Waits (bounded) until the output holds `text`.
  bool waitfor(const std::string& text, double seconds) {
    for (int i = 0; i < (int)(seconds * 50); i++) {
      if (output().find(text) != std::string::npos) return true;
      pause(20);
    }
    return false;
  }

  testsupport::TempDir home{"ordax_program"};
  const fs::path& dir = home.path();
  std::vector<pid_t> running;
};

// Lattice names compare without letter case: the file is found whatever case the name is
// written in, on the command line and in stored results (the queue, -r, -best).
TEST_F(ProgramHome, LatticeNamesFindTheirFileWhateverTheLetterCase) {
  lattice("_pencil.txt");
  ASSERT_EQ(run({"-c", "-once", "_PENCIL"}), 0) << output();
  EXPECT_NE(output().find("Score "), std::string::npos) << output();

  // A first result of "TINY" is quarantined in the console queue under that name ...
  lattice("TINY.txt");
  ASSERT_EQ(run({"-c", "-once", "TINY"}), 0) << output();
  ASSERT_NE(readfile(dir / "queuecli.txt").find("<TINY>"), std::string::npos);
  // ... and re-run from the queue, from results.dat (-r) and as the best result once the
  // file is spelled "Tiny.txt".
  fs::rename(dir / "lattices" / "TINY.txt", dir / "lattices" / "Tiny.txt");
  // (Each re-run is quarantined again; the queue is emptied so that -r and -best take theirs
  // from results.dat.)
  const struct {
    std::vector<std::string> args;
    const char* says;
  } reruns[] = {
      {{"-c", "-q"}, "Result passed quarantine"},
      {{"-c", "-r"}, "Score "},
      {{"-c", "-best", "-once"}, "Rerunning best result"},
  };
  for (const auto& r : reruns) {
    SCOPED_TRACE(r.args[1]);
    if (r.args[1] != "-q") fs::remove(dir / "queuecli.txt");
    EXPECT_EQ(run(r.args), 0) << output();
    EXPECT_NE(output().find(r.says), std::string::npos) << output();
    EXPECT_EQ(output().find("[FATAL]"), std::string::npos) << output();
  }
  EXPECT_NE(readfile(dir / "results.dat").find("<TINY>"), std::string::npos);
}

// Background mode holds from the first settings load: a warning there (the settings file
// cannot be rewritten) goes to "messages.log" instead of a question on standard input, and
// the run goes on.
TEST_F(ProgramHome, BackgroundModeLogsWarningsFromTheFirstSettingsLoad) {
  lattice("_pencil.txt");
  writefile(dir / "config.txt", readfile(dir / "config.txt") + "Keep mode: Z\n");  // rewritten
  fs::create_directory(dir / "config.txt.new");  // where the rewrite would go
  EXPECT_EQ(run({"-b", "-once", "_pencil"}), 0) << output();
  EXPECT_EQ(output().find("Continue (Y/N"), std::string::npos) << output();
  EXPECT_NE(readfile(dir / "messages.log")
                .find("[Ordax Warning] [WARNING] Could not write the settings file config.txt\n"),
            std::string::npos);
}

// A lattice named on the command line that cannot be used (missing, or needing a newer
// program) ends the run with a message and code 1; no other lattice is run in its place.
TEST_F(ProgramHome, NamedLatticeThatCannotBeUsedEndsWithCodeOne) {
  lattice("_pencil.txt");
  writefile(dir / "lattices" / "future.txt",
            "!MINVER 999\n" + readfile(fs::path(ORDAX_SOURCE_DIR) / "lattices/_pencil.txt"));
  const struct {
    const char* name;
    const char* says;
  } cases[] = {
      {"nosuch", "[FATAL] Machine lattice file lattices/nosuch.txt not found"},
      {"future", "[FATAL] Lattice future named on the command line could not be used"},
  };
  for (const auto& [name, says] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run({"-c", "-once", name}), 1) << output();
    EXPECT_NE(output().find(says), std::string::npos) << output();
    EXPECT_EQ(output().find("Score "), std::string::npos) << output();
  }
}

// -view holds the machine on screen without simulating: the loop sleeps between frames (it
// must not keep a processor busy), the auto-save file is not deleted on every frame, and the
// quit signal ends the program with code 0.
TEST_F(ProgramHome, ViewWaitsBetweenFramesAndEndsOnTheQuitSignal) {
  lattice("_pencil.txt");
  writefile(dir / "config.txt",
           readfile(dir / "config.txt") + "Auto-save interval (seconds; 0 for no save): 0\n");
  pid_t pid = start({"-view", "_pencil"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waitfor("- Starting -", 60)) << output();
  pause(300);  // the held loop has begun and deleted the auto-save file once
  writefile(dir / "autogfx.sav", "kept");
  double cpu0 = cpuseconds(pid);
  auto t0 = std::chrono::steady_clock::now();
  pause(1500);
  double cpu1 = cpuseconds(pid);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // A busy loop takes the processor whenever it can get it; frames every 50 ms take a few
  // per cent at most, even in a sanitizer build. Whether the loop waits, not how fast it is.
  EXPECT_LT(cpu1 - cpu0, 0.2 * wall);
  EXPECT_TRUE(fs::exists(dir / "autogfx.sav"));
  kill(pid, SIGTERM);
  EXPECT_EQ(finish(pid, 10), 0) << output();
}

// The quit signal reaches the lattice loader: a lattice whose code loops until its bound
// (seconds; then "[FATAL]" and code 1) ends at once with code 0 when the signal comes while it
// loads, and the results of an earlier run are kept byte for byte.
TEST_F(ProgramHome, QuitSignalWhileALatticeLoadsEndsAtOnceAndKeepsTheResults) {
  lattice("_pencil.txt");
  // One result straight into the results files (no quarantine).
  writefile(dir / "config.txt", readfile(dir / "config.txt") +
                                    "Rechecks for best-so-far results (min. 5): 1\n");
  ASSERT_EQ(run({"-c", "-once", "_pencil"}), 0) << output();
  writefile(dir / "lattices" / "loop.txt",
            readfile(dir / "lattices" / "_pencil.txt") + "#n=0; while (n>=0) { n++; }#\n");
  const char* const files[] = {"results.dat", "results.txt"};
  std::vector<std::string> kept;
  for (const char* file : files) kept.push_back(readfile(dir / file));
  ASSERT_NE(kept[0].find("<_pencil>"), std::string::npos);
  pid_t pid = start({"-c", "-once", "loop"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waitfor("TrialType", 60)) << output();
  pause(300);  // inside the loop, which runs for seconds
  kill(pid, SIGTERM);
  EXPECT_EQ(finish(pid, 30), 0) << output();
  EXPECT_EQ(output().find("[FATAL]"), std::string::npos) << output();
  for (size_t i = 0; i < kept.size(); i++) EXPECT_EQ(readfile(dir / files[i]), kept[i]) << files[i];
}

// Without pdflatex, -latextablepdf keeps the LaTeX source, says where it is and ends with
// code 0 like the other switches that write a file.
TEST_F(ProgramHome, LatexTablePdfWithoutPdflatexKeepsTheSourceAndEndsWithZero) {
  lattice("_pencil.txt");
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", dir.c_str(), 1);  // no pdflatex there
  EXPECT_EQ(run({"-c", "-latextablepdf", "_pencil"}), 0) << output();
  setenv("PATH", path.c_str(), 1);
  std::string tex;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".tex") tex = e.path().filename().string();
  ASSERT_EQ(tex.rfind("table__pencil_", 0), 0u) << tex;
  EXPECT_NE(output().find("pdflatex is not installed, so no PDF was made; the LaTeX source is in " +
                          tex),
            std::string::npos)
      << output();
}

// -moments: after the run "moments.txt" holds the report of each moments aperture and then
// the raw sums. Protons of one energy from a Twiss waterbag (ε = 1 mm, β = 0.5 m, α = 0)
// drift to apertures at 1 m and 2 m (a fixed seed). A drift keeps the emittance of the very same particles
// exactly and carries the Twiss parameters from one aperture to the next as
// β₂ = β₁ − 2Lα₁ + L²(1 + α₁²)/β₁, α₂ = α₁ − L(1 + α₁²)/β₁; against the waterbag's expected
// values (rms ε/6, β(s) = β₀ + s²/β₀, α(s) = −s/β₀) the 4,000 particles leave a few per cent.
TEST_F(ProgramHome, MomentsSwitchWritesBothReportsOfTheMomentsApertures) {
  writefile(dir / "lattices" / "drift.txt",
            "t_max=30ns\nseedbase=99\n"
            "{twiss-beam(B) species Energy(MeV) EnergySpread(MeV) TransEmitGeom(mm) betax(m) "
            "betay(m) population TimeSpread(ns)}\n"
            "B \"p\" 200 0 1 0.5 2 4000 0\n"
            "{Drift(D) Length(m) Bore(cm)}\nD 1 50\nE 0.01 50\n"
            "{Moments-aperture(M) radius(cm)}\nM1 50\nM2 50\n"
            "{Finish-aperture(F) radius(cm)}\nF 50\n"
            "line: B,D,M1,D,M2,E,F;\n");
  ASSERT_EQ(run({"-c", "-once", "-moments", "drift"}), 0) << output();
  std::istringstream text(readfile(dir / "moments.txt"));
  // Both tables: header, one line per aperture, a blank line between them.
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(text, line);) {
    rows.emplace_back();
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, '\t');) rows.back().push_back(f);
  }
  ASSERT_EQ(rows.size(), 7u) << readfile(dir / "moments.txt");
  EXPECT_TRUE(rows[3].empty());
  EXPECT_EQ(rows[4][2], "w");
  auto value = [&](int row, const char* column) {
    auto at = std::find(rows[0].begin(), rows[0].end(), column);
    EXPECT_NE(at, rows[0].end()) << column;
    return at == rows[0].end() ? NAN : std::stod(rows[row].at(at - rows[0].begin()));
  };
  const double bg = 0.686842;  // βγ of a 200 MeV proton
  for (int row : {1, 2}) {
    SCOPED_TRACE(rows[row][0]);
    const double s = row;  // m
    // Every particle crosses both (the beam's weight is normalised to 1).
    EXPECT_NEAR(value(row, "weight"), 1, 1e-9);
    EXPECT_NEAR(std::stod(rows[row + 4][2]), 1, 1e-9);  // the raw sums' w
    EXPECT_NEAR(value(row, "bg"), bg, 1e-3);  // |V| also holds the small transverse part
    EXPECT_NEAR(value(row, "emit x(m)"), bg * 1e-3 / 6, 0.06 * bg * 1e-3 / 6);
    EXPECT_NEAR(value(row, "beta x(m)"), 0.5 + s * s / 0.5, 0.07 * (0.5 + s * s / 0.5));
    EXPECT_NEAR(value(row, "alpha x"), -s / 0.5, 0.07 * s / 0.5);
  }
  for (const char* plane : {"x", "y"}) {
    SCOPED_TRACE(plane);
    const std::string p = plane;
    const double e1 = value(1, ("emit " + p + "(m)").c_str()), e2 = value(2, ("emit " + p + "(m)").c_str());
    const double b1 = value(1, ("beta " + p + "(m)").c_str()), a1 = value(1, ("alpha " + p).c_str());
    const double g1 = (1 + a1 * a1) / b1;
    EXPECT_NEAR(e2, e1, 1e-6 * e1);
    // The slope is bgx/bgz, not bgx/bg: the map departs from the linear one by about x'².
    EXPECT_NEAR(value(2, ("beta " + p + "(m)").c_str()), b1 - 2 * a1 + g1, 1e-3 * b1);
    EXPECT_NEAR(value(2, ("alpha " + p).c_str()), a1 - g1, 1e-3 * b1);
  }
}

}  // namespace
