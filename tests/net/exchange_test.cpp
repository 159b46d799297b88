// The exchange with the project's servers against real loopback peers: php -S as the project's
// web server (server list, lattice list and files, samples, the upload script), pyftpdlib with
// the system's tnftp for FTP uploads, and bare listening sockets that never answer. The pieces
// that guard against hostile input (names, server fields, RANK marks, FTP scripts and
// transcripts) are checked against tables.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <set>

#include "base/files.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/version.h"
#include "language/genome.h"
#include "language/parser.h"
#include "lattice/latticefiles.h"
#include "net/exchange.h"
#include "net/ftp.h"
#include "net/http.h"
#include "results/binary.h"
#include "results/optimiser.h"
#include "tests/net/peers.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using nettest::Peer;
using testsupport::Messages;
using testsupport::readfile;
using testsupport::writefile;

const ResultFormat RUNFORMAT{3, 6, 1, "Mpts"};
const char* const kVersionFolder = "v4.4x";

// A result of lattice `lat` with genome a=i%1000, b=i/1000 and a check value computed from the
// lattice file (which must be present for it to verify).
Result makeresult(int i, const char* lat = "Lat") {
  char text[64];
  snprintf(text, sizeof text, "a=%03d;b=%03d;", i % 1000, i / 1000 % 1000);
  Genome g = Genome_fromstring(text, 1);
  Result r = Result_create(g, 10 + i * 0.001, 1, ORDAX_VERSION, lat, "", &RUNFORMAT, ordaxchecksum);
  Genome_free(g);
  return r;
}

std::string pairtext(Result r) {
  return std::string(r.genome) + "\r\n" + r.text + "\r\n";
}

std::string resultsfile(int first, int n, const char* lat = "Lat") {
  std::string s;
  for (int i = first; i < first + n; i++) {
    Result r = makeresult(i, lat);
    s += pairtext(r);
    Result_free(r);
  }
  return s;
}

// genome|line of every result of a file (text or binary; trailing blanks of the line dropped,
// as reading a text file drops them).
std::multiset<std::string> contents(const std::string& path) {
  LSet set = Results_load_ext(path.c_str(), &RUNFORMAT);
  std::multiset<std::string> out;
  for (uint32_t i = 0; i < set.count; i++) {
    std::string line = LSet_at<Result>(set, i).text;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out.insert(std::string(LSet_at<Result>(set, i).genome) + "|" + line);
  }
  Results_free(set);
  return out;
}

// A socket that listens and never accepts: connections complete and then hear nothing.
struct Silent {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  Silent() {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, (sockaddr*)&a, sizeof a);
    listen(fd, 16);
    getsockname(fd, (sockaddr*)&a, &len);
    port = ntohs(a.sin_port);
  }
  ~Silent() { close(fd); }
  int pending() {  // connections made so far
    int n = 0;
    fcntl(fd, F_SETFL, O_NONBLOCK);
    for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; n++) close(c);
    return n;
  }
};

// The project's web server: php -S over www/, the project base www/ordax, uploads kept under
// www/received/<folder>/, the signal block taken from www/signal.txt when it exists.
struct Project {
  fs::path www;
  Peer php;
  std::string base, host;
  explicit Project(const fs::path& root) : www(root / "www") {
    put("uploadresults.php",
        "<?php $f = $_FILES['data'] ?? null;\n"
        "if (!$f || $f['error'] !== 0) { http_response_code(400); exit; }\n"
        "$d = __DIR__ . '/../received/' . basename($_POST['folder'] ?? '-');\n"
        "@mkdir($d, 0777, true); move_uploaded_file($f['tmp_name'], $d . '/' . basename($f['name']));\n"
        "$s = __DIR__ . '/../signal.txt';\n"
        "echo '<html><body>OK', is_file($s) ? \"<pre id='signal'>\" . file_get_contents($s) . '</pre>' : '',"
        " '</body></html>';\n");
    int port = nettest::freeport();
    php = nettest::startpeer({"/usr/bin/php", "-S", "127.0.0.1:" + std::to_string(port), "-t",
                              www.string()}, port, false);
    host = "127.0.0.1:" + std::to_string(port);
    base = "http://" + host + "/ordax";
    setenv(EXCHANGE_PROJECT_ENV, base.c_str(), 1);
    put("servers.csv", host + ",ordax,secret\r\n");
  }
  ~Project() { nettest::stoppeer(&php); }
  int putresults(const std::string& name, LSet set) {
    fs::create_directories((www / "ordax" / name).parent_path());
    return Results_save_Binary(set, (www / "ordax" / name).c_str());
  }
  void put(const std::string& name, const std::string& text) {
    fs::create_directories((www / "ordax" / name).parent_path());
    writefile(www / "ordax" / name, text);
  }
  std::multiset<std::string> received() {
    std::multiset<std::string> all;
    if (fs::exists(www / "received"))
      for (auto& e : fs::recursive_directory_iterator(www / "received"))
        if (e.is_regular_file()) all.merge(contents(e.path().string()));
    return all;
  }
};

