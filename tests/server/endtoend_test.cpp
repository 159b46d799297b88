// The whole loop on loopback: the built server with its verifier, two clients (`ordax -c` in
// their own folders, ORDAX_PROJECT_URL pointing at the server) that fetch the lattice, run
// and upload on their own; a forged result (good check value, impossible score) posted with
// curl, which the verifier must reject before it reaches the sample file; and a third client
// whose refresh brings the lattice and the sample file and whose genomes are then made from
// the other clients' results. Every process is stopped by its PID.
#include <gtest/gtest.h>

#include <set>

#include "base/bytes.h"
#include "base/version.h"
#include "language/genome.h"
#include "results/binary.h"
#include "results/checkval.h"
#include "results/results.h"
#include "server/project.h"
#include "server/store.h"
#include "tests/server/serverpeers.h"
#include "tests/support/support.h"

namespace {

using testsupport::readfile;
using testsupport::writefile;

// A client folder: the program linked in, an empty lattices/, a user name and settings.
fs::path clientfolder(const fs::path& base, const std::string& user, const std::string& extra) {
  fs::path dir = base / user;
  fs::create_directories(dir / "lattices");
  fs::create_directory_symlink(fs::path(ORDAX_SOURCE_DIR) / "datafiles", dir / "datafiles");
  fs::create_symlink(ORDAX_BINARY, dir / "ordax");
  writefile(dir / "user.txt", user);
  writefile(dir / "config.txt",
            "Update lattice files from web every N hours (0=don't): 1\n"
            "Download sample results file after a number of hours (0=don't, min. 6): 6\n"
            "Threads (number or 'auto'): 1\n"
            "Auto-save interval (seconds; 0 for no save): 0\n" + extra);
  return dir;
}

TEST(ServerEndToEndSlow, ClientsShareResultsThroughTheServerAndAForgeryIsRejected) {
  testsupport::TempDir home{"ordax_e2e"};
  fs::path root = home.path() / "project";
  fs::create_directories(root);
  fs::create_directory_symlink(fs::path(ORDAX_SOURCE_DIR) / "datafiles", root / "datafiles");
  std::string lattice = pencillattice();
  writefile(home.path() / "Pencilfree.txt", lattice);
  ASSERT_EQ(finish(spawnin(home.path(), {ORDAX_SERVER_BINARY, "publish", "--root", root.string(),
                                         (home.path() / "Pencilfree.txt").string()},
                           "publish.log"), 30), 0);
  std::string db = (root / "ordax.db").string();
  ServerPeer server(root, db, ORDAX_BINARY);
  ASSERT_GT(server.port, 0) << readfile(root / "server.log");
  setenv("ORDAX_PROJECT_URL", server.url("/ordax").c_str(), 1);
  std::string error;
  std::unique_ptr<Store> store = Store::open(db, &error);
  ASSERT_TRUE(store) << error;
  auto uploaded = [&](const std::string& user) {
    for (const UserStats& u : store->userstats())
      if (u.user == user) return u.accepted + u.held + u.rejected;
    return (int64_t)0;
  };

  // Two volunteers run on their own until each has uploaded (50 results make an upload).
  std::vector<pid_t> clients;
  for (const char* user : {"alice", "bob"}) {
    fs::path dir = clientfolder(home.path(), user, "Auto-send results ([Y]es, [N]o): Y\n");
    clients.push_back(spawnin(dir, {(dir / "ordax").string(), "-c"}, "out.txt"));
    ASSERT_GT(clients.back(), 0);
  }
  std::vector<int> ended(clients.size(), -1);  // exit codes of clients that stopped early
  for (int i = 0; i < 1200 && (uploaded("alice") == 0 || uploaded("bob") == 0); i++) {
    bool alive = false;
    for (size_t k = 0; k < clients.size(); k++) {
      int status = 0;
      if (ended[k] < 0 && waitpid(clients[k], &status, WNOHANG) == clients[k])
        ended[k] = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      alive = alive || ended[k] < 0;
    }
    if (!alive) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (size_t k = 0; k < clients.size(); k++) {
    EXPECT_EQ(ended[k], -1) << "a client ended on its own";
    if (ended[k] >= 0) continue;
    kill(clients[k], SIGTERM);
    EXPECT_EQ(finish(clients[k], 30), 0);
  }
  ASSERT_GT(uploaded("alice"), 0) << readfile(home.path() / "alice/out.txt");
  ASSERT_GT(uploaded("bob"), 0) << readfile(home.path() / "bob/out.txt");

  // A forgery: the check value is right (anyone with the code can make one), the score is not.
  std::string forged;
  {
    testsupport::CwdGuard cwd(root);
    forged = result("#gen=0;s1f=777;#runs=5;", 1000);
  }
  writefile(home.path() / "forged.txt", forged);
  HttpReply reply = curl(home.path(), {"-F", "folder=v4.4x", "-F",
                                       "data=@forged.txt;filename=20261207-120000-qwert-mallory.txt",
                                       server.url("/ordax/uploadresults.php")});
  EXPECT_NE(reply.body.find("held for verification 1"), std::string::npos) << reply.body;
  for (int i = 0; i < 600 && store->count(RESULT_HELD) > 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(store->count(RESULT_HELD), 0) << readfile(root / "server.log");
  int64_t mallory = -1;
  for (const UserStats& u : store->userstats())
    if (u.user == "mallory") mallory = u.rejected;
  EXPECT_EQ(mallory, 1);
  std::vector<StoredResult> top = store->top("Pencilfree", 100);
  ASSERT_FALSE(top.empty());
  EXPECT_LT(top.front().score, 1000);

  // The third volunteer only refreshes and runs: the sample file it gets is the server's top
  // list (the forgery is not in it), and its genomes are mutations of those results.
  // (Only Mutate besides Random: a non-random genome is then a mutation of a stored result.)
  fs::path carol = clientfolder(home.path(), "carol",
                                "Auto-send results ([Y]es, [N]o): N\n"
                                "Rechecks for best-so-far results (min. 5): 1\n"
                                "TrialType ratios: Random=0;Mutate=1;Crossover=0;Interpolate=0;"
                                "Extrapolate=0;MuSpherical=0;Brindle=0;Extreme=0;LocalGrad=0;"
                                "TopoSmooth=0;CellDouble=0;CellDelete=0;CellCommute=0;\n");
  pid_t third = spawnin(carol, {(carol / "ordax").string(), "-c"}, "out.txt");
  ASSERT_GT(third, 0);
  bool mutated = false;
  for (int i = 0; i < 600 && !mutated; i++) {
    mutated = readfile(carol / "out.txt").find("TrialType=Mutate") != std::string::npos;
    if (!mutated) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(third, SIGTERM);
  EXPECT_EQ(finish(third, 30), 0);
  EXPECT_TRUE(mutated) << readfile(carol / "out.txt");
  EXPECT_EQ(readfile(carol / "lattices/Pencilfree.txt"), lattice);
  std::set<std::string> served, sampled;
  for (const StoredResult& s : top) served.insert(s.line);
  {
    std::lock_guard<std::mutex> g(Project::library);
    testsupport::Messages quiet;
    LSet set = Results_load((carol / "samplefiles/Pencilfree.txt").c_str(), nullptr);
    for (uint32_t i = 0; i < set.count; i++) {
      std::string line = LSet_at<Result>(set, i).text;
      while (!line.empty() && line.back() == ' ') line.pop_back();
      sampled.insert(line);
    }
    Results_free(set);
  }
  EXPECT_EQ(sampled, served);
  unsetenv("ORDAX_PROJECT_URL");
}

}  // namespace
