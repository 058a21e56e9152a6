// The backup catalog: a SQLite database of jobs, media, clients and devices, and the data
// grabbers that serve its tables to the reports engine.
//
// Schema (one table per served table; column names are the field names of the fields files
// examples/reports/fields/<table>fields):
//
//   jobs     jobid (primary key), client, level, status, size, files, starttime, duration,
//            mediaid                       indexes on starttime, status, size, client
//   media    mediaid (primary key), label, pool, deviceid, capacity, used, lastwritten, expires
//            (NULL: never expires)
//   clients  name (primary key), os, quota (NULL: unlimited), schedule (seven 0/1 characters,
//            Monday first), retention (a count and a unit letter: 30d, 4w, 6m, 1y)
//   devices  deviceid (primary key), name, type, location, online
//
// A restriction on a column (a class's IN table RESTRICT field TO (lower, upper)) becomes a
// WHERE on it, so that SQLite can use the column's index instead of reading the whole table.
//
// Thread safety: none; the catalog belongs to the thread that opened it.
#pragma once

#include <cstdint>
#include <string>

#include "reports/tablesprovider.h"

namespace catalog {

struct GenerateOptions {
  int64_t jobs = 2000;
  uint64_t seed = 1;
  int64_t now = 0;  // start times fall in the 90 days before it
};

// Creates (replacing any existing file) a catalog at `path` filled with a deterministic
// catalog for the seed and time. 1, or 0 with *error set.
int Generate(const std::string& path, const GenerateOptions& options, std::string* error);

// Opens the catalog the grabbers read (read-only). 1, or 0 with *error set.
int Open(const std::string& path, std::string* error);
void Close();

// The tables the catalog serves, ended by an entry with a null name.
const RepProvidedTableDesc* Tables();

// The SELECT the jobs grabber would run for `fields` and `restrictions` (for tests: shows which
// restrictions were pushed into the WHERE).
std::string SelectFor(const char* table, const RepFieldList* fields, const List* restrictions);

}  // namespace catalog