std::vector<std::string> boxes;  // "title|text" of every message box

class Exchange : public ::testing::Test {
 protected:
  testsupport::WorkDir dir{"ordax-exchange"};
  Messages messages;
  char latest[100] = "Unknown", servermessage[1000] = "";
  MachineCellFunction savedmachine = checksum_machinecell;
  void SetUp() override {
    boxes.clear();
    http_setproxy(1, nullptr, 0);
    exchange_forgetfailures();
    checksum_machinecell = nullptr;  // a lattice file's bytes alone make its check values
    dir.write("lattices/Lat.txt", "Solenoid(S) Radius/m Field/T Length/m\r\nS1 0.3 [0,1] 2.0\r\nLat S1\r\n");
    lattice_exists(LATTICE_EXISTS_RESET);
    configure([](ExchangeSettings&) {});
  }
  void TearDown() override {
    unsetenv(EXCHANGE_PROJECT_ENV);
    http_setlimits(HttpLimits());
    checksum_machinecell = savedmachine;
    lattice_exists(LATTICE_EXISTS_RESET);
    exchange_configure(ExchangeSettings());
  }
  template <class F>
  void configure(F change) {
    ExchangeSettings x;
    x.messagebox = [](const char* text, const char* title, int) {
      boxes.push_back(std::string(title) + "|" + text);
    };
    x.latestversion = latest;
    x.servermessage = servermessage;
    change(x);
    exchange_configure(x);
  }
  static void shortlimits() {
    HttpLimits l;
    l.connectms = l.silencems = l.uploadsilencems = 400;
    l.downloadms = l.uploadms = 2000;
    http_setlimits(l);
  }
  // The names of the upload-pair files in the working directory, blank-separated.
  std::string pairfiles() {
    std::string names;
    for (auto& e : fs::directory_iterator(dir.path())) {
      std::string name = e.path().filename().string();
      if (name.rfind("20", 0) == 0) names += name + " ";
    }
    return names;
  }
  bool pairleft() { return !pairfiles().empty(); }
};

// ---- the pieces ----

