// The project server against both store engines: SQLite always, PostgreSQL when
// tests/server/pgcluster.sh has started a throw-away cluster and named it in ORDAX_TEST_PG.
// Results are made with the client's own library (so their check values are real), uploads go
// through Project directly and, for the HTTP layer, through the built server with curl as an
// independent multipart encoder. The verifier re-runs genomes through the built client.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/bytes.h"
#include "base/platform.h"
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

// A project folder (lattices/ with Pencilfree published, datafiles/) that is the working
// directory while the test runs, with its store on the engine of the test's parameter.
class ServerStore : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    url = storeurl(GetParam(), home.path() / "ordax.db");
    if (url.empty()) GTEST_SKIP() << "no PostgreSQL cluster (run through tests/server/pgcluster.sh)";
    fs::create_directory_symlink(fs::path(ORDAX_SOURCE_DIR) / "datafiles", home.path() / "datafiles");
    writefile(home.path() / "Pencilfree.txt", pencillattice());
    std::string error;
    store = Store::open(url, &error);
    ASSERT_TRUE(store) << error;
    config.root = home.path().string();
    config.verifyruns = 3;
    project = std::make_unique<Project>(store.get(), config);
    std::string message;
    ASSERT_EQ(project->publish((home.path() / "Pencilfree.txt").string(), &message), 0) << message;
  }
  void verifier() {
    config.client = ORDAX_BINARY;
    project = std::make_unique<Project>(store.get(), config);
  }
  UploadOutcome send(const std::string& data, const char* name = "20261207-120000-abcde-alice.txt") {
    return project->upload("v4.4x", name, data);
  }

  testsupport::TempDir home{"ordax_server"};
  testsupport::CwdGuard cwd{home.path()};
  std::string url;
  ServerConfig config;
  std::unique_ptr<Store> store;
  std::unique_ptr<Project> project;
};

INSTANTIATE_TEST_SUITE_P(Sqlite, ServerStore, ::testing::Values("sqlite"));
INSTANTIATE_TEST_SUITE_P(Postgres, ServerStore, ::testing::Values("postgres"));

// Each kind of bad result is refused for its own reason and stores nothing; a genuine one is
// accepted (no verifier: it enters at once).
TEST_P(ServerStore, EachBadResultIsRefusedForItsReason) {
  std::string genuine = result("#gen=0;s1f=579;", 100);
  std::string forgedscore = genuine;
  forgedscore.replace(forgedscore.find("100.000000"), 10, "99.000000");
  writefile(home.path() / "lattices/Elsewhere.txt", pencillattice());  // present, not published
  const struct { const char* name; std::string upload; const char* reason; } cases[] = {
      {"test entry", "#gen=0;s1f=579;\r\nTEST <Pencilfree>\r\n", "test"},
      {"rank line", result("#gen=0;s1f=579;", 100, "Pencilfree", ORDAX_VERSION, "RANK 1"), "rank"},
      {"old version", result("#gen=0;s1f=579;", 100, "Pencilfree", "v4.2"), "version"},
      {"not finite", "#gen=0;s1f=579;\r\nnan (0.0 Mpts) [v4.47_dev] <Pencilfree> {00}\r\n", "non-finite"},
      {"unpublished lattice", result("#gen=0;s1f=579;", 100, "Elsewhere"), "unknown lattice"},
      {"score changed", forgedscore, "check value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UploadOutcome out = send(c.upload);
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(out.accepted + out.held, 0);
    EXPECT_EQ(out.rejected, (std::map<std::string, int>{{c.reason, 1}}));
  }
  EXPECT_EQ(store->count(RESULT_ACCEPTED), 0);
  UploadOutcome out = send(genuine);
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.rejectedtotal(), 0);
  EXPECT_LT(out.reply.size(), 1024u);
  EXPECT_NE(out.reply.find("<pre id='signal'>v4.47_dev\n</pre>"), std::string::npos) << out.reply;
  EXPECT_EQ(project->upload("../v4.4x", "a-b-c-d.txt", genuine).status, 400);
  // A retired lattice leaves the list and takes no more results.
  ASSERT_TRUE(store->retire("PENCILFREE"));
  EXPECT_EQ(project->latticelist(), "");
  EXPECT_EQ(send(result("#gen=0;s1f=1;", 50)).rejected, (std::map<std::string, int>{{"unknown lattice", 1}}));
}

