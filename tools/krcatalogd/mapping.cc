// The mapping file reader. The file is a stanza file read by the runtime's reader (values,
// quoting, escapes); the only text this file scans itself is the line structure, to give each
// stanza and key its line number for messages, which the runtime's reader does not keep.

#include "mapping.h"

#include <cctype>
#include <cstring>

#include "kr/file.h"
#include "kr/list.h"
#include "kr/stanza.h"
#include "kr/text.h"
#include "reports/fields.h"
#include "reports/reports.h"

namespace catalog {

namespace {

// The mapping of the generated example catalog. examples/config/catalog.map holds the same text
// (a test keeps them alike), so an administrator can start from it.
constexpr const char kBuiltin[] =
    R"map(# How the tables of the example catalog (krcatalogd generate) are read: the same for
# its SQLite and its PostgreSQL form. doc/catalogs.md describes every key.

[jobs]
table = jobs
index = jobid
serialized = TRUE
field jobid = jobid
field client = client
field level = level
field status = status
field size = size
field files = files
field starttime = starttime
field startdate = starttime
field startat = starttime
field duration = duration
field mediaid = mediaid

[media]
table = media
index = mediaid
field mediaid = mediaid
field label = label
field pool = pool
field deviceid = deviceid
field capacity = capacity
field used = used
field lastwritten = lastwritten
field expires = expires, null: Never
field expirydate = expires, null: Never

[clients]
table = clients
field name = name
field os = os
field quota = quota, null: Unlimited
field schedule = schedule
field retention = retention

[devices]
table = devices
index = deviceid
field deviceid = deviceid
field name = name
field type = type
field location = location
field online = online
)map";

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

bool StartsNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= n && StrCompareRangeNoCase(s.c_str(), prefix, n) == 0;
}

// The line of each stanza's title and of each of its keys, in file order, as the stanza reader
// keeps them. A line the reader would refuse is reported here with its number.
struct Lines {
  std::vector<int> title;
  std::vector<std::vector<int>> keys;
};

bool ScanLines(std::string_view text, const std::string& name, Lines* lines, std::string* error) {
  int number = 0;
  size_t pos = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    ++number;
    pos = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = name + ":" + std::to_string(number) + ": a table title needs a closing ']'";
        return false;
      }
      lines->title.push_back(number);
      lines->keys.emplace_back();
      continue;
    }
    if (line.find('=') == std::string::npos) {
      *error =
          name + ":" + std::to_string(number) + ": expected 'key = value', found '" + line + "'";
      return false;
    }
    if (lines->keys.empty()) {
      *error = name + ":" + std::to_string(number) + ": '" + line +
               "' stands before the first [table] title";
      return false;
    }
    lines->keys.back().push_back(number);
  }
  return true;
}

bool ParseState(const std::string& word, int32_t* state) {
  static const struct {
    const char* text;
    int32_t state;
  } kStates[] = {{"N/A", kRepStateNA},
                 {"Unknown", kRepStateUnknown},
                 {"Never", kRepStateNever},
                 {"Unlimited", kRepStateUnlimited}};
  for (const auto& s : kStates) {
    if (StrCompareNoCase(word.c_str(), s.text) == 0) {
      *state = s.state;
      return true;
    }
  }
  return false;
}

bool IsTimeType(int32_t type) {
  return type == kRepTypeSysTime || type == kRepTypeDate || type == kRepTypeTime;
}

// `map: O=OK; F=Failed` into pairs.
bool ParseValueMap(const std::string& text, FieldMap* f, std::string* problem) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(';', pos);
    if (end == std::string::npos) end = text.size();
    const std::string entry = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (entry.empty()) continue;
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      *problem = "map entry '" + entry + "' needs the form stored=served";
      return false;
    }
    f->values.emplace_back(Trim(std::string_view(entry).substr(0, eq)),
                           Trim(std::string_view(entry).substr(eq + 1)));
  }
  if (f->values.empty()) {
    *problem = "map: lists no values (write map: stored=served; stored=served)";
    return false;
  }
  return true;
}

// One `field NAME = source, option, ...` key. Empty on success, else what is wrong.
std::string ParseField(const StnzKey& key, const std::string& name, const RepFieldList* fields,
                       FieldMap* f) {
  f->field = name;
  Ref<RepFieldDef> def;
  if (name.empty()) return "a field key needs the field's name: field NAME = column";
  if (fields == nullptr || !RepFindFieldInList(&def, name.c_str(), fields)) {
    return "'" + name + "' is not a field of the table (see its fields file)";
  }
  f->field = def->name();
  f->type = def->type();
  const std::string source = key.values.empty() ? "" : Trim(key.values[0]);
  if (StartsNoCase(source, "sql:")) {
    f->expression = Trim(std::string_view(source).substr(4));
    if (f->expression.empty()) return "field '" + name + "': sql: is followed by no expression";
  } else {
    f->column = source;
    if (f->column.empty()) return "field '" + name + "' names no column";
  }
  for (size_t i = 1; i < key.values.size(); ++i) {
    const std::string option = Trim(key.values[i]);
    std::string problem;
    if (StartsNoCase(option, "null:")) {
      const std::string word = Trim(std::string_view(option).substr(5));
      if (!ParseState(word, &f->null_state)) {
        return "field '" + name + "': null: '" + word +
               "' is not a value state (N/A, Unknown, Never or Unlimited)";
      }
    } else if (StrCompareNoCase(option.c_str(), "timestamp") == 0) {
      if (!IsTimeType(f->type)) {
        return "field '" + name + "': timestamp needs a systime, date or time field";
      }
      f->timestamp = true;
    } else if (StartsNoCase(option, "map:")) {
      if (f->type != kRepTypeString) return "field '" + name + "': map: needs a string field";
      if (!ParseValueMap(option.substr(4), f, &problem)) return "field '" + name + "': " + problem;
    } else {
      return "field '" + name + "': unknown option '" + option +
             "' (options are null: STATE, timestamp and map: stored=served; ...)";
    }
  }
  return "";
}

