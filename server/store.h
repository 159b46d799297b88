// The project server's store: published lattices, every uploaded result with its state (held
// for verification, accepted, rejected), and the counters of rejected uploads. One small
// interface over two engines: SQLite (one file in WAL mode, created on first use; the default)
// and PostgreSQL (a "postgresql://" URL). Both speak the same SQL; only the engine calls and
// the row-id column differ. A Store serialises its calls with its own mutex, so the HTTP
// threads and the verifier may share one. Called once per upload and per page or file served.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A result as the server keeps it.
struct StoredResult {
  int64_t id = 0;
  std::string lattice;  // lattice name as published (the key compares without letter case)
  std::string genome;   // genome line
  std::string line;     // result line
  double score = 0;
  int runs = 1;         // #runs of the genome (5 or more: re-checked by its client)
  std::string user;     // contributor, from the upload's file name
  int64_t received = 0; // s since 1970 UTC
  int state = 0;        // RESULT_HELD, RESULT_ACCEPTED or RESULT_REJECTED
  std::string key;      // identity for duplicate detection
};
enum { RESULT_HELD = 0, RESULT_ACCEPTED = 1, RESULT_REJECTED = 2 };

struct LatticeStats {
  std::string name;
  int64_t results = 0;       // accepted results
  int64_t contributors = 0;  // distinct users among them
  double best = 0;           // best accepted score (0 when there is none)
  int64_t held = 0;          // results waiting for verification
};

struct UserStats {
  std::string user;
  int64_t accepted = 0, held = 0, rejected = 0;
};

// One engine: runs a statement with text parameters $1, $2, … and returns its rows as text.
// Returns false on failure with the engine's message in *error; `transient` tells whether the
// failure may pass (a busy database, a lost connection) rather than being a fault.
class StoreEngine {
 public:
  virtual ~StoreEngine() = default;
  virtual bool exec(const std::string& sql, const std::vector<std::string>& params,
                    std::vector<std::vector<std::string>>* rows, std::string* error,
                    bool* transient) = 0;
  virtual const char* idcolumn() const = 0;  // the auto-numbered key column's declaration
};

class Store {
 public:
  // Opens (and creates the tables of) the store at `url`: "postgresql://…" or
  // "postgres://…" for PostgreSQL, anything else is an SQLite file path. None on failure,
  // with the reason in *error.
  static std::unique_ptr<Store> open(const std::string& url, std::string* error);

  // ---- lattices ----
  // Adds a published name; false when the store fails.
  bool publish(const std::string& name, int64_t when);
  // Marks a name retired (it leaves the list). False when it was not published and active.
  bool retire(const std::string& name);
  // Active (published, not retired) names in publishing order.
  std::vector<std::string> lattices();

  // ---- results ----
  // Inserts the results in one transaction; a result whose key is already stored is skipped.
  // Returns the number inserted, or −1 when the store failed (nothing inserted); on −1
  // *transient tells whether a retry may succeed. The ids of inserted results are set.
  int add(std::vector<StoredResult>* results, bool* transient);
  // Best accepted score of a lattice; false when it has none.
  bool best(const std::string& lattice, double* score);
  // The best `n` accepted results of a lattice, re-checked ones (runs ≥ 5) first, then by
  // score, highest first.
  std::vector<StoredResult> top(const std::string& lattice, int n);
  // Held results, oldest first.
  std::vector<StoredResult> held(int n);
  bool setstate(int64_t id, int state);
  // Accepted results of a lattice in order of arrival (score and time only).
  std::vector<StoredResult> history(const std::string& lattice);
  std::vector<LatticeStats> latticestats();
  std::vector<UserStats> userstats();
  int64_t count(int state);

  // ---- counters of rejected uploads, by reason ----
  bool addcounter(const std::string& name, int64_t by);
  std::vector<std::pair<std::string, int64_t>> counters();

  explicit Store(std::vector<std::unique_ptr<StoreEngine>> engines) : idle(std::move(engines)) {}

 private:
  // One connection taken from the pool for the length of a call (a transaction included).
  class Lease {
   public:
    explicit Lease(Store* s);
    ~Lease();
    bool run(const std::string& sql, const std::vector<std::string>& params,
             std::vector<std::vector<std::string>>* rows = nullptr, bool* transient = nullptr);

   private:
    Store* store;
    std::unique_ptr<StoreEngine> engine;
  };
  std::vector<StoredResult> results(const std::string& sql, const std::vector<std::string>& p);
  std::vector<std::unique_ptr<StoreEngine>> idle;
  std::mutex pool;
  std::condition_variable returned;
};