TEST(ExchangePieces, NamesFieldsUsersAndFolders) {
  struct Case {
    const char* text;
    bool lattice, field;
  } cases[] = {
      {"Lat", true, true},           {"crank_v2", true, true},      {"a-b_C9", true, true},
      {"../results", false, true},   {"../config", false, true},    {"_private", false, true},
      {"-x", false, true},           {"a b", false, false},         {"a.txt", false, true},
      {"!touch PWNED", false, false}, {"!x", false, false},         {"", false, false},
      {"tab\there", false, false},   {"a\x7f", false, false},       {"lattices/x", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(exchange_latticename_ok(c.text), c.lattice);
    EXPECT_EQ(exchange_serverfield_ok(c.text), c.field);
  }
  EXPECT_TRUE(exchange_latticename_ok(std::string(64, 'a').c_str()));
  EXPECT_FALSE(exchange_latticename_ok(std::string(65, 'a').c_str()));
  EXPECT_EQ(exchange_uploaduser("Jo Bloggs/../x;$(id)"), "Jo_Bloggs..xid");
  EXPECT_EQ(exchange_uploaduser(std::string(80, 'u').c_str()), std::string(64, 'u'));
  EXPECT_EQ(exchange_versionfolder("v4.47_dev"), "v4.4x");
  EXPECT_EQ(exchange_versionfolder("v4 beta"), "v4_beta.0x");
  EXPECT_EQ(exchange_versionfolder("v5."), "v5.0x");
}

TEST(ExchangePieces, RankIsAWordOutsideTheLatticeField) {
  std::pair<const char*, bool> cases[] = {
      {"1.0 (1.0 Mpts) [v4.47_dev] <crank_v2> {AB} ", false},
      {"1.0 (1.0 Mpts) [v4.47_dev] <Rank> {AB} ", false},
      {"1.0 (1.0 Mpts) [v4.47_dev] <Lat> {AB} RANK", true},
      {"1.0 (1.0 Mpts) [v4.47_dev] <Lat> {AB} rank=3", true},
      {"1.0 (1.0 Mpts) [v4.47_dev] <Lat> {AB} cranky ranked", false},
  };
  for (auto& [line, held] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(exchange_rankline(line), held);
  }
}

TEST(ExchangePieces, FtpScriptCommandAndTranscript) {
  std::string s;
  ASSERT_TRUE(ftp_script("127.0.0.1:2121", "u", "p", true, "/home/o x", "v4.4x", "up.bin",
                         "testfile_abc.txt", &s));
  EXPECT_EQ(s, "open 127.0.0.1 2121\nuser u p\nquote pasv\nlcd \"/home/o x\"\nmkdir v4.4x\n"
               "cd v4.4x\nbinary\nput up.bin\ncd ..\nget signal.dat\nmkdir testfiles\n"
               "cd testfiles\nlcd testfiles\nput testfile_abc.txt\nlcd ..\nget testfile_abc.txt\n"
               "del testfile_abc.txt\nquit\n");
  // Each refused field, in turn: nothing may turn into a command of its own.
  const char* bad[] = {"!touch PWNED", "u\nquit", "a b", ""};
  for (const char* b : bad) {
    SCOPED_TRACE(b);
    EXPECT_FALSE(ftp_script(b, "u", "p", false, "/d", "f", "x", "t", &s));
    EXPECT_FALSE(ftp_script("h", b, "p", false, "/d", "f", "x", "t", &s));
    EXPECT_FALSE(ftp_script("h", "u", b, false, "/d", "f", "x", "t", &s));
  }
  EXPECT_FALSE(ftp_script("h", "u", "p", false, "/d\"\n!sh", "f", "x", "t", &s));
  EXPECT_FALSE(ftp_script("h:21x", "u", "p", false, "/d", "f", "x", "t", &s));

  FtpCommand c = ftp_command("ftp -s:script.ftp", false);
  EXPECT_EQ(c.argv, (std::vector<std::string>{"ftp", "-n", "-v", "-N", "/dev/null"}));
  EXPECT_EQ(c.input, "script.ftp");
  c = ftp_command("ftp -s:my.ftp -p", true);
  EXPECT_EQ(c.argv, (std::vector<std::string>{"/bin/sh", "-c", "ftp -n -v -N /dev/null -p"}));
  EXPECT_EQ(c.program, "ftp");
  c = ftp_command("lftp -f script.ftp", false);
  EXPECT_EQ(c.argv, (std::vector<std::string>{"lftp", "-f", "script.ftp"}));
  EXPECT_EQ(c.input, "/dev/null");

  // tnftp's transcripts: a refused upload into a read-only folder while the test file came
  // back, and an accepted one.
  const std::string refused =
      "230 Login successful.\nlocal: up.bin remote: up.bin\n229 Entering extended passive mode "
      "(|||37185|).\n550 Not enough privileges.\n250 \"/\" is the current directory.\n"
      "local: testfile_abc.txt remote: testfile_abc.txt\n125 Data connection already open.\n"
      "226 Transfer complete.\n";
  const std::string accepted =
      "local: up.bin remote: up.bin\n229 Entering extended passive mode (|||1|).\n"
      "125 Data connection already open. Transfer starting.\n226 Transfer complete.\n";
  EXPECT_FALSE(ftp_putaccepted(refused, "up.bin"));
  EXPECT_TRUE(ftp_putaccepted(refused, "testfile_abc.txt"));
  EXPECT_TRUE(ftp_putaccepted(accepted, "up.bin"));
  EXPECT_FALSE(ftp_putaccepted(accepted, "up"));
  EXPECT_FALSE(ftp_putaccepted("Not connected.\n", "up.bin"));
}

TEST_F(Exchange, ServerListGivesOnlyUsableLines) {
  struct Case {
    const char* csv;
    const char* host;  // the only host ever drawn, or none when none is usable
  } cases[] = {
      {"a\r\nb,c\r\nthird,u,p,extra \r\n", "third"},
      {"x,!touch PWNED,p\nokhost,u,p\n", "okhost"},
      {"h,u p,q\nh2,,p\n<html>\n", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.csv);
    dir.write("servers.csv", c.csv);
    for (int i = 0; i < 20; i++) {
      ExchangeServer s;
      bool ok = getrandomserver(&s);
      ASSERT_EQ(ok, c.host != nullptr);
      if (ok) {
        EXPECT_EQ(s.host, c.host);
      }
    }
  }
}

// ---- HTTP upload ----

TEST_F(Exchange, HttpUploadGoesInSlicesAndEveryResultArrivesOnce) {
  Project project(dir.path());
  std::string all = resultsfile(0, 12500);  // just over 1 MB
  ASSERT_GT(all.size(), 1000000u);
  dir.write("results.txt", all);
  trysendresults("results.txt", "tester one", 1);
  EXPECT_TRUE(messages.has("Some results sent."));
  EXPECT_TRUE(messages.has("Results sent."));
  EXPECT_FALSE(messages.anywarning());
  EXPECT_FALSE(fs::exists("results.txt"));
  EXPECT_EQ(project.received(), contents(dir.write("expected.txt", all)));
  std::vector<std::string> log = testsupport::readlines("sendlog.log");
  ASSERT_GE(log.size(), 3u);
  EXPECT_NE(log[0].find(" results sent to " + project.host), std::string::npos);
  EXPECT_FALSE(pairleft());
}

TEST_F(Exchange, UploadSendsDuplicatesOnceHoldsRankAndSetsRejectedAside) {
  Project project(dir.path());
  Result good = makeresult(1), bad = makeresult(2), ranked = makeresult(3);
  std::string badline = bad.text;
  size_t hex = badline.find('{') + 1;
  badline[hex] = badline[hex] == '0' ? '1' : '0';  // well-formed, but not this result's value
  std::string badtext = std::string(bad.genome) + "\r\n" + badline + "\r\n";
  std::string rank = std::string(ranked.genome) + "\r\n" + ranked.text + "RANK\r\n";
  dir.write("results.txt", pairtext(good) + badtext + pairtext(good) + rank);
  trysendresults("results.txt", "u", 1);
  EXPECT_TRUE(messages.has("1 results not uploaded: missing or bad check value"));
  EXPECT_FALSE(messages.anywarning());
  EXPECT_EQ(project.received(), contents(dir.write("good.txt", pairtext(good))));
  EXPECT_EQ(contents("results_rejected.txt"), contents(dir.write("bad.txt", badtext)));
  for (Result r : {good, bad, ranked}) Result_free(r);
}

int parses = 0;
Cell* countedmachine(const char* name, Genome* g) {
  parses++;
  return machinecellfromfile(name, g, 0, nullptr);
}

TEST_F(Exchange, ReValidationParsesEachLatticeOnce) {
  Project project(dir.path());
  checksum_machinecell = countedmachine;
  std::string all = resultsfile(0, 300);  // parsed once per result: the cache is off
  dir.write("results.txt", all);
  checksumcache_clear();
  parses = 0;
  trysendresults("results.txt", "u", 1);
  EXPECT_EQ(parses, 1);
  EXPECT_EQ(checksumcacheon, 0);
  EXPECT_EQ(project.received(), contents(dir.write("all.txt", all)));
}

TEST_F(Exchange, SignalOfANewerVersionIsShownOnce) {
  struct Case {
    const char* signal;  // none: no signal block
    const char* latest;
    const char* box;     // none: no box
  } cases[] = {
      {"v9.99\r\nPlease update.\r\n", "v9.99",
       "Ordax Message: New version|New version v9.99 is available from the website!  (You are "
       "using version v4.47_dev)\nPlease update."},
      {"v4.46\r\nOld news\r\n", "v4.46", nullptr},
      {"v9\x1b[2J[FATAL]\r\n\x07[WARNING]\r\n", "v9??2J?FATAL]",
       "Ordax Message: New version|New version v9??2J?FATAL] is available from the website!  (You "
       "are using version v4.47_dev)\n??WARNING]"},
      {nullptr, "Unknown", nullptr},
  };
  Project project(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.latest);
    strcpy(latest, "Unknown");
    boxes.clear();
    fs::remove(project.www / "signal.txt");
    if (c.signal) writefile(project.www / "signal.txt", c.signal);
    dir.write("results.txt", resultsfile(0, 3));
    trysendresults("results.txt", "u", 1);
    EXPECT_TRUE(messages.has("Results sent."));
    EXPECT_STREQ(latest, c.latest);
    EXPECT_EQ(boxes, c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{});
  }
  EXPECT_FALSE(messages.anywarning());
}

