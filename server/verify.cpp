// The verifier: a check value proves that a result is consistent, not that it is honest, so a
// result that would become its lattice's new best waits until the server has run its genome
// again through the client program. The genome goes into a fresh work folder's console queue
// as several test entries; `ordax -c -q` runs each once (one run per entry: the folder's
// re-check count is 1) and records every score in its results.dat. The claim passes when it
// lies within the run-to-run noise of the re-runs' mean.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <thread>

#include "base/report.h"
#include "language/genome.h"
#include "results/results.h"
#include "server/project.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

// Runs `program args` in `dir` with its output in dir/out.txt; its exit code, or −1 when it
// did not end within `seconds` (it is then killed by its PID) or could not start.
int runin(const fs::path& dir, const fs::path& program, const std::vector<std::string>& args,
          int seconds, const std::atomic<bool>& stopping) {
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, 1, (dir / "out.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&io, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &io, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&io);
  if (rc != 0) return -1;
  int status = 0;
  for (int waited = 0; waited < seconds * 20; waited++) {
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (stopping) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

std::vector<double> Project::rerun(const StoredResult& r, std::string* why) {
  fs::path work = fs::path(config.root) / "verify";
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work);
  // The program moves into its own folder, so it is linked in; it reads the project's own
  // lattice and data files.
  fs::create_directory_symlink(fs::path(config.root) / "lattices", work / "lattices", ec);
  fs::create_directory_symlink(fs::path(config.root) / "datafiles", work / "datafiles", ec);
  fs::create_symlink(fs::absolute(config.client), work / "ordax", ec);
  std::ofstream(work / "user.txt") << "verifier\n";
  std::ofstream(work / "config.txt")
      << "Auto-send results ([Y]es, [N]o): N\n"
         "Update lattice files from web every N hours (0=don't): 0\n"
         "Download sample results file after a number of hours (0=don't, min. 6): 0\n"
         "Threads (number or 'auto'): 1\n"
         "Auto-save interval (seconds; 0 for no save): 0\n"
         "Rechecks for best-so-far results (min. 5): 1\n";
  {
    std::lock_guard<std::mutex> g(library);
    Result stored = {const_cast<char*>(r.genome.c_str()), const_cast<char*>(r.line.c_str()),
                     r.score};
    Genome genome = Result_genome(stored, 0);  // the genes without hash fields
    std::string line = Genome_string(genome);
    Genome_free(genome);
    std::ofstream queue(work / "queuecli.txt", std::ios::binary);
    for (int i = 0; i < config.verifyruns; i++) queue << line << "\r\nTEST <" << r.lattice << ">\r\n";
  }
  int code = runin(work, work / "ordax", {"-c", "-q"}, config.verifytimeout, stopping);
  std::vector<double> scores;
  if (code != 0) {
    *why = code < 0 ? "the re-run did not finish" : "the re-run ended with code " + std::to_string(code);
    return scores;
  }
  std::lock_guard<std::mutex> g(library);
  FILE* f = fopen((work / "results.dat").c_str(), "rb");
  if (f) {
    for (Result x; (x = Result_read(f, nullptr, nullptr, 1)).text;) {
      scores.push_back(x.score);
      Result_free(x);
    }
    fclose(f);
  }
  if ((int)scores.size() != config.verifyruns)
    *why = "the re-run gave " + std::to_string(scores.size()) + " scores";
  return scores;
}

int Project::verifypass() {
  if (config.client.empty()) return 0;
  int settled = 0;
  std::map<std::string, std::vector<StoredResult>> bylattice;
  for (StoredResult& r : store->held(10000)) bylattice[r.lattice].push_back(std::move(r));
  for (auto& [lattice, held] : bylattice) {
    if (stopping) break;
    std::sort(held.begin(), held.end(),
              [](const StoredResult& a, const StoredResult& b) { return a.score > b.score; });
    double best = 0;
    bool hasbest = store->best(lattice, &best);
    // The highest is re-run; everything not above it waits for its outcome.
    const StoredResult& r = held.front();
    if (hasbest && r.score <= best) {
      for (const StoredResult& h : held) settled += store->setstate(h.id, RESULT_ACCEPTED);
      rebuildsample(lattice);
      continue;
    }
    std::string why;
    std::vector<double> s = rerun(r, &why);
    if ((int)s.size() != config.verifyruns || s.size() < 2) {
      fprintf(stderr, "verify: result %lld of %s stays held: %s\n", (long long)r.id,
              lattice.c_str(), why.c_str());
      return settled;
    }
    double mean = 0, var = 0;
    for (double x : s) mean += x;
    mean /= (double)s.size();
    for (double x : s) var += (x - mean) * (x - mean);
    double sd = std::sqrt(var / (double)(s.size() - 1));
    // The claim is a single run or a trimmed mean; three standard deviations of one run plus
    // the mean's own error, and the rounding of the written score, are the noise allowed.
    double allowed = 3 * sd * std::sqrt(1 + 1.0 / (double)s.size()) + 0.5e-6 +
                     1e-9 * std::fabs(mean);
    bool agrees = std::fabs(r.score - mean) <= allowed;
    fprintf(stderr, "verify: result %lld of %s claims %.6g, re-run mean %.6g sd %.3g: %s\n",
            (long long)r.id, lattice.c_str(), r.score, mean, sd,
            agrees ? "accepted" : "rejected");
    settled += store->setstate(r.id, agrees ? RESULT_ACCEPTED : RESULT_REJECTED);
    if (!agrees) store->addcounter("failed verification", 1);
    else rebuildsample(lattice);
  }
  return settled;
}

void Project::wake() {
  std::lock_guard<std::mutex> g(waitlock);
  pending = true;
  waiter.notify_all();
}

void Project::stop() {
  stopping = true;
  wake();
}

void Project::verifyloop() {
  wake();  // results held before a restart are taken up at once
  while (!stopping) {
    {
      std::unique_lock<std::mutex> g(waitlock);
      waiter.wait_for(g, std::chrono::seconds(30), [this] { return pending; });
      pending = false;
    }
    // Keep going while passes settle something (a pass re-runs one result per lattice).
    while (!stopping && verifypass() > 0) {
    }
  }
}
