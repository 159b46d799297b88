// The store's SQL, shared by both engines, and the two engines: SQLite through its C library
// (one connection, WAL, a busy wait of 5 s) and PostgreSQL through libpq (four connections,
// each reset once when it is lost). Every call holds one connection while it runs.
#include "server/store.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return out;
}

std::string num(double x) {
  char buf[40];
  snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

class SqliteEngine : public StoreEngine {
 public:
  explicit SqliteEngine(sqlite3* d) : db(d) {}
  ~SqliteEngine() override { sqlite3_close(db); }
  bool exec(const std::string& sql, const std::vector<std::string>& params,
            std::vector<std::vector<std::string>>* rows, std::string* error,
            bool* transient) override {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), (int)sql.size(), &st, nullptr);
    if (rc == SQLITE_OK) {
      for (size_t i = 0; i < params.size(); i++) {
        // Parameters are named $1, $2, … as PostgreSQL numbers them.
        int at = sqlite3_bind_parameter_index(st, ("$" + std::to_string(i + 1)).c_str());
        if (at > 0) sqlite3_bind_text(st, at, params[i].data(), (int)params[i].size(), SQLITE_TRANSIENT);
      }
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        if (!rows) continue;
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(st); c++) {
          const unsigned char* t = sqlite3_column_text(st, c);
          row.emplace_back(t ? (const char*)t : "");
        }
        rows->push_back(std::move(row));
      }
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    if (rc == SQLITE_OK) return true;
    *error = sqlite3_errmsg(db);
    *transient = rc == SQLITE_BUSY || rc == SQLITE_LOCKED || rc == SQLITE_FULL ||
                 (rc & 0xff) == SQLITE_IOERR;
    return false;
  }
  const char* idcolumn() const override { return "id INTEGER PRIMARY KEY"; }

 private:
  sqlite3* db;
};

class PostgresEngine : public StoreEngine {
 public:
  explicit PostgresEngine(PGconn* c) : conn(c) {}
  ~PostgresEngine() override { PQfinish(conn); }
  bool exec(const std::string& sql, const std::vector<std::string>& params,
            std::vector<std::vector<std::string>>* rows, std::string* error,
            bool* transient) override {
    if (PQstatus(conn) != CONNECTION_OK) PQreset(conn);
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    PGresult* res = PQexecParams(conn, sql.c_str(), (int)values.size(), nullptr, values.data(),
                                 nullptr, nullptr, 0);
    ExecStatusType st = PQresultStatus(res);
    bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    if (ok && rows) {
      for (int r = 0; r < PQntuples(res); r++) {
        std::vector<std::string> row;
        for (int c = 0; c < PQnfields(res); c++) row.emplace_back(PQgetvalue(res, r, c));
        rows->push_back(std::move(row));
      }
    }
    if (!ok) {
      *error = PQerrorMessage(conn);
      const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
      // Lost connections (class 08), serialisation failures and dead-locks (40), too many
      // connections and lack of resources (53), shutdowns (57) may pass.
      std::string cls = state ? std::string(state, 2) : "08";
      *transient = PQstatus(conn) != CONNECTION_OK || cls == "08" || cls == "40" ||
                   cls == "53" || cls == "57";
    }
    PQclear(res);
    return ok;
  }
  const char* idcolumn() const override { return "id BIGSERIAL PRIMARY KEY"; }

 private:
  PGconn* conn;
};

StoredResult rowresult(const std::vector<std::string>& r) {
  StoredResult s;
  s.id = atoll(r[0].c_str());
  s.lattice = r[1];
  s.genome = r[2];
  s.line = r[3];
  s.score = strtod(r[4].c_str(), nullptr);
  s.runs = atoi(r[5].c_str());
  s.user = r[6];
  s.received = atoll(r[7].c_str());
  s.state = atoi(r[8].c_str());
  return s;
}

