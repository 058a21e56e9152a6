// Mapping files: how the tables the catalog provider serves are read from a catalog database of
// any schema. One stanza per served table names its SQL source (a table or view, or a query),
// the column or SQL expression behind each field, how values are converted, the index field and
// whether the table is served as serialized records. The format, with examples, is in
// doc/catalogs.md; the example catalog's own mapping is examples/config/catalog.map and is also
// built in (BuiltinMappingText), so a catalog made by `krcatalogd generate` needs no file.
//
// Reading checks everything that can be checked without a database: the file's syntax, the keys,
// the options, and, against the fields files of the reports directory, that every mapped field
// exists and that its conversion fits its type. Every message names the file, the line and the
// table. Columns and expressions are checked against the database when it is opened.
//
// Thread safety: none needed; a Mapping is a plain value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace catalog {

// One served field and where its values come from.
struct FieldMap {
  std::string field;       // the field's name, as its fields file has it
  std::string column;      // a column name (quoted as an identifier when used) ...
  std::string expression;  // ... or an SQL expression taken as written (`sql:`)
  int32_t type = 0;        // the field's type (RepFieldType), from its fields file
  int32_t null_state = 2;  // the value state a NULL gives (Unknown unless `null:` says)
  bool timestamp = false;  // an SQL timestamp: the field takes its seconds since 1970
  // `map:` stored text -> served text; a stored text not in the map gives Unknown.
  std::vector<std::pair<std::string, std::string>> values;
  int line = 0;
};

// One served table.
struct TableMap {
  std::string name;   // the served table's name (lower case, as registered)
  std::string table;  // the source table or view (`schema.name` allowed) ...
  std::string query;  // ... or a query, read as a subquery
  std::string index;  // the index field: fetches are in its order; empty for none
  bool serialized = false;
  std::vector<FieldMap> fields;
  int line = 0;
};

struct Mapping {
  std::string file;  // the file's name, for messages ("built-in mapping" for the built-in one)
  std::vector<TableMap> tables;
};

// The mapping of the example catalog that `krcatalogd generate` writes (SQLite or PostgreSQL).
const char* BuiltinMappingText();

// Reads and checks a mapping file against the fields files of the current reports directory.
// 1, or 0 with *error set to a message naming the file, line and table.
int LoadMapping(const std::string& path, Mapping* out, std::string* error);
// The same from text; `name` stands for the file in messages.
int ParseMapping(std::string_view text, const std::string& name, Mapping* out, std::string* error);

// "FILE:LINE: table 'T': " for messages about a table or one of its fields.
std::string Where(const Mapping& mapping, const TableMap& table, int line);

}  // namespace catalog