// 10,000 copies of one result store it once; the rest are counted as duplicates.
TEST_P(ServerStore, RepeatedLinesAreStoredOnce) {
  std::string one = result("#gen=0;s1f=123;", 97.5), many;
  for (int i = 0; i < 10000; i++) many += one;
  UploadOutcome out = send(many);
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.duplicates, 9999);
  EXPECT_EQ(store->count(RESULT_ACCEPTED), 1);
}

// The binary form carries the same results as the text form, and the sample file built from
// the store reads back as the best results, re-checked ones first.
TEST_P(ServerStore, BinaryUploadAndSampleFileRoundTrip) {
  std::string text;
  const struct { const char* genome; double score; } made[] = {
      {"#gen=0;s1f=100;", 81}, {"#gen=0;s1f=200;#runs=5;", 64}, {"#gen=0;s1f=300;", 99},
      {"#gen=0;s1f=400;#runs=5;", 72}};
  for (const auto& m : made) text += result(m.genome, m.score);
  std::string bin;
  {
    std::lock_guard<std::mutex> g(Project::library);
    testsupport::Messages quiet;
    FILE* f = platform_memfile(text.data(), text.size());
    LSet set = LSet_new(sizeof(Result));
    for (Result r; (r = Result_read(f, nullptr, nullptr, 1)).text;) LSet_add(&set, &r);
    fclose(f);
    ByteWriter w = bytewriter_string(&bin);
    ASSERT_EQ(Results_write_Binary(set, &w), 1);
    Results_free(set);
  }
  UploadOutcome out = send(bin);
  EXPECT_EQ(out.accepted, 4);
  EXPECT_EQ(send(text).duplicates, 4);  // the text form holds the very same results
  std::optional<std::string> sample = project->samplefile("pencilfree_100.bin");
  ASSERT_TRUE(sample);
  std::vector<double> scores;
  {
    std::lock_guard<std::mutex> g(Project::library);
    testsupport::Messages quiet;
    ByteReader r = bytereader_memory(sample->data(), sample->size());
    ResultFormat fmt = {3, 6, 1, "Mpts"};
    LSet set = Results_read_Binary(&r, &fmt);
    for (uint32_t i = 0; i < set.count; i++) scores.push_back(LSet_at<Result>(set, i).score);
    Results_free(set);
  }
  EXPECT_EQ(scores, (std::vector<double>{72, 64, 99, 81}));
}

// A binary upload whose header claims absurd sizes stores nothing and is still answered.
TEST_P(ServerStore, HostileBinaryHeaderStoresNothing) {
  std::string bin = "RB01";
  ByteWriter w = bytewriter_string(&bin);
  const int32_t fields[] = {0x7fffffff, 1000000, 25, 0x7fffffff, -1};
  for (int32_t v : fields) bw_i32(&w, v);
  bin += std::string(64, '\xff');
  UploadOutcome out = send(bin);
  EXPECT_EQ(out.status, 200);
  EXPECT_EQ(out.accepted + out.held, 0);
  EXPECT_EQ(store->count(RESULT_ACCEPTED) + store->count(RESULT_HELD), 0);
}

