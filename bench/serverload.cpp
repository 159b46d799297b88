// Load bench of the project server: starts the built server on a loopback ephemeral port with
// a fresh project (one published lattice, no verifier), lets N uploaders post batches of
// distinct results for a fixed time, and prints uploads/s and results/s. Then it counts on both
// sides: every result the replies accepted must be in the store exactly once (none lost, none
// duplicated). Exit 1 when the counts disagree.
//   ordax-server-load SERVER_PROGRAM SOURCE_DIR [--db URL] [--threads N] [--seconds S]
//                     [--batch M]
// With no --db the store is SQLite in the temporary project; a postgresql:// URL (for example
// from tests/server/pgcluster.sh) measures PostgreSQL.
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/report.h"
#include "base/version.h"
#include "language/genome.h"
#include "results/checkval.h"
#include "results/results.h"
#include "server/store.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

void quiet(const char*, int, void*) {}

std::string readall(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("Usage: ordax-server-load SERVER_PROGRAM SOURCE_DIR [--db URL] [--threads N] "
          "[--seconds S] [--batch M]\n", stderr);
    return 2;
  }
  std::string server = fs::absolute(argv[1]).string(), source = fs::absolute(argv[2]).string();
  std::string db;
  int threads = 8, batch = 20;
  double seconds = 10;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--db") db = argv[i + 1];
    else if (a == "--threads") threads = atoi(argv[i + 1]);
    else if (a == "--seconds") seconds = atof(argv[i + 1]);
    else if (a == "--batch") batch = atoi(argv[i + 1]);
  }
  char tmpl[] = "/tmp/ordax_load.XXXXXX";
  fs::path root = mkdtemp(tmpl);
  if (db.empty()) db = (root / "ordax.db").string();
  fs::create_directories(root / "lattices");
  fs::create_directory_symlink(fs::path(source) / "datafiles", root / "datafiles");
  std::string lattice = readall(fs::path(source) / "lattices/_pencil.txt");
  lattice.replace(lattice.find("S1 20 2 100"), 11, "S1 20 [1,4] 100");
  std::ofstream(root / "Loadline.txt") << lattice;

  auto run = [&](std::vector<std::string> words, const char* out) {
    std::vector<char*> av;
    for (std::string& w : words) av.push_back(w.data());
    av.push_back(nullptr);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 1, (root / out).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&io, 2, (root / "server.log").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, av[0], &io, nullptr, av.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&io);
    return pid;
  };
  int status = 0;
  pid_t pub = run({server, "publish", "--root", root.string(), "--db", db,
                   (root / "Loadline.txt").string()}, "publish.out");
  if (pub < 0 || waitpid(pub, &status, 0) != pub || status != 0) {
    fprintf(stderr, "publishing failed: %s\n", readall(root / "server.log").c_str());
    return 1;
  }

  // The results to send, made beforehand with real check values: distinct scores (a
  // permutation of 50 + k·10^−6), so each is a different result, arriving in no order, as
  // from many volunteers: most do not enter the lattice's top 100.
  const int poolsize = 200000;
  std::vector<std::string> pool;
  {
    fs::current_path(root);
    report_setsink(quiet, nullptr);
    checksumcacheon = 1;
    Genome g = Genome_fromstring("#gen=0;s1f=500;", 1);
    ResultFormat fmt = {3, 6, 1, "Mpts"};
    for (int i = 0; i < poolsize; i++) {
      Result r = Result_create(g, 50 + (double)((i * 7919L) % poolsize) * 1e-6, 0.0, ORDAX_VERSION, "Loadline", nullptr, &fmt,
                               ordaxchecksum);
      pool.push_back(std::string(r.genome) + "\r\n" + r.text + "\r\n");
      Result_free(r);
    }
    Genome_free(g);
  }

  pid_t srv = run({server, "serve", "--root", root.string(), "--listen", "127.0.0.1:0", "--db",
                   db, "--client", "none"}, "server.out");
  int port = 0;
  for (int i = 0; i < 500 && port == 0; i++) {
    std::string said = readall(root / "server.out");
    size_t at = said.find("listening on 127.0.0.1:");
    if (at != std::string::npos && said.find('\n', at) != std::string::npos) port = atoi(said.c_str() + at + 23);
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (port == 0) {
    fprintf(stderr, "the server did not start: %s\n", readall(root / "server.log").c_str());
    kill(srv, SIGKILL);
    waitpid(srv, nullptr, 0);
    return 1;
  }

  std::atomic<int> next{0};
  std::atomic<long> uploads{0}, failed{0}, sent{0}, accepted{0};
  std::atomic<bool> over{false};
  auto uploader = [&](int id) {
    httplib::Client cli("127.0.0.1", port);
    cli.set_keep_alive(false);
    while (!over) {
      int start = next.fetch_add(batch);
      if (start + batch > poolsize) break;
      std::string data;
      for (int k = start; k < start + batch; k++) data += pool[k];
      httplib::MultipartFormDataItems items = {
          {"folder", "v4.4x", "", ""},
          {"data", data, "20261207-120000-load" + std::to_string(id % 10) + "-user" + std::to_string(id) + ".txt",
           "application/octet-stream"}};
      auto res = cli.Post("/ordax/uploadresults.php", items);
      if (res && res->status == 200) {
        uploads++;
        sent += batch;
        size_t at = res->body.find("Accepted ");
        if (at != std::string::npos) accepted += atol(res->body.c_str() + at + 9);
      } else {
        failed++;
      }
    }
  };
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> team;
  for (int i = 0; i < threads; i++) team.emplace_back(uploader, i);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  over = true;
  for (std::thread& t : team) t.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  kill(srv, SIGTERM);
  waitpid(srv, &status, 0);

  std::string error;
  std::unique_ptr<Store> store = Store::open(db, &error);
  int64_t stored = store ? store->count(RESULT_ACCEPTED) : -1;
  bool exhausted = next.load() + batch > poolsize;
  printf("engine %s, %d uploaders, %d results per upload, %.1f s%s\n",
         db.find("://") != std::string::npos ? "PostgreSQL" : "SQLite", threads, batch, elapsed,
         exhausted ? " (the prepared results ran out)" : "");
  printf("uploads %ld (%.1f/s), failed %ld, results sent %ld, accepted %ld (%.1f/s), stored %lld\n",
         uploads.load(), (double)uploads.load() / elapsed, failed.load(), sent.load(),
         accepted.load(), (double)accepted.load() / elapsed, (long long)stored);
  bool ok = stored == accepted.load() && accepted.load() == sent.load() && status == 0;
  printf("%s\n", ok ? "no result lost or duplicated" : "COUNTS DISAGREE");
  fs::current_path("/");
  fs::remove_all(root);
  return ok ? 0 : 1;
}