TEST_F(Exchange, OfflineLeavesResultsByteForByte) {
  shortlimits();
  Silent blackhole;
  int closedport = nettest::freeport();
  for (int port : {closedport, blackhole.port}) {
    SCOPED_TRACE(port);
    messages.clear();
    dir.write("servers.csv", "127.0.0.1:" + std::to_string(port) + ",u,p\n");
    std::string all = resultsfile(0, 60);
    dir.write("results.txt", all);
    trysendresults("results.txt", "u", 1);
    EXPECT_EQ(readfile("results.txt"), all);
    EXPECT_TRUE(messages.has("Currently offline.  Will try again later."));
    EXPECT_FALSE(pairleft());
    EXPECT_FALSE(messages.anywarning());
  }
}

TEST_F(Exchange, KillDuringUploadLosesNoResult) {
  Silent blackhole;  // the upload hangs waiting for a reply
  dir.write("servers.csv", "127.0.0.1:" + std::to_string(blackhole.port) + ",u,p\n");
  std::string all = resultsfile(0, 200);
  dir.write("results.txt", all);
  pid_t child = fork();
  if (child == 0) {
    trysendresults("results.txt", "u", 1);
    _exit(0);
  }
  for (int i = 0; i < 200 && !pairleft(); i++) usleep(25000);
  usleep(100000);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(readfile("results.txt"), all);
  EXPECT_EQ(exchange_recover("results.txt"), 0);
  EXPECT_FALSE(pairleft());

  // A kill just after the file was cut to the unsent rest: the pair's results go back.
  dir.write("results.txt", resultsfile(100, 100));
  dir.write("20260101-120000-AbC12-u.txt", resultsfile(0, 100));
  dir.write("20260101-120000-AbC12-u.bin", "x");
  dir.write("20260101-120000-AbC12-u.rest", "");
  EXPECT_EQ(exchange_recover("results.txt"), 100);
  EXPECT_EQ(contents("results.txt"), contents(dir.write("all.txt", all)));
  EXPECT_FALSE(pairleft());
  // A kill while a sent upload was being settled (its text already removed): what is left of
  // the pair goes, and nothing is put back.
  dir.write("20260101-120001-XyZ34-u.bin", "x");
  dir.write("20260101-120001-XyZ34-u.rest", "");
  EXPECT_EQ(exchange_recover("results.txt"), 0);
  EXPECT_FALSE(pairleft());
}

