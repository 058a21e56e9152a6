// A catalog in PostgreSQL, through libpq: its dialect, its rows and the writer `generate` fills
// it with.
//
// Each fetch runs a prepared statement (prepared once per connection and statement text) in
// single-row mode, so rows arrive one at a time and a large table is never held whole here.
// Every selected column is cast to bigint or text and read in binary: a big-endian 8-byte
// integer or the text's bytes, with no number formatting on either side. Connections are kept
// in a small pool, one per fetch running at once; a connection that failed is closed, and the
// next fetch opens a new one, so a database that was restarted is found again.

#include <endian.h>
#include <libpq-fe.h>

#include <cctype>
#include <cstring>
#include <map>

#include "source.h"

namespace catalog {

namespace {

class PgDialect : public Dialect {
 public:
  std::string Placeholder(int n, bool is_text) const override {
    return "$" + std::to_string(n) + (is_text ? "::text" : "::int8");
  }

  std::string Select(const std::string& expr, ReadAs as) const override {
    return "(" + expr + (as == ReadAs::kInt ? ")::int8" : ")::text");
  }
  // The very expression selected: a bigint column's cast is no cast, so its index still serves.
  std::string CompareInt(const std::string& expr) const override {
    return Select(expr, ReadAs::kInt);
  }
  // Under the "C" collation lower() folds ASCII letters only, whatever the database's locale.
  std::string AsciiLower(const std::string& expr) const override {
    return "lower((" + expr + ") COLLATE \"C\")";
  }
  // Texts in the database are valid UTF-8: a character beyond ASCII takes more than one byte.
  std::string NonAscii(const std::string& expr, std::vector<Param>*) const override {
    return "(octet_length(" + expr + ") <> char_length(" + expr + "))";
  }
  std::string Epoch(const std::string& expr) const override {
    return "floor(extract(epoch from " + expr + "))";
  }
};

const PgDialect kDialect;

// Statements kept prepared on one connection.
constexpr size_t kMaxPrepared = 64;

// libpq's messages on one line, as a log line or a terminal wants them.
std::string OneLine(std::string m) {
  std::string out;
  for (char c : m) {
    if (c == '\n' || c == '\t') c = ' ';
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string Message(const PGconn* conn) {
  std::string m = OneLine(conn != nullptr ? PQerrorMessage(conn) : "out of memory");
  return m.empty() ? "connection lost" : m;
}

// A statement's failure: the server's own message and its hint, without the echo of the
// statement libpq adds; the connection's message when the server sent none.
std::string ResultMessage(const PGresult* r, const PGconn* conn) {
  const char* primary = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary == nullptr) return Message(conn);
  std::string m = primary;
  if (const char* hint = PQresultErrorField(r, PG_DIAG_MESSAGE_HINT)) {
    m += std::string(" (") + hint + ")";
  }
  return OneLine(m);
}

// One connection and the statements prepared on it.
struct Connection {
  PGconn* conn = nullptr;
  std::map<std::string, std::string> prepared;  // statement text -> name
  int generation = 0;
  ~Connection() { PQfinish(conn); }
};

class PgSource;

class PgRows : public Rows {
 public:
  PgRows(std::shared_ptr<PgSource> source, std::unique_ptr<Connection> c)
      : source_(std::move(source)), c_(std::move(c)) {}
  ~PgRows() override;
  int Next(std::string* error) override;
  bool IsNull(int column) override { return PQgetisnull(row_, 0, column) != 0; }
  int64_t Int(int column) override {
    if (PQgetlength(row_, 0, column) != 8) return 0;
    uint64_t v = 0;
    std::memcpy(&v, PQgetvalue(row_, 0, column), 8);
    return static_cast<int64_t>(be64toh(v));
  }
  const char* Text(int column) override { return PQgetvalue(row_, 0, column); }

 private:
  std::shared_ptr<PgSource> source_;
  std::unique_ptr<Connection> c_;
  PGresult* row_ = nullptr;
  bool done_ = false;
};

class PgSource : public Source, public std::enable_shared_from_this<PgSource> {
 public:
  explicit PgSource(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  const Dialect& dialect() const override { return kDialect; }

  std::unique_ptr<Connection> Connect(std::string* error) {
    auto c = std::make_unique<Connection>();
    c->conn = PQconnectdb(conninfo_.c_str());
    if (PQstatus(c->conn) != CONNECTION_OK) {
      *error = "cannot connect to the catalog database: " + Message(c->conn);
      return nullptr;
    }
    return c;
  }

  std::unique_ptr<Rows> Query(const std::string& sql, const std::vector<ReadAs>&,
                              const std::vector<Param>& params, std::string* error) override {
    // An idle connection may have died with its server: try it, then a new one.
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::unique_ptr<Connection> c = Take(error);
      if (!c) return nullptr;
      if (Start(c.get(), sql, params, error)) {
        return std::make_unique<PgRows>(shared_from_this(), std::move(c));
      }
      if (PQstatus(c->conn) == CONNECTION_OK) return nullptr;  // a fault of the statement
    }
    return nullptr;
  }

  int Check(const std::string& sql, std::string* error) override {
    std::unique_ptr<Connection> c = Take(error);
    if (!c) return 0;
    PGresult* r = PQprepare(c->conn, "", sql.c_str(), 0, nullptr);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) *error = ResultMessage(r, c->conn);
    PQclear(r);
    GiveBack(std::move(c));
    return ok ? 1 : 0;
  }

  void GiveBack(std::unique_ptr<Connection> c) {
    if (c && PQstatus(c->conn) == CONNECTION_OK && idle_.size() < 4) idle_.push_back(std::move(c));
  }

 private:
  std::unique_ptr<Connection> Take(std::string* error) {
    if (!idle_.empty()) {
      std::unique_ptr<Connection> c = std::move(idle_.back());
      idle_.pop_back();
      if (PQstatus(c->conn) == CONNECTION_OK) return c;
    }
    return Connect(error);
  }

  // Prepares (once per connection) and sends the statement, rows to come one at a time.
  static bool Start(Connection* c, const std::string& sql, const std::vector<Param>& params,
                    std::string* error) {
    auto it = c->prepared.find(sql);
    if (it == c->prepared.end() && c->prepared.size() >= kMaxPrepared) {
      // Filters of many shapes must not pile up statements in the server for ever.
      PQclear(PQexec(c->conn, "DEALLOCATE ALL"));
      c->prepared.clear();
      c->generation++;
    }
    if (it == c->prepared.end()) {
      const std::string name =
          "kr" + std::to_string(c->generation) + "_" + std::to_string(c->prepared.size() + 1);
      PGresult* r = PQprepare(c->conn, name.c_str(), sql.c_str(), 0, nullptr);
      const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
      if (!ok) *error = ResultMessage(r, c->conn);
      PQclear(r);
      if (!ok) return false;
      it = c->prepared.emplace(sql, name).first;
    }
    std::vector<std::string> texts;
    std::vector<const char*> values;
    texts.reserve(params.size());
    for (const Param& p : params) texts.push_back(p.is_text ? p.text : std::to_string(p.i));
    for (const std::string& t : texts) values.push_back(t.c_str());
    if (!PQsendQueryPrepared(c->conn, it->second.c_str(), static_cast<int>(values.size()),
                             values.data(), nullptr, nullptr, 1) ||
        !PQsetSingleRowMode(c->conn)) {
      *error = Message(c->conn);
      return false;
    }
    return true;
  }

  std::string conninfo_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

int PgRows::Next(std::string* error) {
  PQclear(row_);
  row_ = nullptr;
  if (done_) return 2;
  PGresult* r = PQgetResult(c_->conn);
  const ExecStatusType status = r != nullptr ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  if (status == PGRES_SINGLE_TUPLE) {
    row_ = r;
    return 1;
  }
  if (status == PGRES_TUPLES_OK) {
    PQclear(r);
    while ((r = PQgetResult(c_->conn)) != nullptr) PQclear(r);
    done_ = true;
    return 2;
  }
  *error = ResultMessage(r, c_->conn);
  PQclear(r);
  // The connection is of no further use: a broken one cannot be, and a half-read one need not.
  c_.reset();
  done_ = true;
  return 0;
}

PgRows::~PgRows() {
  PQclear(row_);
  if (!c_) return;
  if (!done_) {
    // A fetch stopped early: cancel the rest of the statement, then drain what was sent.
    if (PGcancel* cancel = PQgetCancel(c_->conn)) {
      char buf[256];
      PQcancel(cancel, buf, sizeof buf);
      PQfreeCancel(cancel);
    }
    while (PGresult* r = PQgetResult(c_->conn)) PQclear(r);
  }
  source_->GiveBack(std::move(c_));
}

// The example catalog written with COPY, rows in its text format.
class PgWriter : public CatalogWriter {
 public:
  explicit PgWriter(PGconn* conn) : conn_(conn) {}
  ~PgWriter() override { PQfinish(conn_); }
  bool Exec(const std::string& sql, std::string* error) override {
    PGresult* r = PQexec(conn_, sql.c_str());
    const ExecStatusType s = PQresultStatus(r);
    PQclear(r);
    if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return true;
    *error = "postgresql: " + Message(conn_);
    return false;
  }
  bool Begin(const char* table, int, std::string* error) override {
    PGresult* r = PQexec(conn_, (std::string("COPY ") + table + " FROM STDIN").c_str());
    const bool ok = PQresultStatus(r) == PGRES_COPY_IN;
    PQclear(r);
    if (!ok) *error = "postgresql: " + Message(conn_);
    return ok;
  }
  bool Row(const std::vector<Cell>& row, std::string* error) override {
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) buffer_ += '\t';
      if (row[i].kind == Cell::kNull) {
        buffer_ += "\\N";
      } else if (row[i].kind == Cell::kInt) {
        buffer_ += std::to_string(row[i].i);
      } else {
        for (const char* p = row[i].text; *p != '\0'; ++p) {
          if (*p == '\\' || *p == '\t' || *p == '\n' || *p == '\r') buffer_ += '\\';
          buffer_ += *p == '\t' ? 't' : *p == '\n' ? 'n' : *p == '\r' ? 'r' : *p;
        }
      }
    }
    buffer_ += '\n';
    return buffer_.size() < (1 << 16) || Flush(error);
  }
  bool End(std::string* error) override {
    if (!Flush(error)) return false;
    if (PQputCopyEnd(conn_, nullptr) != 1) {
      *error = "postgresql: " + Message(conn_);
      return false;
    }
    bool ok = true;
    while (PGresult* r = PQgetResult(conn_)) {
      if (PQresultStatus(r) != PGRES_COMMAND_OK) ok = false;
      PQclear(r);
    }
    if (!ok) *error = "postgresql: " + Message(conn_);
    return ok;
  }
  bool Postgres() const override { return true; }