const char* const RESULTCOLUMNS =
    "SELECT id, lattice, genome, line, score, runs, username, received, state FROM results ";

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& url, std::string* error) {
  std::vector<std::unique_ptr<StoreEngine>> engines;
  std::string idcolumn;
  if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
    for (int i = 0; i < 4; i++) {
      PGconn* conn = PQconnectdb(url.c_str());
      if (PQstatus(conn) != CONNECTION_OK) {
        *error = PQerrorMessage(conn);
        PQfinish(conn);
        return nullptr;
      }
      PQclear(PQexec(conn, "SET client_min_messages TO WARNING"));
      engines.push_back(std::make_unique<PostgresEngine>(conn));
    }
  } else {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(url.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                        SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
      *error = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    engines.push_back(std::make_unique<SqliteEngine>(db));
    bool t = false;
    std::vector<std::vector<std::string>> rows;
    if (!engines[0]->exec("PRAGMA journal_mode=WAL", {}, &rows, error, &t) ||
        !engines[0]->exec("PRAGMA synchronous=NORMAL", {}, nullptr, error, &t))
      return nullptr;
  }
  const std::string schema[] = {
      "CREATE TABLE IF NOT EXISTS lattices (lkey TEXT PRIMARY KEY, name TEXT NOT NULL, "
      "published BIGINT NOT NULL, retired INTEGER NOT NULL)",
      std::string("CREATE TABLE IF NOT EXISTS results (") + engines[0]->idcolumn() +
          ", lkey TEXT NOT NULL, lattice TEXT NOT NULL, genome TEXT NOT NULL, line TEXT NOT NULL, "
          "score DOUBLE PRECISION NOT NULL, runs INTEGER NOT NULL, rechecked INTEGER NOT NULL, "
          "username TEXT NOT NULL, "
          "received BIGINT NOT NULL, state INTEGER NOT NULL, rkey TEXT NOT NULL UNIQUE)",
      // The sample file's order: re-checked first, then by score.
      "CREATE INDEX IF NOT EXISTS results_by_lattice ON results (lkey, state, rechecked, score)",
      "CREATE INDEX IF NOT EXISTS results_by_state ON results (state, id)",
      "CREATE TABLE IF NOT EXISTS counters (name TEXT PRIMARY KEY, value BIGINT NOT NULL)",
  };
  bool t = false;
  for (const std::string& sql : schema)
    if (!engines[0]->exec(sql, {}, nullptr, error, &t)) return nullptr;
  return std::make_unique<Store>(std::move(engines));
}

Store::Lease::Lease(Store* s) : store(s) {
  std::unique_lock<std::mutex> g(store->pool);
  store->returned.wait(g, [this] { return !store->idle.empty(); });
  engine = std::move(store->idle.back());
  store->idle.pop_back();
}

Store::Lease::~Lease() {
  std::lock_guard<std::mutex> g(store->pool);
  store->idle.push_back(std::move(engine));
  store->returned.notify_one();
}

bool Store::Lease::run(const std::string& sql, const std::vector<std::string>& params,
                std::vector<std::vector<std::string>>* rows, bool* transient) {
  bool t = false;
  std::string error;
  bool ok = engine->exec(sql, params, rows, &error, &t);
  if (!ok) fprintf(stderr, "store: %s\n", error.c_str());
  if (transient) *transient = t;
  return ok;
}

bool Store::publish(const std::string& name, int64_t when) {
  Lease use(this);
  return use.run("INSERT INTO lattices (lkey, name, published, retired) VALUES ($1, $2, $3, 0) "
             "ON CONFLICT (lkey) DO UPDATE SET retired = 0",
             {lower(name), name, std::to_string(when)});
}

bool Store::retire(const std::string& name) {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  return use.run("UPDATE lattices SET retired = 1 WHERE lkey = $1 AND retired = 0 RETURNING name",
             {lower(name)}, &rows) &&
         !rows.empty();
}

std::vector<std::string> Store::lattices() {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  use.run("SELECT name FROM lattices WHERE retired = 0 ORDER BY published, lkey", {}, &rows);
  std::vector<std::string> names;
  for (auto& r : rows) names.push_back(r[0]);
  return names;
}

int Store::add(std::vector<StoredResult>* results, bool* transient) {
  Lease use(this);
  *transient = false;
  if (!use.run("BEGIN", {}, nullptr, transient)) return -1;
  int inserted = 0;
  for (StoredResult& r : *results) {
    std::vector<std::vector<std::string>> rows;
    if (!use.run("INSERT INTO results (lkey, lattice, genome, line, score, runs, rechecked, username, "
             "received, state, rkey) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) "
             "ON CONFLICT (rkey) DO NOTHING RETURNING id",
             {lower(r.lattice), r.lattice, r.genome, r.line, num(r.score), std::to_string(r.runs),
              r.runs >= 5 ? "1" : "0",
              r.user, std::to_string(r.received), std::to_string(r.state), r.key},
             &rows, transient)) {
      bool t = *transient;
      use.run("ROLLBACK", {});
      *transient = t;
      for (StoredResult& s : *results) s.id = 0;
      return -1;
    }
    r.id = rows.empty() ? 0 : atoll(rows[0][0].c_str());
    inserted += !rows.empty();
  }
  if (!use.run("COMMIT", {}, nullptr, transient)) {
    use.run("ROLLBACK", {});
    for (StoredResult& s : *results) s.id = 0;
    return -1;
  }
  return inserted;
}