// A store that stays busy (another writer holds it past the 5 s wait) is a passing failure:
// 503, nothing of the upload kept, and the same upload succeeds once the store is free.
TEST_P(ServerStore, BusyStoreAnswers503AndKeepsNothing) {
  if (std::string(GetParam()) != "sqlite") GTEST_SKIP() << "a held write lock is an SQLite case";
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(url.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::string upload = result("#gen=0;s1f=579;", 100) + result("#gen=0;s1f=580;", 90);
  UploadOutcome out = send(upload);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(out.status, 503);
  EXPECT_EQ(out.accepted, 0);
  EXPECT_NE(out.reply.find("<pre id='signal'>"), std::string::npos);
  EXPECT_EQ(store->count(RESULT_ACCEPTED), 0);
  EXPECT_EQ(send(upload).accepted, 2);
}

// A would-be best waits for the verifier: a forged score with a good check value fails the
// re-run through the client and never reaches the sample file; the honest one passes.
TEST_P(ServerStore, VerifierRejectsForgedBestAndAcceptsHonestOne) {
  verifier();
  UploadOutcome out = send(result("#gen=0;s1f=579;#runs=5;", 100) + result("#gen=0;s1f=580;", 1000));
  EXPECT_EQ(out.held, 2);
  EXPECT_FALSE(project->samplefile("pencilfree_100.bin"));
  int settled = 0;
  for (int pass = 0; pass < 4; pass++) settled += project->verifypass();
  EXPECT_EQ(settled, 2);
  EXPECT_EQ(store->count(RESULT_REJECTED), 1);
  std::vector<StoredResult> top = store->top("Pencilfree", 100);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].score, 100);
  // A later result not above the verified best enters at once.
  EXPECT_EQ(send(result("#gen=0;s1f=581;", 80)).accepted, 1);
}

// ---- the server process over HTTP ----

class ServerHttp : public ServerStore {
 protected:
  void SetUp() override {
    ServerStore::SetUp();
    if (IsSkipped()) return;
    project.reset();
    server = std::make_unique<ServerPeer>(home.path(), url);
    ASSERT_GT(server->port, 0) << readfile(home.path() / "server.log");
  }
  void TearDown() override {
    if (server) {
      EXPECT_EQ(server->stop(), 0);  // SIGTERM ends it cleanly
    }
  }
  std::unique_ptr<ServerPeer> server;
};

INSTANTIATE_TEST_SUITE_P(Sqlite, ServerHttp, ::testing::Values("sqlite"));
INSTANTIATE_TEST_SUITE_P(Postgres, ServerHttp, ::testing::Values("postgres"));

// Every reply is closed with a length; uploads encoded by curl are parsed; hostile requests
// are answered and leave the server up.
TEST_P(ServerHttp, AnswersEveryRequestAndStaysUp) {
  writefile(home.path() / "up.txt", result("#gen=0;s1f=579;", 100));
  std::string big(16u * 1024 * 1024 + 1, 'x');
  writefile(home.path() / "big.txt", big);
  const std::string upload = server->url("/ordax/uploadresults.php");
  const struct { const char* name; std::vector<std::string> args; int status; const char* says; } cases[] = {
      {"server list", {server->url("/ordax/servers.csv")}, 200, ",-,-\n"},
      {"lattice list", {server->url("/ordax/lattices/list.php")}, 200, "Pencilfree\n"},
      {"lattice file", {server->url("/ordax/lattices/PENCILFREE.txt")}, 200, "[1,4]"},
      {"no sample yet", {server->url("/ordax/samplefiles/pencilfree_100.bin")}, 404, ""},
      {"upload", {"-F", "folder=v4.4x", "-F", "data=@up.txt;filename=../../x-y-z-eve.txt", upload}, 200,
       "Accepted 1,"},
      {"sample", {server->url("/ordax/samplefiles/pencilfree_100.bin")}, 200, "RB01"},
      {"oversize", {"-F", "folder=v4.4x", "-F", "data=@big.txt", upload}, 413, ""},
      {"broken multipart", {"-H", "Content-Type: multipart/form-data; boundary=zz", "--data-binary",
                            "--zz\r\nContent-Disposition: form-data; name=\"data\"\r\n\r\nabc", upload}, 400, ""},
      {"bad folder", {"-F", "folder=../../etc", "-F", "data=@up.txt", upload}, 400, "Refused"},
      {"status page", {server->url("/")}, 200, "<td>eve</td>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpReply r = curl(home.path(), c.args);
    EXPECT_EQ(r.status, c.status) << r.head;
    EXPECT_NE(r.head.find("Content-Length: " + std::to_string(r.body.size()) + "\r\n"), std::string::npos) << r.head;
    EXPECT_NE(r.head.find("Connection: close\r\n"), std::string::npos) << r.head;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
  }
  EXPECT_FALSE(fs::exists(home.path().parent_path() / "x-y-z-eve.txt"));
}

}  // namespace
