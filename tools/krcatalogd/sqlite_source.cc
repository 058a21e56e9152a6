// A catalog in a SQLite file: its dialect, its rows and the writer `generate` fills it with.

#include <sqlite3.h>

#include <cstdio>
#include <map>

#include "source.h"

namespace catalog {

namespace {

class SqliteDialect : public Dialect {
 public:
  std::string Placeholder(int n, bool) const override { return "?" + std::to_string(n); }
  // The column as it stands: sqlite3_column_int64 and _text convert as CAST does.
  std::string Select(const std::string& expr, ReadAs) const override { return expr; }
  // A column may hold any type of value whatever its declaration; the cast gives the integer
  // sqlite3_column_int64 reads (same conversion), so the comparison sees what the report sees.
  std::string CompareInt(const std::string& expr) const override {
    return "CAST((" + expr + ") AS INTEGER)";
  }
  // SQLite's lower() folds ASCII letters only (no ICU in the Debian build we link).
  std::string AsciiLower(const std::string& expr) const override { return "lower(" + expr + ")"; }
  // GLOB reads texts as UTF-8: every byte of 128 and above ends up in a character outside 1-127.
  std::string NonAscii(const std::string& expr, std::vector<Param>* params) const override {
    params->push_back(Param::Text("*[^\x01-\x7f]*"));
    return "(" + expr + ") GLOB " + Placeholder(static_cast<int>(params->size()), true);
  }
  std::string Epoch(const std::string& expr) const override {
    return "CAST(strftime('%s', " + expr + ") AS INTEGER)";
  }
};

const SqliteDialect kDialect;

// Statements kept prepared for the next fetch of the same shape.
constexpr size_t kMaxIdle = 64;

// Prepared statements kept by their text and handed to one running SELECT at a time.
class SqliteSource;

class SqliteRows : public Rows {
 public:
  SqliteRows(std::shared_ptr<SqliteSource> source, std::string sql, sqlite3_stmt* stmt)
      : source_(std::move(source)), sql_(std::move(sql)), stmt_(stmt) {}
  ~SqliteRows() override;
  int Next(std::string* error) override;
  bool IsNull(int column) override { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int64_t Int(int column) override { return sqlite3_column_int64(stmt_, column); }
  const char* Text(int column) override {
    const unsigned char* t = sqlite3_column_text(stmt_, column);
    return t != nullptr ? reinterpret_cast<const char*>(t) : "";
  }

 private:
  std::shared_ptr<SqliteSource> source_;
  std::string sql_;
  sqlite3_stmt* stmt_;
};

class SqliteSource : public Source, public std::enable_shared_from_this<SqliteSource> {
 public:
  explicit SqliteSource(sqlite3* db) : db_(db) {}
  ~SqliteSource() override {
    for (auto& [sql, stmt] : idle_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
  }
  const Dialect& dialect() const override { return kDialect; }

  std::unique_ptr<Rows> Query(const std::string& sql, const std::vector<ReadAs>&,
                              const std::vector<Param>& params, std::string* error) override {
    sqlite3_stmt* stmt = nullptr;
    auto it = idle_.find(sql);
    if (it != idle_.end()) {
      stmt = it->second;
      idle_.erase(it);
    } else if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                                  nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      return nullptr;
    }
    for (size_t i = 0; i < params.size(); ++i) {
      const int n = static_cast<int>(i) + 1;
      const Param& p = params[i];
      if (p.is_text) {
        sqlite3_bind_text(stmt, n, p.text.data(), static_cast<int>(p.text.size()),
                          SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_int64(stmt, n, p.i);
      }
    }
    return std::make_unique<SqliteRows>(shared_from_this(), sql, stmt);
  }

  int Check(const std::string& sql, std::string* error) override {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) *error = sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    return rc == SQLITE_OK ? 1 : 0;
  }

  // SQLite plans a catalog without statistics: a range of an indexed column is looked up row by
  // row through the index and the rows sorted by the key in a temporary tree. When the key is
  // the integer primary key (the row id, which every index entry carries), the keys found
  // through the index can be collected first and the rows read in key order instead: no sort,
  // the first row at once, and the rows close together in the file.
  bool FindsRangeThroughIndex(const std::string& table, const std::string& column,
                              const std::string& key) override {
    const std::string id = table + '\n' + column + '\n' + key;
    auto known = through_index_.find(id);
    if (known != through_index_.end()) return known->second;
    const bool yes =
        Count("SELECT count(*) FROM pragma_table_info(?1) WHERE pk > 0", table, "") == 1 &&
        Count("SELECT count(*) FROM pragma_table_info(?1) WHERE pk = 1 AND name = ?2 "
              "COLLATE NOCASE AND upper(type) = 'INTEGER'",
              table, key) == 1 &&
        Count("SELECT count(*) FROM pragma_index_list(?1) AS l, pragma_index_info(l.name) AS i "
              "WHERE i.seqno = 0 AND i.name = ?2 COLLATE NOCASE",
              table, column) > 0;
    through_index_.emplace(id, yes);
    return yes;
  }

