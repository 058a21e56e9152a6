// The backup catalog: the tables krcatalogd serves, read from a catalog database (a SQLite file
// or a PostgreSQL database) through a mapping file (mapping.h) that says, for each served table,
// where its rows and each field's values come from. Without a mapping file the built-in mapping
// of the example catalog is used: the catalog `Generate` writes.
//
// A fetch runs one SELECT, prepared once per statement text and kept for the next request of the
// same shape, whose rows are read one at a time as the library asks for records. A restriction
// on a mapped field (a class's IN table RESTRICT field TO (lower, upper)) becomes a BETWEEN on
// its column, which the catalog's indexes answer; the part of the request's filter that SQL can
// say exactly becomes the rest of the WHERE (pushdown.h). Identifiers come only from the
// mapping, quoted; values only as bound parameters.
//
// Thread safety: none; the catalog belongs to the thread that opened it.
#pragma once

#include <cstdint>
#include <string>

#include "kr/tree.h"
#include "reports/tablesprovider.h"

namespace catalog {

struct GenerateOptions {
  int64_t jobs = 2000;
  uint64_t seed = 1;
  int64_t now = 0;  // start times fall in the 90 days before it
};

// Fills `catalog` with a deterministic example catalog for the seed and time: a SQLite file
// (replaced) or a PostgreSQL database (postgresql://..., service=NAME; its catalog tables are
// replaced). 1, or 0 with *error set.
int Generate(const std::string& catalog, const GenerateOptions& options, std::string* error);

// Opens the catalog the grabbers read (SQLite read-only), with the mapping file at
// `mapping_path` or, when it is empty, the built-in mapping; checks every table's source and
// every field's column against the database. 1, or 0 with *error set (naming the mapping file,
// line and table where the fault is there).
int Open(const std::string& catalog, const std::string& mapping_path, std::string* error);
int Open(const std::string& catalog, std::string* error);
void Close();

// Whether the mapping serves the table as serialized records.
bool IsSerialized(const char* table);

// While one lives, data grabbers started for a table request see that request's filter (the
// library builds its tree before it starts the grabber) and push its exact part into the SELECT.
class RequestScope {
 public:
  explicit RequestScope(const RepGetTableArgs* args);
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  Ref<Obj> outer_;
};

// Push-down on (the default) or off, for comparisons.
void SetPushDown(bool on);

// The tables the catalog serves, ended by an entry with a null name.
const RepProvidedTableDesc* Tables();

// The SELECT a grabber would run for `fields`, `restrictions` and a filter tree built over
// `fields` (for tests: shows what was pushed into the WHERE).
std::string SelectFor(const char* table, const RepFieldList* fields, const List* restrictions,
                      const Tree* filter = nullptr);

}  // namespace catalog