// One [table] stanza. Empty on success, else the message.
std::string ParseTable(const Mapping& m, const Stanza& stanza, const std::vector<int>& key_lines,
                       TableMap* t) {
  t->name = stanza.title;
  for (char& c : t->name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Ref<List> fields = ListNewFromPool();
  const bool have_fields = RepLoadTableFields(t->name.c_str(), fields.get(), 0) == 1;
  if (!have_fields) {
    return Where(m, *t, t->line) + "the reports directory has no fields file for it (fields/" +
           t->name + "fields)";
  }
  for (size_t k = 0; k < stanza.keys.size(); ++k) {
    const StnzKey& key = stanza.keys[k];
    const int line = k < key_lines.size() ? key_lines[k] : t->line;
    const std::string value = key.values.empty() ? "" : Trim(key.values[0]);
    std::string kind, rest;
    StnzSplitTitle(key.name.c_str(), &kind, &rest);
    std::string problem;
    if (StrCompareNoCase(kind.c_str(), "field") == 0) {
      FieldMap f;
      f.line = line;
      problem = ParseField(key, rest, fields.get(), &f);
      for (const FieldMap& other : t->fields) {
        if (problem.empty() && StrCompareNoCase(other.field.c_str(), f.field.c_str()) == 0) {
          problem = "field '" + f.field + "' is mapped twice (first on line " +
                    std::to_string(other.line) + ")";
        }
      }
      if (problem.empty()) t->fields.push_back(std::move(f));
    } else if (StrCompareNoCase(key.name.c_str(), "table") == 0) {
      t->table = value;
      if (value.empty()) problem = "table = names no table";
    } else if (StrCompareNoCase(key.name.c_str(), "query") == 0) {
      t->query = value;
      if (value.empty()) problem = "query = holds no query";
    } else if (StrCompareNoCase(key.name.c_str(), "index") == 0) {
      t->index = value;
    } else if (StrCompareNoCase(key.name.c_str(), "serialized") == 0) {
      if (!StnzGetBoolean(&t->serialized, &stanza, key.name.c_str(), 0)) {
        problem = "serialized = '" + value + "' is not TRUE or FALSE";
      }
    } else {
      problem = "unknown key '" + key.name +
                "' (keys are table, query, index, serialized and field NAME)";
    }
    if (!problem.empty()) return Where(m, *t, line) + problem;
  }
  if (t->table.empty() == t->query.empty()) {
    return Where(m, *t, t->line) + "give either table = NAME or query = \"SELECT ...\", not " +
           (t->table.empty() ? "neither" : "both");
  }
  if (t->fields.empty()) return Where(m, *t, t->line) + "maps no field";
  if (!t->index.empty()) {
    bool found = false;
    for (FieldMap& f : t->fields) {
      if (StrCompareNoCase(f.field.c_str(), t->index.c_str()) == 0) {
        t->index = f.field;
        found = true;
      }
    }
    if (!found) return Where(m, *t, t->line) + "index '" + t->index + "' is not a mapped field";
  }
  return "";
}

}  // namespace

const char* BuiltinMappingText() { return kBuiltin; }

std::string Where(const Mapping& mapping, const TableMap& table, int line) {
  return mapping.file + ":" + std::to_string(line) + ": table '" + table.name + "': ";
}

int ParseMapping(std::string_view text, const std::string& name, Mapping* out, std::string* error) {
  Lines lines;
  if (!ScanLines(text, name, &lines, error)) return 0;
  StanzaList list;
  if (!StnzLoadStanzaListFromText(&list, text, name.c_str())) {
    *error = name +
             ": not a valid mapping file (an unterminated quote, or text after a closing "
             "quote?)";
    return 0;
  }
  Mapping m;
  m.file = name;
  for (size_t i = 0; i < list.stanzas.size(); ++i) {
    TableMap t;
    t.line = i < lines.title.size() ? lines.title[i] : 0;
    const std::vector<int> none;
    std::string problem =
        ParseTable(m, *list.stanzas[i], i < lines.keys.size() ? lines.keys[i] : none, &t);
    for (const TableMap& other : m.tables) {
      if (problem.empty() && other.name == t.name) {
        problem = Where(m, t, t.line) + "is mapped twice (first on line " +
                  std::to_string(other.line) + ")";
      }
    }
    if (!problem.empty()) {
      *error = problem;
      return 0;
    }
    m.tables.push_back(std::move(t));
  }
  if (m.tables.empty()) {
    *error = name + ": maps no table";
    return 0;
  }
  *out = std::move(m);
  return 1;
}

int LoadMapping(const std::string& path, Mapping* out, std::string* error) {
  std::string text;
  if (!LoadTextFile(&text, path.c_str())) {
    *error = "cannot read mapping file '" + path + "'";
    return 0;
  }
  return ParseMapping(text, path, out, error);
}

}  // namespace catalog