// A client killed at moments spread over a two-slice upload, then started again: every result
// is still pending or has arrived. The moments are fractions of an uninterrupted upload timed
// first, so that they stay spread over the upload on a loaded machine. Each round has its own
// server, stopped before the check, so that a request of a killed client that the server is
// still handling cannot change what a later round finds.
TEST_F(Exchange, KillsAtAnyMomentLoseNoResultSlow) {
  std::string all = resultsfile(0, 6000);
  std::multiset<std::string> expected = contents(dir.write("all.txt", all));
  int rounds = 0;
  // Runs the upload, kills it after `ms` (never when negative; bounded at 120 s), stops the
  // server and recovers. Returns the ms the client ran and what arrived.
  auto round = [&](double ms, std::multiset<std::string>* arrived) {
    Project project(dir.path() / ("round" + std::to_string(rounds++)));
    EXPECT_TRUE(nettest::accepts(project.php.port)) << "server not started";
    dir.write("results.txt", all);
    fs::remove("servers.csv");  // fetched afresh: it names this round's server
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
          .count();
    };
    pid_t child = fork();
    if (child == 0) {
      trysendresults("results.txt", "u", 1);
      _exit(0);
    }
    double limit = ms < 0 ? 120000 : ms;
    bool reaped = false;
    while (elapsed() < limit && !(reaped = waitpid(child, nullptr, WNOHANG) == child)) usleep(1000);
    double ran = elapsed();
    if (!reaped) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    nettest::stoppeer(&project.php);
    *arrived = project.received();
    exchange_recover("results.txt");
    return ran;
  };
  std::multiset<std::string> arrived;
  const double full = round(-1, &arrived);
  EXPECT_EQ(arrived, expected);  // uninterrupted, everything arrives
  EXPECT_FALSE(fs::exists("results.txt"));
  for (double part : {0.0, 0.02, 0.05, 0.15, 0.3, 0.5, 0.7, 0.9}) {
    SCOPED_TRACE(testing::Message() << part << " of " << full << " ms");
    double ran = round(part * full, &arrived);
    std::multiset<std::string> pending = contents("results.txt");
    for (const std::string& r : expected)
      ASSERT_TRUE(pending.count(r) || arrived.count(r)) << r << " after " << ran << " ms";
    EXPECT_EQ(pairfiles(), "") << "after " << ran << " ms";
  }
}

