// Catalog databases: the one seam between the catalog provider and the database engine that
// holds the catalog (SQLite or PostgreSQL). A Source runs SELECTs with bound parameters and
// hands rows back one at a time, so a table is never held whole in the provider; its Dialect
// says how the engine spells what the statement builder and the filter translation need.
//
// Thread safety: none; a Source belongs to the thread that opened it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace catalog {

// A bound parameter: an integer or a text. Values only ever reach the database this way.
struct Param {
  bool is_text = false;
  int64_t i = 0;
  std::string text;
  static Param Int(int64_t v) { return Param{false, v, {}}; }
  static Param Text(std::string v) { return Param{true, 0, std::move(v)}; }
};

// How a column is read: as a 64-bit integer or as a text.
enum class ReadAs { kInt, kText };

// How the engine spells things. Expressions handed in are the mapping's own (a quoted column or
// an administrator's SQL expression).
class Dialect {
 public:
  virtual ~Dialect() = default;
  // The n-th (1-based) placeholder of a statement, typed for an integer or a text.
  virtual std::string Placeholder(int n, bool is_text) const = 0;
  // A quoted identifier; `dotted` splits schema.name at its dot. Both engines quote as standard
  // SQL does: in double quotes, a double quote doubled.
  std::string Identifier(const std::string& name, bool dotted) const {
    const size_t dot = dotted ? name.find('.') : std::string::npos;
    if (dot == std::string::npos) return Quote(name);
    return Quote(name.substr(0, dot)) + "." + Quote(name.substr(dot + 1));
  }
  // The column selected for a field read as `as`: what GetRecord reads.
  virtual std::string Select(const std::string& expr, ReadAs as) const = 0;
  // An integer-valued expression with exactly the value the provider reads from Select.
  virtual std::string CompareInt(const std::string& expr) const = 0;
  // The text form of an expression as read, with ASCII letters (only) folded to lower case.
  virtual std::string AsciiLower(const std::string& expr) const = 0;
  // True for a text holding any byte outside 1-127 (so the filter's own case folding, which goes
  // beyond ASCII, must decide). May add a parameter to *params.
  virtual std::string NonAscii(const std::string& expr, std::vector<Param>* params) const = 0;
  // Seconds since 1970 of an SQL timestamp.
  virtual std::string Epoch(const std::string& expr) const = 0;

 private:
  static std::string Quote(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
      if (c == '"') out += '"';
      out += c;
    }
    return out + "\"";
  }
};

// A running SELECT. Columns are numbered from 0 in select-list order.
class Rows {
 public:
  virtual ~Rows() = default;
  // 1: a row is there; 2: no more rows; 0: failed, with *error the database's message.
  virtual int Next(std::string* error) = 0;
  virtual bool IsNull(int column) = 0;
  virtual int64_t Int(int column) = 0;
  virtual const char* Text(int column) = 0;  // never null for a column that is not NULL
};

class Source {
 public:
  virtual ~Source() = default;
  virtual const Dialect& dialect() const = 0;
  // Starts a SELECT (`reads` says how each selected column is read). Null with *error on failure;
  // a source whose connection was lost opens it again first.
  virtual std::unique_ptr<Rows> Query(const std::string& sql, const std::vector<ReadAs>& reads,
                                      const std::vector<Param>& params, std::string* error) = 0;
  // Checks that a statement compiles against the database, running nothing. 1, or 0 with *error.
  virtual int Check(const std::string& sql, std::string* error) = 0;
  // Whether the rows of `table` with `column` in a range are best found first, as the row keys
  // an index of the column holds, and then read by `key` in its order: true when the database
  // would otherwise look each row up through that index and sort the whole rows by the key
  // before sending the first. `key` must identify rows (no two share a value).
  virtual bool FindsRangeThroughIndex(const std::string& table, const std::string& column,
                                      const std::string& key) {
    (void)table, (void)column, (void)key;
    return false;
  }
};

// A catalog named on the command line: a PostgreSQL connection string (postgresql://... or
// postgres://...) or conninfo (service=NAME, host=... dbname=...), else a SQLite file.
bool IsPostgres(const std::string& catalog);

// Opens the database (SQLite read-only). Null with *error on failure. A running SELECT keeps
// its source alive.
std::shared_ptr<Source> OpenSqlite(const std::string& path, std::string* error);
std::shared_ptr<Source> OpenPostgres(const std::string& conninfo, std::string* error);

// One value written by `generate`.
struct Cell {
  enum Kind { kNull, kInt, kText } kind = kNull;
  int64_t i = 0;
  const char* text = nullptr;
  static Cell Null() { return Cell{}; }
  static Cell Int(int64_t v) { return Cell{kInt, v, nullptr}; }
  static Cell Text(const char* v) { return Cell{kText, 0, v}; }
};

// The writer `generate` fills a new catalog through.
class CatalogWriter {
 public:
  virtual ~CatalogWriter() = default;
  // Runs statements that return no rows (several, separated by ';', for SQLite).
  virtual bool Exec(const std::string& sql, std::string* error) = 0;
  // Rows of one table, in its columns' order.
  virtual bool Begin(const char* table, int columns, std::string* error) = 0;
  virtual bool Row(const std::vector<Cell>& row, std::string* error) = 0;
  virtual bool End(std::string* error) = 0;
  virtual bool Postgres() const = 0;
};

// A writer into a new SQLite file (replaced) or an emptied PostgreSQL database (the catalog's
// four tables are dropped first).
std::unique_ptr<CatalogWriter> CreateSqliteWriter(const std::string& path, std::string* error);
std::unique_ptr<CatalogWriter> CreatePostgresWriter(const std::string& conninfo,
                                                    std::string* error);

}  // namespace catalog