bool Store::best(const std::string& lattice, double* score) {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  if (!use.run("SELECT MAX(score), COUNT(*) FROM results WHERE lkey = $1 AND state = 1",
           {lower(lattice)}, &rows) ||
      rows.empty() || atoll(rows[0][1].c_str()) == 0)
    return false;
  *score = strtod(rows[0][0].c_str(), nullptr);
  return true;
}

std::vector<StoredResult> Store::results(const std::string& sql,
                                         const std::vector<std::string>& p) {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  use.run(RESULTCOLUMNS + sql, p, &rows);
  std::vector<StoredResult> out;
  for (auto& r : rows) out.push_back(rowresult(r));
  return out;
}

std::vector<StoredResult> Store::top(const std::string& lattice, int n) {
  return results("WHERE lkey = $1 AND state = 1 ORDER BY rechecked DESC, score DESC, id LIMIT $2",
                 {lower(lattice), std::to_string(n)});
}

std::vector<StoredResult> Store::held(int n) {
  return results("WHERE state = 0 ORDER BY id LIMIT $1", {std::to_string(n)});
}

std::vector<StoredResult> Store::history(const std::string& lattice) {
  return results("WHERE lkey = $1 AND state = 1 ORDER BY id", {lower(lattice)});
}

bool Store::setstate(int64_t id, int state) {
  Lease use(this);
  return use.run("UPDATE results SET state = $1 WHERE id = $2",
             {std::to_string(state), std::to_string(id)});
}

std::vector<LatticeStats> Store::latticestats() {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  use.run("SELECT l.name, "
      "(SELECT COUNT(*) FROM results r WHERE r.lkey = l.lkey AND r.state = 1), "
      "(SELECT COUNT(DISTINCT username) FROM results r WHERE r.lkey = l.lkey AND r.state = 1), "
      "(SELECT COALESCE(MAX(score), 0) FROM results r WHERE r.lkey = l.lkey AND r.state = 1), "
      "(SELECT COUNT(*) FROM results r WHERE r.lkey = l.lkey AND r.state = 0) "
      "FROM lattices l WHERE l.retired = 0 ORDER BY l.published, l.lkey",
      {}, &rows);
  std::vector<LatticeStats> out;
  for (auto& r : rows)
    out.push_back({r[0], atoll(r[1].c_str()), atoll(r[2].c_str()), strtod(r[3].c_str(), nullptr),
                   atoll(r[4].c_str())});
  return out;
}

std::vector<UserStats> Store::userstats() {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  use.run("SELECT username, SUM(CASE WHEN state = 1 THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN state = 0 THEN 1 ELSE 0 END), SUM(CASE WHEN state = 2 THEN 1 ELSE 0 END) "
      "FROM results GROUP BY username ORDER BY 2 DESC, username",
      {}, &rows);
  std::vector<UserStats> out;
  for (auto& r : rows)
    out.push_back({r[0], atoll(r[1].c_str()), atoll(r[2].c_str()), atoll(r[3].c_str())});
  return out;
}

int64_t Store::count(int state) {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  if (!use.run("SELECT COUNT(*) FROM results WHERE state = $1", {std::to_string(state)}, &rows) ||
      rows.empty())
    return -1;
  return atoll(rows[0][0].c_str());
}

bool Store::addcounter(const std::string& name, int64_t by) {
  Lease use(this);
  return use.run("INSERT INTO counters (name, value) VALUES ($1, $2) "
             "ON CONFLICT (name) DO UPDATE SET value = counters.value + $2",
             {name, std::to_string(by)});
}

std::vector<std::pair<std::string, int64_t>> Store::counters() {
  Lease use(this);
  std::vector<std::vector<std::string>> rows;
  use.run("SELECT name, value FROM counters ORDER BY name", {}, &rows);
  std::vector<std::pair<std::string, int64_t>> out;
  for (auto& r : rows) out.emplace_back(r[0], atoll(r[1].c_str()));
  return out;
}