// ---- FTP upload ----

class ExchangeFtpSlow : public Exchange {
 protected:
  fs::path root = dir.path() / "ftproot";
  Peer ftp;
  void start(const char* readonlyfolder = nullptr) {
    fs::create_directories(root);
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(ORDAX_SOURCE_DIR) + "/tests/net/ftppeer.py",
                                     root.string(), "ordax", "secret"};
    if (readonlyfolder) argv.push_back(readonlyfolder);
    ftp = nettest::startpeer(argv, 0, true);
    ASSERT_GT(ftp.port, 0);
    dir.write("servers.csv", "127.0.0.1:" + std::to_string(ftp.port) + ",ordax,secret\n");
    configure([](ExchangeSettings& x) {
      x.uploadhttp = false;
      x.ftpbasems = 15000;
    });
  }
  void TearDown() override {
    nettest::stoppeer(&ftp);
    Exchange::TearDown();
  }
  std::multiset<std::string> uploaded() {
    std::multiset<std::string> all;
    if (fs::exists(root / kVersionFolder))
      for (auto& e : fs::directory_iterator(root / kVersionFolder)) all.merge(contents(e.path()));
    return all;
  }
};

TEST_F(ExchangeFtpSlow, UploadNeedsTheAcceptedPutAndTheTestFile) {
  struct Case {
    const char* name;
    const char* readonly;
    std::string servers;  // none: the peer's line
    bool oldmethod, sent;
  } cases[] = {
      {"success", nullptr, "", false, true},
      {"old calling method", nullptr, "", true, true},
      {"bad password", nullptr, "127.0.0.1:%d,ordax,wrong\n", false, false},
      {"read-only version folder", kVersionFolder, "", false, false},
      {"! credential", nullptr, "127.0.0.1:%d,!touch PWNED,secret\n", false, false},
  };
  fs::path home = dir.path() / "home";
  dir.write("home/.netrc", "machine 127.0.0.1 login ordax password wrong\nmacdef init\n!touch NETRC\n\n");
  std::string oldhome = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages.clear();
    start(c.readonly);
    configure([&](ExchangeSettings& x) {
      x.uploadhttp = false;
      x.oldftp = c.oldmethod;
    });
    if (!c.servers.empty()) {
      char line[200];
      snprintf(line, sizeof line, c.servers.c_str(), ftp.port);
      dir.write("servers.csv", line);
    }
    std::string all = resultsfile(0, 20);
    dir.write("results.txt", all);
    trysendresults("results.txt", "u", 1);
    EXPECT_EQ(messages.has("Results sent."), c.sent);
    if (c.sent) EXPECT_EQ(uploaded(), contents(dir.write("all.txt", all)));
    else EXPECT_EQ(readfile("results.txt"), all);
    EXPECT_FALSE(fs::exists("PWNED") || fs::exists(home / "PWNED") || fs::exists("NETRC"));
    EXPECT_FALSE(fs::exists("script.ftp") || fs::exists("testfiles") || pairleft());
    nettest::stoppeer(&ftp);
    fs::remove_all(root);
  }
  setenv("HOME", oldhome.c_str(), 1);
}

