// Peers of the server tests: the store URL of an engine (a PostgreSQL cluster's tables are
// dropped first, so each test starts empty), the built server started on a loopback
// ephemeral port and stopped by its PID, curl as an independent HTTP client, and programs run
// in their own folder with a bounded wait.
#pragma once

#include <libpq-fe.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/version.h"
#include "language/genome.h"
#include "results/checkval.h"
#include "results/results.h"
#include "server/project.h"
#include "tests/support/support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::readfile;

// A pencil beam through one solenoid whose field is the free parameter: every muon that does
// not decay finishes, so an honest score is 100 (rarely less).
std::string pencillattice() {
  std::string text = readfile(fs::path(ORDAX_SOURCE_DIR) / "lattices/_pencil.txt");
  size_t at = text.find("S1 20 2 100");
  return text.replace(at, 11, "S1 20 [1,4] 100");
}

// A result of `lattice` with a real check value, as "genome\r\nline\r\n".
std::string result(const char* genome, double score, const char* lattice = "Pencilfree",
                   const char* version = ORDAX_VERSION, const char* extra = nullptr) {
  std::lock_guard<std::mutex> g(Project::library);
  testsupport::Messages quiet;
  Genome gen = Genome_fromstring(genome, 1);
  ResultFormat fmt = {3, 6, 1, "Mpts"};
  Result r = Result_create(gen, score, 0.0, version, lattice, extra, &fmt, ordaxchecksum);
  std::string text = std::string(r.genome) + "\r\n" + r.text + "\r\n";
  Result_free(r);
  Genome_free(gen);
  return text;
}


// "sqlite": the file path; "postgres": ORDAX_TEST_PG with the server's tables dropped, or ""
// when no cluster was started.
inline std::string storeurl(const std::string& engine, const fs::path& sqlitefile) {
  if (engine == "sqlite") return sqlitefile.string();
  const char* url = getenv("ORDAX_TEST_PG");
  if (!url || !*url) return "";
  PGconn* c = PQconnectdb(url);
  PQclear(PQexec(c, "SET client_min_messages TO WARNING"));
  PQclear(PQexec(c, "DROP TABLE IF EXISTS results, lattices, counters"));
  PQfinish(c);
  return url;
}

// Starts `args` in `dir` with standard input empty and both outputs in dir/`log`; −1 on failure.
inline pid_t spawnin(const fs::path& dir, const std::vector<std::string>& args,
                     const std::string& log, const std::string& out = "") {
  std::vector<std::string> words = args;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, 2, (dir / log).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out.empty()) posix_spawn_file_actions_adddup2(&io, 2, 1);
  else posix_spawn_file_actions_addopen(&io, 1, (dir / out).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&io, dir.c_str());
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &io, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&io);
  return pid;
}

inline int finish(pid_t pid, double seconds) { return testsupport::finishprocess(pid, seconds); }

// The built server serving `root` on 127.0.0.1 with a port of its choice.
struct ServerPeer {
  ServerPeer(const fs::path& root, const std::string& db, const std::string& client = "none")
      : dir(root) {
    pid = spawnin(root, {ORDAX_SERVER_BINARY, "serve", "--root", root.string(), "--listen",
                         "127.0.0.1:0", "--db", db, "--client", client, "--verify-runs", "3"},
                  "server.log", "server.out");
    for (int i = 0; i < 500 && pid > 0 && port == 0; i++) {  // at most 10 s
      std::string said = testsupport::readfile(root / "server.out");
      size_t at = said.find("listening on 127.0.0.1:");
      if (at != std::string::npos && said.find('\n', at) != std::string::npos)
        port = atoi(said.c_str() + at + 23);
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~ServerPeer() { stop(); }
  // SIGTERM, then the exit code (−1: it had to be killed).
  int stop() {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    int code = finish(pid, 20);
    pid = -1;
    return code;
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  fs::path dir;
  pid_t pid = -1;
  int port = 0;
};

struct HttpReply {
  int status = -1;
  std::string head, body;
};

// curl's view of one request (no Expect header, 60 s at most), run in `dir`.
inline HttpReply curl(const fs::path& dir, const std::vector<std::string>& args) {
  std::vector<std::string> words{"curl", "-s", "-i", "-m", "60", "-H", "Expect:"};
  words.insert(words.end(), args.begin(), args.end());
  fs::remove(dir / "curl.out");
  finish(spawnin(dir, words, "curl.log", "curl.out"), 70);
  std::string all = testsupport::readfile(dir / "curl.out");
  HttpReply r;
  size_t end = all.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.head = all.substr(0, end + 2);
  r.body = all.substr(end + 4);
  if (r.head.rfind("HTTP/1.1 ", 0) == 0) r.status = atoi(r.head.c_str() + 9);
  return r;
}

}  // namespace