 private:
  bool Flush(std::string* error) {
    if (!buffer_.empty() &&
        PQputCopyData(conn_, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
      *error = "postgresql: " + Message(conn_);
      return false;
    }
    buffer_.clear();
    return true;
  }
  PGconn* conn_;
  std::string buffer_;
};

}  // namespace

bool IsPostgres(const std::string& catalog) {
  if (catalog.rfind("postgresql://", 0) == 0 || catalog.rfind("postgres://", 0) == 0) return true;
  // A conninfo string: keyword=value ...
  size_t i = 0;
  while (i < catalog.size() &&
         (std::islower(static_cast<unsigned char>(catalog[i])) != 0 || catalog[i] == '_')) {
    ++i;
  }
  return i > 0 && i < catalog.size() && catalog[i] == '=';
}

std::shared_ptr<Source> OpenPostgres(const std::string& conninfo, std::string* error) {
  auto source = std::make_shared<PgSource>(conninfo);
  std::unique_ptr<Connection> c = source->Connect(error);
  if (!c) return nullptr;
  source->GiveBack(std::move(c));
  return source;
}

std::unique_ptr<CatalogWriter> CreatePostgresWriter(const std::string& conninfo,
                                                    std::string* error) {
  PGconn* conn = PQconnectdb(conninfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    *error = "cannot connect to the catalog database: " + Message(conn);
    PQfinish(conn);
    return nullptr;
  }
  auto w = std::make_unique<PgWriter>(conn);
  if (!w->Exec("SET client_min_messages = warning", error)) return nullptr;
  return w;
}

}  // namespace catalog