  const char* Message() const { return sqlite3_errmsg(db_); }

  // A statement back from a finished SELECT; a second one of the same text is not kept.
  void GiveBack(const std::string& sql, sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (idle_.size() >= kMaxIdle) {  // filters of many shapes must not pile up statements
      for (auto& [text, s] : idle_) sqlite3_finalize(s);
      idle_.clear();
    }
    if (!idle_.emplace(sql, stmt).second) sqlite3_finalize(stmt);
  }

 private:
  // The one number a query about the schema answers; -1 when it cannot be asked.
  int64_t Count(const char* sql, const std::string& a, const std::string& b) {
    sqlite3_stmt* stmt = nullptr;
    int64_t n = -1;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(stmt, 1, a.data(), static_cast<int>(a.size()), SQLITE_TRANSIENT);
      if (sqlite3_bind_parameter_count(stmt) > 1)
        sqlite3_bind_text(stmt, 2, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW) n = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    return n;
  }

  sqlite3* db_;
  std::map<std::string, sqlite3_stmt*> idle_;
  std::map<std::string, bool> through_index_;  // FindsRangeThroughIndex's answers
};

SqliteRows::~SqliteRows() { source_->GiveBack(sql_, stmt_); }

int SqliteRows::Next(std::string* error) {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return 1;
  if (rc == SQLITE_DONE) return 2;
  *error = source_->Message();
  return 0;
}

class SqliteWriter : public CatalogWriter {
 public:
  explicit SqliteWriter(sqlite3* db) : db_(db) {}
  ~SqliteWriter() override {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  bool Exec(const std::string& sql, std::string* error) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = std::string("sqlite: ") + (message != nullptr ? message : "unknown error");
    sqlite3_free(message);
    return false;
  }
  bool Begin(const char* table, int columns, std::string* error) override {
    std::string sql = std::string("INSERT INTO ") + table + " VALUES (";
    for (int i = 0; i < columns; ++i) sql += i == 0 ? "?" : ",?";
    sql += ")";
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    return Ok(sqlite3_prepare_v2(db_, sql.c_str(), -1, &insert_, nullptr), error);
  }
  bool Row(const std::vector<Cell>& row, std::string* error) override {
    for (size_t i = 0; i < row.size(); ++i) {
      const int n = static_cast<int>(i) + 1;
      switch (row[i].kind) {
        case Cell::kNull:
          sqlite3_bind_null(insert_, n);
          break;
        case Cell::kInt:
          sqlite3_bind_int64(insert_, n, row[i].i);
          break;
        case Cell::kText:
          sqlite3_bind_text(insert_, n, row[i].text, -1, SQLITE_TRANSIENT);
          break;
      }
    }
    const int rc = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    return Ok(rc == SQLITE_DONE ? SQLITE_OK : rc, error);
  }
  bool End(std::string*) override { return true; }
  bool Postgres() const override { return false; }

 private:
  bool Ok(int rc, std::string* error) {
    if (rc == SQLITE_OK) return true;
    *error = std::string("sqlite: ") + sqlite3_errmsg(db_);
    return false;
  }
  sqlite3* db_;
  sqlite3_stmt* insert_ = nullptr;
};

}  // namespace

std::shared_ptr<Source> OpenSqlite(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  // One thread uses the connection, so SQLite's own lock around every column read is not needed.
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    *error = "cannot open catalog '" + path + "': " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  // The catalog is read through a memory map rather than read() calls: a full fetch then costs
  // no copy of every page into SQLite's cache. SQLite falls back to reading beyond the limit.
  sqlite3_exec(db, "PRAGMA mmap_size = 1073741824", nullptr, nullptr, nullptr);
  // A double-quoted name that names no column must be an error, not a text: the mapping's
  // columns are quoted identifiers.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  return std::make_shared<SqliteSource>(db);
}

std::unique_ptr<CatalogWriter> CreateSqliteWriter(const std::string& path, std::string* error) {
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    *error = "cannot create catalog '" + path + "': " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  auto writer = std::make_unique<SqliteWriter>(db);
  if (!writer->Exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", error)) return nullptr;
  return writer;
}

}  // namespace catalog
