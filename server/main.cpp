// ordax-server: the project's own server. Commands:
//   ordax-server serve --root DIR [--listen HOST:PORT] [--db URL] [--client PROGRAM|none]
//                      [--public HOST:PORT] [--verify-runs N]
//   ordax-server publish --root DIR [--db URL] FILE.txt
//   ordax-server retire --root DIR [--db URL] NAME
// It serves the client's exchange over plain HTTP/1.1 (each reply closes its connection),
// logs one line per request on standard error and ends cleanly on SIGTERM or SIGINT.
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <atomic>
#include <thread>

#include "base/platform.h"
#include "server/project.h"
#include "server/store.h"

namespace fs = std::filesystem;

namespace {

const size_t UPLOAD_LIMIT = 16u << 20;  // bytes of one upload request

int usage() {
  fputs("Usage:\n"
        "  ordax-server serve --root DIR [--listen HOST:PORT] [--db URL] [--client PROGRAM|none]\n"
        "                     [--public HOST:PORT] [--verify-runs N]\n"
        "  ordax-server publish --root DIR [--db URL] FILE.txt\n"
        "  ordax-server retire --root DIR [--db URL] NAME\n"
        "The store is DIR/ordax.db (SQLite) unless --db names another file or a\n"
        "postgresql:// URL. PORT 0 takes a free port; the address is printed once listening.\n",
        stderr);
  return 2;
}

void logrequest(const httplib::Request& req, const httplib::Response& res) {
  char when[32];
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
  fprintf(stderr, "%s %s %s %s %d %zu\n", when, req.remote_addr.c_str(), req.method.c_str(),
          req.path.c_str(), res.status, res.body.size());
}

void reply(httplib::Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

int serve(Project& project, const std::string& listen, bool verifier) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return usage();
  std::string host = listen.substr(0, colon);
  int port = atoi(listen.c_str() + colon + 1);

  httplib::Server svr;
  svr.set_keep_alive_max_count(1);
  svr.set_payload_max_length(UPLOAD_LIMIT);
  svr.set_read_timeout(30, 0);
  svr.set_write_timeout(30, 0);
  // There is no interim "100 Continue": a client that asks for one gets a final 417 answer at
  // once (any code but 100 and 417 makes the library send `res` as the whole reply).
  svr.set_expect_100_continue_handler([](const httplib::Request&, httplib::Response& res) {
    reply(res, 417, "Send the request again without Expect.\n", "text/plain");
    return 0;
  });
  svr.set_logger(logrequest);
  svr.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    const char* what = res.status == 413 ? "Upload too large.\n" : "Not found.\n";
    if (res.status != 413 && res.status != 404) what = "Bad request.\n";
    reply(res, res.status, what, "text/plain");
  });

  svr.Get("/", [&](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, project.statuspage(), "text/html; charset=utf-8");
  });
  svr.Get("/ordax/servers.csv", [&](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, project.serverscsv(), "text/csv");
  });
  svr.Get("/ordax/lattices/list.php", [&](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, project.latticelist(), "text/plain");
  });
  svr.Get(R"(/ordax/lattices/([A-Za-z0-9_-]+)\.txt)",
          [&](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::string> text = project.latticefile(req.matches[1]);
            if (text) reply(res, 200, *text, "text/plain");
            else reply(res, 404, "No such lattice.\n", "text/plain");
          });
  svr.Get(R"(/ordax/samplefiles/([^/]+))",
          [&](const httplib::Request& req, httplib::Response& res) {
            std::optional<std::string> data = project.samplefile(req.matches[1]);
            if (data) reply(res, 200, *data, "application/octet-stream");
            else reply(res, 404, "No such sample file.\n", "text/plain");
          });
  svr.Post("/ordax/uploadresults.php", [&](const httplib::Request& req, httplib::Response& res) {
    if (!req.is_multipart_form_data() || !req.has_file("data")) {
      reply(res, 400, project.replypage("Refused: not a results upload."), "text/html");
      return;
    }
    std::string folder = req.has_file("folder") ? req.get_file_value("folder").content : "";
    httplib::MultipartFormData data = req.get_file_value("data");
    UploadOutcome out = project.upload(folder, data.filename, data.content);
    reply(res, out.status, out.reply, "text/html");
  });

  int bound = port == 0 ? svr.bind_to_any_port(host) : (svr.bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    fprintf(stderr, "Cannot listen on %s\n", listen.c_str());
    return 1;
  }
  // With port 0 the address told to clients gets the port just taken.
  std::string told = project.address();
  if (told.size() > 2 && told.compare(told.size() - 2, 2, ":0") == 0)
    project.setaddress(told.substr(0, told.size() - 1) + std::to_string(bound));
  printf("listening on %s:%d\n", host.c_str(), bound);
  fflush(stdout);

  // SIGTERM and SIGINT are taken by one waiting thread, which stops the server.
  sigset_t quit;
  sigemptyset(&quit);
  sigaddset(&quit, SIGTERM);
  sigaddset(&quit, SIGINT);
  std::atomic<bool> ended{false};
  std::thread signals([&] {
    int sig = 0;
    sigwait(&quit, &sig);
    if (ended) return;
    fprintf(stderr, "signal %d: stopping\n", sig);
    project.stop();
    svr.stop();
  });
  std::thread verify;
  if (verifier) verify = std::thread([&] { project.verifyloop(); });
  bool ok = svr.listen_after_bind();
  ended = true;
  project.stop();
  if (verify.joinable()) verify.join();
  // Ends the signal thread when the server stopped for another reason.
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  fprintf(stderr, "stopped\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  // Blocked in every thread; the signal thread of serve waits for them.
  sigset_t quit;
  sigemptyset(&quit);
  sigaddset(&quit, SIGTERM);
  sigaddset(&quit, SIGINT);
  pthread_sigmask(SIG_BLOCK, &quit, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string command = argv[1], root, db, listen = "127.0.0.1:8080", client, publicaddr;
  int verifyruns = 5;
  std::vector<std::string> rest;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    std::string n;
    if (a == "--root") { if (!value(&root)) return usage(); }
    else if (a == "--db") { if (!value(&db)) return usage(); }
    else if (a == "--listen") { if (!value(&listen)) return usage(); }
    else if (a == "--client") { if (!value(&client)) return usage(); }
    else if (a == "--public") { if (!value(&publicaddr)) return usage(); }
    else if (a == "--verify-runs") {
      if (!value(&n)) return usage();
      verifyruns = atoi(n.c_str());
      if (verifyruns < 2) return usage();
    } else if (a.rfind("--", 0) == 0) return usage();
    else rest.push_back(a);
  }
  if (root.empty()) return usage();
  std::error_code ec;
  fs::create_directories(root, ec);
  root = fs::absolute(root).lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (db.empty()) db = root + "/ordax.db";
  // Paths given on the command line are taken from where the command was started.
  std::vector<std::string> paths = rest;
  if (command == "publish")
    for (std::string& p : paths) p = fs::absolute(p).string();
  if (!client.empty() && client != "none") client = fs::absolute(client).string();
  if (db.find("://") == std::string::npos) db = fs::absolute(db).string();
  // The results library finds lattices/ and datafiles/ in the working directory.
  if (!platform_chdir(root.c_str())) {
    fprintf(stderr, "Cannot enter %s\n", root.c_str());
    return 1;
  }
  std::string error;
  std::unique_ptr<Store> store = Store::open(db, &error);
  if (!store) {
    fprintf(stderr, "Cannot open the store %s: %s\n", db.c_str(), error.c_str());
    return 1;
  }
  ServerConfig config;
  config.root = root;
  config.verifyruns = verifyruns;

  if (command == "publish" || command == "retire") {
    if (paths.size() != 1) return usage();
    Project project(store.get(), config);
    std::string message;
    int rc = command == "publish" ? project.publish(paths[0], &message)
                                  : project.retire(paths[0], &message);
    fprintf(rc == 0 ? stdout : stderr, "%s\n", message.c_str());
    return rc == 0 ? 0 : 1;
  }
  if (command != "serve") return usage();
  if (client.empty()) {
    fs::path beside = fs::path(platform_exepath()).parent_path() / "ordax";
    if (!fs::exists(beside)) {
      fprintf(stderr, "No client program for verification at %s: give --client PROGRAM, or "
                      "--client none to accept new bests unverified\n",
              beside.c_str());
      return 1;
    }
    client = beside.string();
  }
  if (client != "none") config.client = client;
  if (publicaddr.empty()) publicaddr = listen;
  config.address = publicaddr;
  Project project(store.get(), config);
  return serve(project, listen, !config.client.empty());
}
