// The project server's work, apart from HTTP: checking and storing uploaded results, the files
// it serves (server list, lattice list and files, sample files), publishing and retiring
// lattices, the status page and the verifier that re-runs would-be bests through the client.
// The results library it validates with keeps process-wide caches and one report channel, so
// every call into it runs under one mutex (Project::library). The server's root folder holds
// lattices/, datafiles/ and samplefiles/ and is the working directory while it runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/store.h"

struct ServerConfig {
  std::string root;                  // absolute path of the project folder
  std::string address = "127.0.0.1:80";  // host[:port] that clients are told in servers.csv
  std::string ftpuser = "-", ftppassword = "-";  // "-": no FTP upload
  std::string client;                // the ordax program the verifier runs; empty: no verifier
  int verifyruns = 5;                // re-runs per verification (2 or more)
  int verifytimeout = 600;           // s allowed for one verification
  int samplesize = 100;              // results in a sample file
};

struct UploadOutcome {
  int status = 200;  // 200 processed, 400 not an upload, 503 storage failed (retry)
  int accepted = 0, held = 0, duplicates = 0;
  std::map<std::string, int> rejected;  // reason → count
  int rejectedtotal() const;
  std::string reply;  // the page sent back, signal block included (under 1 KB)
};

// The folder name an upload must carry: "v", digits, ".", digits, "x" (as "v4.4x").
bool uploadfolderok(const std::string& folder);
// The contributor named by an upload's file name "DATE-TIME-RANDOM-USER.ext": the user part
// with anything but letters, digits, '_', '-' and '.' dropped (at most 40 characters), or
// "anonymous". Only the last path component is looked at; the name is never used as a path.
std::string uploaduser(const std::string& filename);
// A lattice name that may be published and served: 1 to 64 letters, digits, '_' and '-'.
bool latticenameok(const std::string& name);
// The running best of a series of (time, score) points as an SVG line plot, width × height.
std::string bestplotsvg(const std::vector<std::pair<int64_t, double>>& points, int width,
                        int height);

class Project {
 public:
  Project(Store* store, ServerConfig config);
  ~Project();

  UploadOutcome upload(const std::string& folder, const std::string& filename,
                       const std::string& data);
  // The reply page for `outcome` with the signal block (also for refused uploads).
  std::string replypage(const std::string& summary) const;

  std::string serverscsv() const;
  std::string address() const { return config.address; }
  void setaddress(const std::string& a) { config.address = a; }
  std::string latticelist();
  std::optional<std::string> latticefile(const std::string& name);
  std::optional<std::string> samplefile(const std::string& file);
  std::string statuspage();

  // Publishes the lattice file at `path` under its base name. 0 on success; −1 when refused,
  // with the reason in *message.
  int publish(const std::string& path, std::string* message);
  int retire(const std::string& name, std::string* message);

  // Rewrites the sample file of a lattice from the store (under a temporary name renamed
  // over the old one). Returns 1 when written.
  int rebuildsample(const std::string& lattice);

  // The verifier: settles held results until stop() is called. One pass: results no longer
  // above the accepted best are accepted at once; the highest held result of each lattice is
  // re-run through the client and accepted or rejected. Returns the number settled.
  int verifypass();
  void verifyloop();
  void wake();
  void stop();

  // Serialises every use of the results library.
  static std::mutex library;

 private:
  // Re-runs a genome `runs` times in a fresh work folder; the scores (empty on failure).
  std::vector<double> rerun(const StoredResult& r, std::string* why);
  std::optional<std::string> activelattice(const std::string& name);

  Store* store;
  ServerConfig config;
  std::string signalversion, signalmessage;
  std::mutex waitlock;
  std::condition_variable waiter;
  bool pending = false;
  std::atomic<bool> stopping{false};
};