TEST_F(ExchangeFtpSlow, SilentServerIsEndedAtTheDeadlineAndAMissingClientIsToldOnce) {
  Silent silent;
  dir.write("servers.csv", "127.0.0.1:" + std::to_string(silent.port) + ",ordax,secret\n");
  std::string all = resultsfile(0, 20);
  dir.write("results.txt", all);
  configure([](ExchangeSettings& x) {
    x.uploadhttp = false;
    x.ftpbasems = 1000;
  });
  sendresultsserver("results.txt", "u", 1, ("127.0.0.1:" + std::to_string(silent.port)).c_str(),
                    "ordax", "secret", EXCHANGE_UPLOADPATH);
  EXPECT_TRUE(messages.has("FTP process timed out"));
  EXPECT_EQ(readfile("results.txt"), all);

  configure([](ExchangeSettings& x) {
    x.uploadhttp = false;
    x.ftpcommand = "no-such-ftp-client -s:script.ftp";
  });
  dir.write("servers.csv", "127.0.0.1:1,ordax,secret\n127.0.0.1:2,ordax,secret\n");
  trysendresults("results.txt", "u", 1);
  EXPECT_EQ(messages.count("No FTP program found, so cannot send by FTP"), 1);
  EXPECT_TRUE(messages.has("Currently offline.  Will try again later."));
  EXPECT_EQ(readfile("results.txt"), all);
  EXPECT_FALSE(pairleft());
}

// ---- downloads ----

TEST_F(Exchange, HostileLatticeListWritesOnlyInsideLattices) {
  Project project(dir.path());
  dir.write("results.txt", "mine\r\n");
  dir.write("config.txt", "mine\r\n");
  dir.write("lattices/_mine.txt", "private");
  project.put("lattices/list.php", "../results\r\n../config\r\nGood\r\n_private\r\ngood\r\n");
  project.put("lattices/Good.txt", "Good S1\r\n");
  for (const char* name : {"../results", "../config"}) project.put(std::string("lattices/") + name + ".txt", "BAD");
  // The first list names no local lattice, so none is deleted.
  latticefileupdate(1, 0, "lattices");
  EXPECT_EQ(readfile("results.txt"), "mine\r\n");
  EXPECT_EQ(readfile("config.txt"), "mine\r\n");
  EXPECT_EQ(getlatticeshere("lattices"), (std::vector<std::string>{"Good", "Lat"}));
  // Now one that names a local lattice: the unlisted one goes, the '_' one stays.
  latticefileupdate(-1, 0, "lattices");
  EXPECT_EQ(getlatticeshere("lattices"), (std::vector<std::string>{"Good"}));
  EXPECT_EQ(readfile("lattices/_mine.txt"), "private");
}

TEST_F(Exchange, PageInsteadOfAFileReplacesNothing) {
  Project project(dir.path());
  const std::string page = "<!DOCTYPE html>\n<html><body>Sign in to the network\nLat\n</body></html>\n";
  struct Case {
    const char* local;
    const char* served;
    ExchangeKind kind;
  } cases[] = {
      {"servers.csv", "servers.csv", FILE_SERVERLIST},
      {"latticelist.txt", "lattices/list.php", FILE_LATTICELIST},
      {"lattices/Lat.txt", "lattices/Lat.txt", FILE_LATTICE},
      {"samplefiles/Lat.txt", "samplefiles/lat_100.txt", FILE_SAMPLE},
      {"samplefiles/Lat.txt", "samplefiles/lat_100.bin", FILE_SAMPLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.served);
    dir.write(c.local, "old\r\n");
    project.put(c.served, page);
    bool replaced = true;
    freshenfromweb(c.local, -1, (project.base + "/" + c.served).c_str(), nullptr, c.kind, &replaced);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(readfile(c.local), "old\r\n");
    EXPECT_FALSE(fs::exists(std::string(c.local) + ".tmp"));
  }
}

TEST_F(Exchange, FailedHostIsNotAskedAgainForAnHour) {
  shortlimits();
  Silent silent;
  std::string url = "http://127.0.0.1:" + std::to_string(silent.port) + "/ordax/servers.csv";
  EXPECT_EQ(freshenfromweb("servers.csv", 24, url.c_str(), nullptr, FILE_SERVERLIST), 0);
  EXPECT_EQ(freshenfromweb("servers.csv", 24, url.c_str(), nullptr, FILE_SERVERLIST), 0);
  EXPECT_EQ(silent.pending(), 1);
  EXPECT_EQ(messages.count("Download from " + url + " failed, will try later."), 2);
}

