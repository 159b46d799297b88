// The HTTP client against tables (URL split, chunk decoding at every split position, the
// multipart body byte for byte) and against real loopback peers: the scripted peer with one
// path per hostile behaviour, php -S as an independent multipart parser, tinyproxy as proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "base/files.h"
#include "base/lset.h"
#include "base/random.h"
#include "net/http.h"
#include "tests/net/peers.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using nettest::Peer;

const char* kPython = "/usr/bin/python3";

std::string peerscript() {
  return std::string(ORDAX_SOURCE_DIR) + "/tests/net/httppeer.py";
}

using testsupport::writefile;

// Restores the limits, the proxy state and the stop flag after each test.
class HttpTest : public ::testing::Test {
 protected:
  void TearDown() override {
    http_setlimits(HttpLimits());
    http_setproxy(1, nullptr, 0);
    http_setstopflag(nullptr);
  }
};

TEST(HttpUrl, SplitsHostPortAndPath) {
  struct Case {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* path;
    const char* hostheader;
  } cases[] = {
      {"http://example.org/a/b.txt", true, "example.org", 80, "/a/b.txt", "example.org"},
      {"HTTP://example.org:8080/x?y=1", true, "example.org", 8080, "/x?y=1", "example.org:8080"},
      {"//h/", true, "h", 80, "/", "h"},
      {"http://[::1]:81/p", true, "::1", 81, "/p", "[::1]:81"},
      {"http://h:80/p", true, "h", 80, "/p", "h"},
      {"https://example.org/a", false, "", 0, "", ""},
      {"ftp://example.org/a", false, "", 0, "", ""},
      {"http://example.org", false, "", 0, "", ""},
      {"example.org/a", false, "", 0, "", ""},
      {"http:///a", false, "", 0, "", ""},
      {"http://h:0/a", false, "", 0, "", ""},
      {"http://h:65536/a", false, "", 0, "", ""},
      {"http://h:8x/a", false, "", 0, "", ""},
      {"http://h:/a", false, "", 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    HttpUrl u;
    ASSERT_EQ(http_spliturl(c.url, &u), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(u.host, c.host);
    EXPECT_EQ(u.port, c.port);
    EXPECT_EQ(u.path, c.path);
    EXPECT_EQ(u.hostheader, c.hostheader);
  }
}

TEST(ChunkDecoder, EverySplitPositionGivesTheSameBody) {
  const std::string wire = "5\r\nHello\r\n 7;name=v\r\n, world\r\n0\r\nX-Trailer: 1\r\n\r\n";
  for (size_t cut = 0; cut <= wire.size(); cut++) {
    SCOPED_TRACE(cut);
    ChunkDecoder d;
    std::string out;
    int a = chunk_decode(&d, wire.data(), cut, &out, 1000);
    size_t used = 0;
    int b = chunk_decode(&d, wire.data() + cut, wire.size() - cut, &out, 1000, &used);
    EXPECT_EQ(cut == wire.size() ? a : b, 1);
    EXPECT_EQ(out, "Hello, world");
  }
  ChunkDecoder d;  // one byte at a time, LF-only line ends
  std::string out;
  const std::string lf = "c\nHello, world\n0\n\nafter";
  int r = 0;
  size_t i = 0;
  for (; i < lf.size() && r == 0; i++) r = chunk_decode(&d, &lf[i], 1, &out, 1000);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(i, lf.size() - 5);  // stops at the end of the body
  EXPECT_EQ(out, "Hello, world");
}

TEST(ChunkDecoder, HostileSizeLinesFail) {
  struct Case {
    const char* wire;
    size_t cap;
    int result;
  } cases[] = {
      {"FFFFFFFFF\r\n", 1 << 26, -1},        // nine hex digits
      {"zz\r\nabc\r\n0\r\n\r\n", 100, -1},   // no hex digit
      {"\r\n", 100, -1},                     // empty size line
      {"5x\r\n", 100, -1},                   // junk after the digits
      {"FFFFFFF0\r\n", 1 << 26, -2},         // larger than the cap
      {"5\r\n12345\r\n5\r\n", 9, -2},        // the cap counts every chunk
      {"5\r\n12345XY", 100, -1},             // data not followed by a line end
      {"A\r\n12345", 100, 0},                // cut short: wants more
      {"5\r\n12345\r\n", 100, 0},            // no zero chunk yet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    ChunkDecoder d;
    std::string out;
    EXPECT_EQ(chunk_decode(&d, c.wire, strlen(c.wire), &out, c.cap), c.result);
  }
  ChunkDecoder d;
  std::string out, line(300, '1');
  EXPECT_EQ(chunk_decode(&d, line.data(), line.size(), &out, 100), -1);  // endless size line
}

TEST(MimeForm, BodyLaidOutByteForByte) {
  srand15(7);
  std::string data("a\0b\r\n--c", 8), form, boundary;
  LSet items = LSet_new(sizeof(FormItem));
  LSet_addv(&items, FormItem{"folder", nullptr, "lat", 3});
  LSet_addv(&items, FormItem{"data", "r.txt", data.data(), data.size()});
  ASSERT_TRUE(mimeencodeformdata(items, &form, &boundary, "Ordax"));
  ASSERT_EQ(boundary.size(), 10u);
  EXPECT_EQ(boundary.substr(0, 5), "Ordax");
  for (char c : boundary) EXPECT_TRUE(isalpha((unsigned char)c)) << boundary;
  std::string expected = "--" + boundary +
                         "\r\nContent-Disposition: form-data; name=\"folder\"\r\n\r\nlat\r\n--" +
                         boundary +
                         "\r\nContent-Disposition: form-data; name=\"data\"; filename=\"r.txt\""
                         "\r\n\r\n" +
                         data + "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(form, expected);
  EXPECT_EQ(form.size(), 16 + (6 + 3 + 59) + (4 + 8 + 59 + 5 + 13));
  LSet_free(items);

  LSet none = LSet_new(sizeof(FormItem));
  ASSERT_TRUE(mimeencodeformdata(none, &form, &boundary, nullptr));
  EXPECT_EQ(form, "--" + boundary + "--\r\n");
  EXPECT_EQ(form.size(), 16u);
  LSet_free(none);
}

TEST(MimeForm, BoundaryDrawnAgainWhenTheDataHoldsIt) {
  LSet none = LSet_new(sizeof(FormItem));
  std::string form, first;
  srand15(12345);
  ASSERT_TRUE(mimeencodeformdata(none, &form, &first, "Ordax"));
  LSet_free(none);
  std::string data = "xx" + first + "yy";
  LSet items = LSet_new(sizeof(FormItem));
  LSet_addv(&items, FormItem{"data", "f", data.data(), data.size()});
  srand15(12345);  // the same first draw
  std::string second;
  ASSERT_TRUE(mimeencodeformdata(items, &form, &second, "Ordax"));
  EXPECT_NE(second, first);
  EXPECT_EQ(second.substr(0, 5), "Ordax");
  EXPECT_EQ(data.find(second), std::string::npos);
  LSet_free(items);
}

TEST_F(HttpTest, ProxyFromTheEnvironment) {
  struct Case {
    const char* http_proxy;
    const char* no_proxy;
    const char* target;
    bool via;
    const char* host;
    int port;
  } cases[] = {
      {"http://proxy.lan:3128/", nullptr, "example.org", true, "proxy.lan", 3128},
      {"proxy.lan:8080", nullptr, "example.org", true, "proxy.lan", 8080},
      {"proxy.lan", nullptr, "example.org", true, "proxy.lan", 80},
      {"http://user:pw@proxy.lan:99", nullptr, "example.org", true, "proxy.lan", 99},
      {"proxy.lan:3128", "localhost,.example.org", "www.example.org", false, "", 0},
      {"proxy.lan:3128", "example.org", "EXAMPLE.org", false, "", 0},
      {"proxy.lan:3128", "example.org", "badexample.org", true, "proxy.lan", 3128},
      {"proxy.lan:3128", "*", "example.org", false, "", 0},
      {"https://proxy.lan:3128", nullptr, "example.org", false, "", 0},
      {"proxy.lan:notaport", nullptr, "example.org", false, "", 0},
      {"", nullptr, "example.org", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.http_proxy);
    setenv("http_proxy", c.http_proxy, 1);
    if (c.no_proxy) setenv("no_proxy", c.no_proxy, 1);
    else unsetenv("no_proxy");
    http_setproxy(0, nullptr, 0);
    internet_proxy_detect();
    std::string host;
    uint16_t port = 0;
    EXPECT_EQ(http_proxyfor(c.target, &host, &port), c.via);
    if (c.via) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
  setenv("http_proxy", "first:1", 1);  // decided once: a changed environment is not read again
  http_setproxy(0, nullptr, 0);
  internet_proxy_detect();
  setenv("http_proxy", "second:2", 1);
  internet_proxy_detect();
  std::string host;
  uint16_t port;
  ASSERT_TRUE(http_proxyfor("x", &host, &port));
  EXPECT_EQ(host, "first");
  http_setproxy(1, "set.lan", 81);  // "host,port" from the settings wins over the environment
  internet_proxy_detect();
  ASSERT_TRUE(http_proxyfor("x", &host, &port));
  EXPECT_EQ(host + ":" + std::to_string(port), "set.lan:81");
  unsetenv("http_proxy");
  unsetenv("no_proxy");
}

// ---- against the scripted peer ----

class HttpPeerTest : public HttpTest {
 protected:
  static void SetUpTestSuite() { peer = nettest::startpeer({kPython, peerscript()}, 0, true); }
  static void TearDownTestSuite() { nettest::stoppeer(&peer); }
  void SetUp() override {
    ASSERT_GT(peer.port, 0) << "the scripted peer did not start";
    http_setproxy(1, nullptr, 0);  // direct
  }
  static std::string url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(peer.port) + path;
  }
  static Peer peer;
};
Peer HttpPeerTest::peer;

TEST_F(HttpPeerTest, EveryBehaviourEndsInItsSoundOutcome) {
  struct Case {
    const char* path;
    HttpFailure outcome;
    const char* body;
    int silencems;
  } cases[] = {
      {"/chunked", HTTP_OK, "Hello, world", 1000},
      {"/404", HTTP_STATUS, "", 1000},
      {"/split", HTTP_OK, "hello", 1000},
      {"/silence", HTTP_TIMEOUT, "", 1000},     // 10 of 100 declared bytes, then nothing
      {"/trickle", HTTP_TIMEOUT, "", 3000},     // a byte every 2 s: the overall deadline
      {"/endless", HTTP_TOOLARGE, "", 1000},
      {"/truncchunk", HTTP_SHORT, "", 1000},
      {"/nozerochunk", HTTP_SHORT, "", 1000},
      {"/hugechunk", HTTP_TOOLARGE, "", 1000},  // FFFFFFF0
      {"/longchunk", HTTP_BADREPLY, "", 1000},  // nine hex digits
      {"/nonhex", HTTP_BADREPLY, "", 1000},
      {"/continue", HTTP_OK, "ok", 1000},       // 100 and 200 in one packet
      {"/fatal", HTTP_OK, "body", 1000},
      {"/bighead", HTTP_TOOLARGE, "", 1000},
      {"/keepalive", HTTP_OK, "ok", 60000},     // done at Content-Length, not at close
      {"/reset", HTTP_RESET, "", 1000},
      {"/noheadclose", HTTP_SHORT, "", 1000},
      {"/tillclose", HTTP_OK, "until the end", 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    HttpLimits l;
    l.silencems = c.silencems;
    l.downloadms = 4000;
    l.maxbody = 1 << 20;
    if (std::string(c.path) == "/keepalive") l.downloadms = 60000;
    http_setlimits(l);
    std::string body = "stale";
    HttpFailure why = HTTP_BADURL;
    EXPECT_EQ(webfile(url(c.path).c_str(), &body, &why), c.outcome == HTTP_OK);
    EXPECT_EQ(why, c.outcome) << http_failuretext(why);
    EXPECT_EQ(body, c.body);
  }
  HttpFailure why;
  std::string body;
  int closed = nettest::freeport();
  EXPECT_FALSE(webfile(("http://127.0.0.1:" + std::to_string(closed) + "/x").c_str(), &body,
                       &why));
  EXPECT_EQ(why, HTTP_CONNECT);
  EXPECT_FALSE(webfile("https://127.0.0.1/x", &body, &why));
  EXPECT_EQ(why, HTTP_BADURL);
}

TEST_F(HttpPeerTest, DownloadCapOf64MegabytesHolds) {
  std::string body;
  HttpFailure why;
  EXPECT_FALSE(webfile(url("/endless").c_str(), &body, &why));
  EXPECT_EQ(why, HTTP_TOOLARGE);
  EXPECT_TRUE(body.empty());
}

TEST_F(HttpPeerTest, StopFlagEndsATransfer) {
  HttpLimits l;
  l.silencems = 60000;
  l.downloadms = 60000;
  http_setlimits(l);
  static volatile std::sig_atomic_t flag = 0;
  flag = 0;
  http_setstopflag(&flag);
  std::thread quit([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flag = 2;
  });
  std::string body;
  HttpFailure why;
  EXPECT_FALSE(webfile(url("/silence").c_str(), &body, &why));
  quit.join();
  EXPECT_EQ(why, HTTP_STOPPED);
}

TEST_F(HttpPeerTest, RequestsAreFormedAsSent) {
  std::string body;
  ASSERT_TRUE(webfile(url("/echo?a=1").c_str(), &body));
  EXPECT_EQ(body, "GET /echo?a=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(peer.port) +
                      "\r\nConnection: close\r\n\r\n");

  testsupport::TempDir scratch("ordax-http");
  const fs::path& dir = scratch.path();
  writefile(dir / "r.txt", "results\r\n");
  std::string reply, status;
  srand15(3);
  ASSERT_EQ(httppostfile((dir / "r.txt").c_str(), "r.txt", url("/echo").c_str(), &reply, &status,
                         "Ordax"),
            1);
  EXPECT_EQ(status, "HTTP/1.1 200 OK");
  size_t b = reply.find("boundary=");
  ASSERT_NE(b, std::string::npos);
  std::string boundary = reply.substr(b + 9, 10);
  std::string form = "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"data\"; filename=\"r.txt\"\r\n\r\n"
                     "results\r\n\r\n--" +
                     boundary + "--\r\n";
  EXPECT_EQ(reply, "POST /echo HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(peer.port) +
                       "\r\nContent-Length: " + std::to_string(form.size()) +
                       "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                       "\r\nConnection: close\r\n\r\n" + form);
}

TEST_F(HttpPeerTest, UploadRepliesEndSoundly) {
  testsupport::TempDir scratch("ordax-http");
  const fs::path& dir = scratch.path();
  writefile(dir / "r.txt", "x");
  struct Case {
    const char* path;
    int ok;
    HttpFailure outcome;
    const char* status;
    const char* body;
  } cases[] = {
      {"/continue", 1, HTTP_OK, "HTTP/1.1 200 OK", "ok"},
      {"/keepalive", 1, HTTP_OK, "HTTP/1.1 200 OK", "ok"},
      {"/fatal", 1, HTTP_OK, "HTTP/1.1 200 ?FATAL] OK??2J", "body"},
      {"/404", 0, HTTP_STATUS, "HTTP/1.1 404 Not Found", ""},
      {"/big", 0, HTTP_TOOLARGE, "HTTP/1.1 200 OK", ""},  // over 5,000 bytes
      {"/silence", 0, HTTP_TIMEOUT, "HTTP/1.1 200 OK", ""},
  };
  HttpLimits l;
  l.uploadsilencems = 1000;
  http_setlimits(l);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string body = "stale", status = "stale";
    HttpFailure why;
    EXPECT_EQ(httppostfile((dir / "r.txt").c_str(), "r.txt", url(c.path).c_str(), &body, &status,
                           "Ordax", &why),
              c.ok);
    EXPECT_EQ(why, c.outcome);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(body, c.body);
  }
  HttpFailure why;
  EXPECT_EQ(httppostfile((dir / "missing").c_str(), "r.txt", url("/echo").c_str(), nullptr,
                         nullptr, "Ordax", &why),
            0);
  EXPECT_EQ(why, HTTP_NOFILE);
}

// ---- php -S parses the upload as sent ----

TEST_F(HttpTest, PhpParsesTheUploadExactlyAsSent) {
  testsupport::TempDir scratch("ordax-http");
  const fs::path& dir = scratch.path();
  writefile(dir / "upload.php",
            "<?php $f = $_FILES['data'] ?? null;\n"
            "if (!$f || $f['error'] !== 0) { http_response_code(400); echo 'no file'; exit; }\n"
            "echo md5_file($f['tmp_name']), ' ', $f['name'], ' ', $_POST['folder'] ?? '-', ' ',"
            " $f['size'];\n");
  std::string data;
  for (int i = 0; i < 70000; i++) data += (char)(i * 7 % 256);
  data += "\r\n--Ordax\r\n\r\n";
  writefile(dir / "payload.bin", data);
  FILE* md5 = popen(("md5sum " + (dir / "payload.bin").string()).c_str(), "r");
  char sum[33] = {0};
  ASSERT_EQ(fread(sum, 1, 32, md5), 32u);
  pclose(md5);

  int port = nettest::freeport();
  Peer php = nettest::startpeer(
      {"/usr/bin/php", "-S", "127.0.0.1:" + std::to_string(port), "-t", dir.string()}, port,
      false);
  ASSERT_TRUE(nettest::accepts(port));
  http_setproxy(1, nullptr, 0);
  std::string body, status;
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/upload.php";
  int ok = httppostfile((dir / "payload.bin").c_str(), "lattice7/payload.bin", url.c_str(), &body,
                        &status, "Ordax");
  int plain = 0;
  std::string body2;
  if (ok) plain = httppostfile((dir / "payload.bin").c_str(), "p.bin", url.c_str(), &body2,
                               nullptr, "Ordax");
  nettest::stoppeer(&php);
  EXPECT_EQ(ok, 1) << status;
  EXPECT_EQ(body, std::string(sum) + " payload.bin lattice7 " + std::to_string(data.size()));
  EXPECT_EQ(plain, 1);
  EXPECT_EQ(body2, std::string(sum) + " p.bin - " + std::to_string(data.size()));
}

// ---- tinyproxy sees the requests that should go through it, and only those ----

TEST_F(HttpTest, RequestsGoThroughTheProxyUnlessToldOtherwise) {
  testsupport::TempDir scratch("ordax-http");
  const fs::path& dir = scratch.path();
  Peer origin = nettest::startpeer({kPython, peerscript()}, 0, true);
  int pport = nettest::freeport();
  fs::path log = dir / "tinyproxy.log";
  writefile(dir / "tp.conf", "Port " + std::to_string(pport) +
                                 "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" + log.string() +
                                 "\"\nLogLevel Connect\nMaxClients 20\n");
  Peer proxy = nettest::startpeer({"/usr/bin/tinyproxy", "-d", "-c", (dir / "tp.conf").string()},
                                  pport, false);
  ASSERT_TRUE(nettest::accepts(pport));
  writefile(dir / "r.txt", "results");
  std::string base = "http://127.0.0.1:" + std::to_string(origin.port);
  std::string body;

  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(pport) + "/").c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  http_setproxy(0, nullptr, 0);  // "auto"
  EXPECT_TRUE(webfile((base + "/chunked").c_str(), &body));
  EXPECT_EQ(body, "Hello, world");
  EXPECT_EQ(httppostfile((dir / "r.txt").c_str(), "r.txt", (base + "/echo?post").c_str(),
                         nullptr, nullptr, "Ordax"),
            1);
  setenv("no_proxy", "localhost,127.0.0.1", 1);
  http_setproxy(0, nullptr, 0);
  EXPECT_TRUE(webfile((base + "/echo?noproxy").c_str(), &body));
  unsetenv("no_proxy");
  http_setproxy(1, nullptr, 0);  // "no"
  EXPECT_TRUE(webfile((base + "/echo?direct").c_str(), &body));
  http_setproxy(1, "127.0.0.1", (uint16_t)pport);  // "host,port"
  EXPECT_TRUE(webfile((base + "/echo?setting").c_str(), &body));
  unsetenv("http_proxy");

  nettest::stoppeer(&proxy);
  nettest::stoppeer(&origin);
  std::string text = filestring(log.c_str(), "rb").value_or("");
  EXPECT_NE(text.find("GET " + base + "/chunked HTTP/1.1"), std::string::npos) << text;
  EXPECT_NE(text.find("POST " + base + "/echo?post HTTP/1.1"), std::string::npos) << text;
  EXPECT_NE(text.find("GET " + base + "/echo?setting HTTP/1.1"), std::string::npos) << text;
  EXPECT_EQ(text.find("noproxy"), std::string::npos);
  EXPECT_EQ(text.find("direct"), std::string::npos);
}

}  // namespace