TEST_F(Exchange, SamplesAreConvertedOrMergedAndDriveTheOptimiser) {
  Project project(dir.path());
  LSet set = LSet_new(sizeof(Result));
  for (int i = 0; i < 5; i++) {
    Result r = makeresult(500 + i);
    LSet_add(&set, &r);
  }
  ASSERT_EQ(project.putresults("samplefiles/lat_100.bin", set), 1);
  dir.write("lattices/Skip_nosample.txt", "x");
  dir.write("samplefiles/Gone.txt", "old");
  // Latest: the binary sample becomes the text file; the optimiser then starts from it.
  samplefilesupdate(EXCHANGE_SAMPLEURL_DEFAULT, 6);
  EXPECT_TRUE(messages.has("Converting newly-downloaded sample results..."));
  EXPECT_EQ(contents("samplefiles/Lat.txt").size(), 5u);
  EXPECT_FALSE(fs::exists("samplefiles/Skip_nosample.txt") || fs::exists("samplefiles/Gone.txt"));
  EXPECT_FALSE(fs::exists("samplefiles/Lat.bin"));
  char lat[] = "Lat";
  LSet none = LSet_new(sizeof(Result));
  Genome g = makegenome(none, lat, trial::SetFromFile, nullptr);
  EXPECT_EQ(Genome_string(g), LSet_at<Result>(set, 0).genome);
  Genome_free(g);
  LSet_free(none);

  // Accumulate: a newer sample adds only what is not there yet.
  configure([](ExchangeSettings& x) { x.samplebehaviour = 'A'; });
  Result extra = makeresult(900);
  LSet_add(&set, &extra);
  ASSERT_EQ(project.putresults("samplefiles/lat_100.bin", set), 1);
  samplefilesupdate(EXCHANGE_SAMPLEURL_DEFAULT, -1);
  EXPECT_TRUE(messages.has("Merging newly-downloaded sample results..."));
  EXPECT_EQ(contents("samplefiles/Lat.txt").size(), 6u);
  EXPECT_FALSE(messages.anywarning());
  samplefilesupdate("http://127.0.0.1/none.bin", 6);
  EXPECT_TRUE(messages.has("[WARNING] Sample files URL does not contain {lattice}, none downloaded"));
  Results_free(set);
}

// The whole loop against the loopback project: upload, lattice refresh, sample refresh, and the
// optimiser drawing from the new sample.
TEST_F(Exchange, ClientUploadsRefreshesAndDrawsFromTheSamples) {
  Project project(dir.path());
  project.put("lattices/list.php", "Lat\r\nFresh\r\n");
  project.put("lattices/Fresh.txt", "Solenoid(S) Radius/m Field/T Length/m\r\nS1 0.3 [0,1] 2.0\r\nFresh S1\r\n");
  LSet sample = LSet_new(sizeof(Result));
  dir.write("lattices/Fresh.txt", readfile(project.www / "ordax/lattices/Fresh.txt"));
  Result s = makeresult(77, "Fresh");  // a sample made where the lattice is known
  fs::remove("lattices/Fresh.txt");
  LSet_add(&sample, &s);
  std::string samplegenome = s.genome;
  ASSERT_EQ(project.putresults("samplefiles/fresh_100.bin", sample), 1);
  Results_free(sample);
  std::string all = resultsfile(0, 60);
  dir.write("results.txt", all);

  latticefileupdate(12, 0, "lattices");
  samplefilesupdate(EXCHANGE_SAMPLEURL_DEFAULT, 24);
  trysendresults("results.txt", "u", 1);
  EXPECT_EQ(getlatticeshere("lattices"), (std::vector<std::string>{"Fresh", "Lat"}));
  EXPECT_EQ(project.received(), contents(dir.write("all.txt", all)));
  char fresh[] = "Fresh";
  LSet none = LSet_new(sizeof(Result));
  Genome g = makegenome(none, fresh, trial::SetFromFile, nullptr);
  EXPECT_EQ(Genome_string(g), samplegenome);
  Genome_free(g);
  LSet_free(none);
  EXPECT_FALSE(messages.anywarning());
}

}  // namespace
