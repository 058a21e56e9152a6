// The catalog database: its generator and the data grabbers over it.

#include "catalog.h"

#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kr/text.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/restrictions.h"

namespace catalog {
namespace {

constexpr const char kTag[] = "KRCATALOG";

sqlite3* g_db = nullptr;

// --- the generator ------------------------------------------------------------------------

// splitmix64: small, fast and the same on every platform, so a seed gives one catalog.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  int64_t Below(int64_t n) { return n <= 0 ? 0 : static_cast<int64_t>(Next() % uint64_t(n)); }
  // Uniform in [0, 1).
  double Unit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
};

constexpr const char* kClientWords[] = {
    "apollo", "Bravo", "castor", "Delta", "ember",   "Falcon", "gemini", "Hermes",
    "iris",   "Juno",  "kepler", "Lyra",  "mercury", "Nova",   "orion",  "Pegasus",
    "quartz", "Rigel", "sirius", "Titan", "umbra",   "Vega",   "wotan",  "Xenon",
};
constexpr const char* kOses[] = {"Linux", "Windows", "macOS", "FreeBSD"};
constexpr const char* kSchedules[] = {"1111100", "1111111", "1010100", "0000011", "1000000"};
constexpr const char* kRetentions[] = {"30d", "4w", "6m", "1y", "90d"};
constexpr const char* kPools[] = {"Daily", "Weekly", "Monthly", "Archive"};

struct Device {
  const char* name;
  const char* type;
  const char* location;
  bool online;
};
constexpr Device kDevices[] = {
    {"Library A drive 1", "LTO-8", "Server room 1", true},
    {"Library A drive 2", "LTO-8", "Server room 1", true},
    {"Library B drive 1", "LTO-9", "Server room 2", true},
    {"Disk pool", "Disk", "Server room 2", true},
    {"Offsite vault", "Cloud", "Offsite", true},
    {"Spare drive", "LTO-7", "Store", false},
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = std::string("sqlite: ") + (message != nullptr ? message : "unknown error");
  sqlite3_free(message);
  return false;
}

// A prepared statement that finalizes itself.
struct Stmt {
  sqlite3_stmt* s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
  bool Prepare(sqlite3* db, const char* sql) {
    return sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK;
  }
  bool Step() {
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return rc == SQLITE_DONE;
  }
};

constexpr const char kSchema[] = R"sql(
CREATE TABLE clients (name TEXT PRIMARY KEY, os TEXT NOT NULL, quota INTEGER,
                      schedule TEXT NOT NULL, retention TEXT NOT NULL);
CREATE TABLE devices (deviceid INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL,
                      location TEXT NOT NULL, online INTEGER NOT NULL);
CREATE TABLE media (mediaid INTEGER PRIMARY KEY, label TEXT NOT NULL, pool TEXT NOT NULL,
                    deviceid INTEGER NOT NULL, capacity INTEGER NOT NULL, used INTEGER NOT NULL,
                    lastwritten INTEGER NOT NULL, expires INTEGER);
CREATE TABLE jobs (jobid INTEGER PRIMARY KEY, client TEXT NOT NULL, level TEXT NOT NULL,
                   status TEXT NOT NULL, size INTEGER NOT NULL, files INTEGER NOT NULL,
                   starttime INTEGER NOT NULL, duration INTEGER NOT NULL,
                   mediaid INTEGER NOT NULL);
)sql";

constexpr const char kIndexes[] = R"sql(
CREATE INDEX jobs_starttime ON jobs(starttime);
CREATE INDEX jobs_status ON jobs(status);
CREATE INDEX jobs_size ON jobs(size);
CREATE INDEX jobs_client ON jobs(client);
)sql";

}  // namespace

int Generate(const std::string& path, const GenerateOptions& options, std::string* error) {
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    *error = "cannot create catalog '" + path + "': " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return 0;
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, &sqlite3_close);
  if (!Exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", error) ||
      !Exec(db, kSchema, error) || !Exec(db, "BEGIN", error)) {
    return 0;
  }
  Random rng{options.seed};
  const int64_t jobs = options.jobs < 0 ? 0 : options.jobs;
  const int64_t now = options.now;
  constexpr int64_t kDay = 86400;
  constexpr int64_t kGB = 1024ll * 1024 * 1024;

  // Clients: a few dozen for a small catalog, a few hundred for a large one.
  const int64_t client_count = jobs >= 100000 ? 240 : 24;
  std::vector<std::string> clients;
  {
    Stmt st;
    if (!st.Prepare(db, "INSERT INTO clients VALUES (?,?,?,?,?)")) {
      *error = std::string("sqlite: ") + sqlite3_errmsg(db);
      return 0;
    }
    for (int64_t i = 0; i < client_count; ++i) {
      std::string name = kClientWords[i % 24];
      if (i >= 24) name += std::to_string(i / 24);
      clients.push_back(name);
      sqlite3_bind_text(st.s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st.s, 2, kOses[rng.Below(4)], -1, SQLITE_STATIC);
      if (rng.Below(5) == 0) {
        sqlite3_bind_null(st.s, 3);  // unlimited
      } else {
        sqlite3_bind_int64(st.s, 3, (100 + rng.Below(20) * 50) * kGB);
      }
      sqlite3_bind_text(st.s, 4, kSchedules[rng.Below(5)], -1, SQLITE_STATIC);
      sqlite3_bind_text(st.s, 5, kRetentions[rng.Below(5)], -1, SQLITE_STATIC);
      if (!st.Step()) {
        *error = std::string("sqlite: ") + sqlite3_errmsg(db);
        return 0;
      }
    }
  }
  {
    Stmt st;
    if (!st.Prepare(db, "INSERT INTO devices VALUES (?,?,?,?,?)")) {
      *error = std::string("sqlite: ") + sqlite3_errmsg(db);
      return 0;
    }
    int id = 1;
    for (const Device& d : kDevices) {
      sqlite3_bind_int(st.s, 1, id++);
      sqlite3_bind_text(st.s, 2, d.name, -1, SQLITE_STATIC);
      sqlite3_bind_text(st.s, 3, d.type, -1, SQLITE_STATIC);
      sqlite3_bind_text(st.s, 4, d.location, -1, SQLITE_STATIC);
      sqlite3_bind_int(st.s, 5, d.online ? 1 : 0);
      if (!st.Step()) {
        *error = std::string("sqlite: ") + sqlite3_errmsg(db);
        return 0;
      }
    }
  }
  const int64_t media_count = 12 + jobs / 2000;
  {
    Stmt st;
    if (!st.Prepare(db, "INSERT INTO media VALUES (?,?,?,?,?,?,?,?)")) {
      *error = std::string("sqlite: ") + sqlite3_errmsg(db);
      return 0;
    }
    for (int64_t i = 1; i <= media_count; ++i) {
      char label[32];
      std::snprintf(label, sizeof label, "VOL%05lld", static_cast<long long>(i));
      const char* pool = kPools[rng.Below(4)];
      const int64_t capacity = (rng.Below(2) == 0 ? 12000 : 18000) * kGB;
      const int64_t last = now - rng.Below(90 * kDay);
      sqlite3_bind_int64(st.s, 1, i);
      sqlite3_bind_text(st.s, 2, label, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st.s, 3, pool, -1, SQLITE_STATIC);
      sqlite3_bind_int64(st.s, 4, 1 + rng.Below(5));
      sqlite3_bind_int64(st.s, 5, capacity);
      sqlite3_bind_int64(st.s, 6, static_cast<int64_t>(static_cast<double>(capacity) * rng.Unit()));
      sqlite3_bind_int64(st.s, 7, last);
      if (std::strcmp(pool, "Archive") == 0) {
        sqlite3_bind_null(st.s, 8);  // never expires
      } else {
        sqlite3_bind_int64(st.s, 8, last + (7 + rng.Below(120)) * kDay);
      }
      if (!st.Step()) {
        *error = std::string("sqlite: ") + sqlite3_errmsg(db);
        return 0;
      }
    }
  }
  {
    Stmt st;
    if (!st.Prepare(db, "INSERT INTO jobs VALUES (?,?,?,?,?,?,?,?,?)")) {
      *error = std::string("sqlite: ") + sqlite3_errmsg(db);
      return 0;
    }
    for (int64_t id = 1; id <= jobs; ++id) {
      // A few busy clients and a long tail.
      const double u = rng.Unit();
      const int64_t client = static_cast<int64_t>(u * u * double(client_count));
      const int64_t lv = rng.Below(100);
      const char* level = lv < 12 ? "Full" : lv < 30 ? "Differential" : "Incremental";
      const int64_t sv = rng.Below(100);
      const char* status = sv < 86 ? "OK" : sv < 93 ? "Warning" : sv < 98 ? "Failed" : "Cancelled";
      // Sizes spread over six orders of magnitude; fulls are larger.
      const double scale = lv < 12 ? 1e9 : lv < 30 ? 2e8 : 5e7;
      int64_t size = static_cast<int64_t>(scale * rng.Unit() * rng.Unit() * 4.0);
      int64_t files = size / (20000 + rng.Below(400000)) + rng.Below(50);
      if (sv >= 93 && sv < 98) {  // failed jobs wrote little
        size /= 50;
        files /= 50;
      }
      const int64_t start = now - 1 - rng.Below(90 * kDay);
      const int64_t duration = 30 + size / (40 * 1024 * 1024) + rng.Below(600);
      sqlite3_bind_int64(st.s, 1, id);
      sqlite3_bind_text(st.s, 2, clients[static_cast<size_t>(client)].c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(st.s, 3, level, -1, SQLITE_STATIC);
      sqlite3_bind_text(st.s, 4, status, -1, SQLITE_STATIC);
      sqlite3_bind_int64(st.s, 5, size);
      sqlite3_bind_int64(st.s, 6, files);
      sqlite3_bind_int64(st.s, 7, start);
      sqlite3_bind_int64(st.s, 8, duration);
      sqlite3_bind_int64(st.s, 9, 1 + rng.Below(media_count));
      if (!st.Step()) {
        *error = std::string("sqlite: ") + sqlite3_errmsg(db);
        return 0;
      }
    }
  }
  if (!Exec(db, kIndexes, error) || !Exec(db, "COMMIT; ANALYZE;", error)) return 0;
  return 1;
}

int Open(const std::string& path, std::string* error) {
  Close();
  if (sqlite3_open_v2(path.c_str(), &g_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *error = "cannot open catalog '" + path + "': " + sqlite3_errmsg(g_db);
    Close();
    return 0;
  }
  // A catalog that is not ours (or not a database) is refused now rather than at the first
  // request.
  sqlite3_stmt* probe = nullptr;
  if (sqlite3_prepare_v2(g_db, "SELECT count(*) FROM jobs, media, clients, devices LIMIT 0", -1,
                         &probe, nullptr) != SQLITE_OK) {
    *error = "'" + path + "' is not a catalog: " + sqlite3_errmsg(g_db);
    sqlite3_finalize(probe);
    Close();
    return 0;
  }
  sqlite3_finalize(probe);
  return 1;
}

void Close() {
  if (g_db != nullptr) sqlite3_close(g_db);
  g_db = nullptr;
}

// --- the data grabbers ----------------------------------------------------------------------

namespace {

// A field and the column it reads (`sql`, when it is not the field's own name), and the state
// a NULL column gives the value.
struct Column {
  const char* field;
  int null_state;
  const char* sql = nullptr;
  const char* Sql() const { return sql != nullptr ? sql : field; }
};

struct TableColumns {
  const char* name;
  std::vector<Column> columns;
};

const TableColumns kTables[] = {
    {"jobs",
     {{"jobid", kRepStateUnknown},
      {"client", kRepStateUnknown},
      {"level", kRepStateUnknown},
      {"status", kRepStateUnknown},
      {"size", kRepStateUnknown},
      {"files", kRepStateUnknown},
      {"starttime", kRepStateUnknown},
      {"startdate", kRepStateUnknown, "starttime"},
      {"startat", kRepStateUnknown, "starttime"},
      {"duration", kRepStateUnknown},
      {"mediaid", kRepStateUnknown}}},
    {"media",
     {{"mediaid", kRepStateUnknown},
      {"label", kRepStateUnknown},
      {"pool", kRepStateUnknown},
      {"deviceid", kRepStateUnknown},
      {"capacity", kRepStateUnknown},
      {"used", kRepStateUnknown},
      {"lastwritten", kRepStateUnknown},
      {"expires", kRepStateNever},
      {"expirydate", kRepStateNever, "expires"}}},
    {"clients",
     {{"name", kRepStateUnknown},
      {"os", kRepStateUnknown},
      {"quota", kRepStateUnlimited},
      {"schedule", kRepStateUnknown},
      {"retention", kRepStateUnknown}}},
    {"devices",
     {{"deviceid", kRepStateUnknown},
      {"name", kRepStateUnknown},
      {"type", kRepStateUnknown},
      {"location", kRepStateUnknown},
      {"online", kRepStateUnknown}}},
};

const TableColumns* FindTable(const char* table) {
  for (const TableColumns& t : kTables) {
    if (StrCompareNoCase(t.name, table) == 0) return &t;
  }
  return nullptr;
}

const Column* FindColumn(const TableColumns* tab, const char* field) {
  if (field == nullptr) return nullptr;
  for (const Column& c : tab->columns) {
    if (StrCompareNoCase(c.field, field) == 0) return &c;
  }
  return nullptr;
}

// One fetch: the statement and, per record field, the column it reads (-1: none).
struct Fetch {
  sqlite3_stmt* stmt = nullptr;
  std::vector<int> column_of_field;
  std::vector<int> null_state;
  ~Fetch() { sqlite3_finalize(stmt); }
};

void FreeFetch(void* bytes) {
  Fetch* f = nullptr;
  std::memcpy(&f, bytes, sizeof f);
  delete f;
}

Fetch* FetchOf(const Obj* context) {
  size_t size = 0;
  void* bytes = ObjDataFieldGet(context, &size);
  if (bytes == nullptr || size != sizeof(Fetch*)) return nullptr;
  Fetch* f = nullptr;
  std::memcpy(&f, bytes, sizeof f);
  return f;
}

// A restriction bound SQLite can compare with the column exactly, or null.
struct Bound {
  enum Kind { kNone, kInt, kText } kind = kNone;
  int64_t i = 0;
  std::string text;
};

Bound BoundOf(const Obj* value) {
  Bound b;
  if (const auto* v = ObjCast<ObjInteger>(value)) {
    b.kind = Bound::kInt;
    b.i = v->value();
  } else if (const auto* v64 = ObjCast<ObjInt64>(value)) {
    b.kind = Bound::kInt;
    b.i = v64->value();
  } else if (const auto* s = ObjCast<ObjString>(value)) {
    b.kind = Bound::kText;
    b.text = s->value() != nullptr ? s->value() : "";
  } else if (const auto* bo = ObjCast<ObjBoolean>(value)) {
    b.kind = Bound::kInt;
    b.i = bo->value() ? 1 : 0;
  }
  return b;
}

// The statement text and its bound values for a fetch.
struct Query {
  std::string sql;
  std::vector<Bound> binds;
};

Query BuildQuery(const TableColumns* tab, const RepFieldList* fields, const List* restrictions,
                 std::vector<int>* column_of_field, std::vector<int>* null_state) {
  Query q;
  q.sql = "SELECT ";
  int columns = 0;
  for (Obj* item : *fields) {
    auto* def = ObjCast<RepFieldDef>(item);
    const Column* c = def != nullptr ? FindColumn(tab, def->name()) : nullptr;
    if (c == nullptr) {
      column_of_field->push_back(-1);
      null_state->push_back(kRepStateUnknown);
      continue;
    }
    if (columns > 0) q.sql += ", ";
    q.sql += c->Sql();
    column_of_field->push_back(columns++);
    null_state->push_back(c->null_state);
  }
  if (columns == 0) q.sql += "1";
  q.sql += " FROM ";
  q.sql += tab->name;
  const char* joiner = " WHERE ";
  if (restrictions != nullptr) {
    for (Obj* item : *restrictions) {
      auto* r = ObjCast<RepSqlRestriction>(item);
      if (r == nullptr) continue;
      const Column* c = FindColumn(tab, r->field());
      Bound lower = BoundOf(r->lower());
      Bound upper = BoundOf(r->upper());
      if (c == nullptr || lower.kind == Bound::kNone || upper.kind == Bound::kNone) continue;
      q.sql += joiner;
      q.sql += c->Sql();
      q.sql += " BETWEEN ? AND ?";
      q.binds.push_back(std::move(lower));
      q.binds.push_back(std::move(upper));
      joiner = " AND ";
    }
  }
  return q;
}

void SetValue(RepFieldValue* value, int32_t type, sqlite3_stmt* stmt, int column, int null_state) {
  Obj* obj = value->value();
  if (column < 0 || sqlite3_column_type(stmt, column) == SQLITE_NULL) {
    value->set_state(column < 0 ? kRepStateUnknown : null_state);
    return;
  }
  switch (type) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
      ObjSetInteger(obj, static_cast<int32_t>(sqlite3_column_int64(stmt, column)));
      break;
    case kRepTypeInt64:
    case kRepTypeDataCount:
      ObjSetInt64(obj, sqlite3_column_int64(stmt, column));
      break;
    case kRepTypeBoolean:
      ObjSetBoolean(obj, sqlite3_column_int(stmt, column) != 0);
      break;
    case kRepTypeString:
      ObjSetString(obj, reinterpret_cast<const char*>(sqlite3_column_text(stmt, column)));
      break;
    case kRepTypeDate:
    case kRepTypeTime: {
      // The local date or time of day of a time column.
      std::time_t t = static_cast<std::time_t>(sqlite3_column_int64(stmt, column));
      std::tm tm{};
      auto* date = ObjCast<RepDateValue>(obj);
      auto* tod = ObjCast<RepTimeValue>(obj);
      if (localtime_r(&t, &tm) == nullptr || (date == nullptr && tod == nullptr)) {
        value->set_state(kRepStateUnknown);
      } else if (date != nullptr) {
        date->set_year(tm.tm_year + 1900);
        date->set_month(tm.tm_mon + 1);
        date->set_day(tm.tm_mday);
      } else {
        tod->set_hour(tm.tm_hour);
        tod->set_minute(tm.tm_min);
        tod->set_second(tm.tm_sec);
      }
      break;
    }
    case kRepTypeDaysInWeek: {
      auto* days = ObjCast<RepDaysInWeekValue>(obj);
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      if (days == nullptr || text == nullptr) {
        value->set_state(kRepStateUnknown);
        break;
      }
      for (size_t i = 0; i < RepDaysInWeekValue::kUsed; ++i) {
        days->days()[i] = (text[i] == '1') ? 1 : 0;
        if (text[i] == '\0') break;
      }
      break;
    }
    case kRepTypeHdwmyCount: {
      auto* count = ObjCast<RepHdwmyCountValue>(obj);
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      size_t n = text != nullptr ? std::strlen(text) : 0;
      const char* units = "hdwmy";
      const char* unit = n > 1 ? std::strchr(units, text[n - 1]) : nullptr;
      if (count == nullptr || unit == nullptr) {
        value->set_state(kRepStateUnknown);
        break;
      }
      count->set_unit(static_cast<int32_t>(unit - units));
      count->set_count(std::atoi(text));
      break;
    }
    default:
      value->set_state(kRepStateUnknown);
      break;
  }
}

int InitFor(const char* table, Ref<Obj>* context, RepGrabberInitArgs* args) {
  const TableColumns* tab = FindTable(table);
  if (g_db == nullptr || tab == nullptr || args == nullptr || args->fields() == nullptr) return 0;
  auto fetch = std::make_unique<Fetch>();
  Query q = BuildQuery(tab, args->fields(), args->restrictions(), &fetch->column_of_field,
                       &fetch->null_state);
  if (sqlite3_prepare_v2(g_db, q.sql.c_str(), -1, &fetch->stmt, nullptr) != SQLITE_OK) {
    TraceMessage(kTag, 1, 0, -1, "Cannot prepare '%s': %s", q.sql.c_str(), sqlite3_errmsg(g_db));
    return 0;
  }
  for (size_t i = 0; i < q.binds.size(); ++i) {
    const Bound& b = q.binds[i];
    const int n = static_cast<int>(i) + 1;
    if (b.kind == Bound::kInt) {
      sqlite3_bind_int64(fetch->stmt, n, b.i);
    } else {
      sqlite3_bind_text(fetch->stmt, n, b.text.c_str(), -1, SQLITE_TRANSIENT);
    }
  }
  TraceMessage(kTag, 2, 0, 2, "Fetch from %s: %s", table, q.sql.c_str());
  Fetch* raw = fetch.get();
  Ref<Obj> holder;
  if (!ObjDataFieldCreate(&holder, &raw, sizeof raw)) return 0;
  ObjDataFieldSetFinalizer(holder.get(), &FreeFetch);
  fetch.release();
  *context = std::move(holder);
  return 1;
}

int GetRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  Fetch* f = FetchOf(context);
  if (f == nullptr || record == nullptr || args == nullptr) return 0;
  int rc = sqlite3_step(f->stmt);
  if (rc == SQLITE_DONE) return 2;
  if (rc != SQLITE_ROW) {
    TraceMessage(kTag, 3, 0, -1, "Catalog read failed: %s", sqlite3_errmsg(g_db));
    return 0;
  }
  const RepFieldList* fields = args->fields();
  const size_t n = fields->size();
  for (size_t i = 0; i < n && i < f->column_of_field.size(); ++i) {
    RepFieldValue* value = record->value_at(i);
    auto* def = ObjCast<RepFieldDef>(fields->at(i));
    if (value == nullptr || def == nullptr) continue;
    SetValue(value, def->type(), f->stmt, f->column_of_field[i], f->null_state[i]);
  }
  return 1;
}

int Finish(Ref<Obj>* context, RepGrabberInitArgs*) {
  if (context != nullptr) context->reset();
  return 1;
}

int FieldsFor(const char* table, Ref<RepFieldList>* fields) {
  Ref<List> list = ListNewFromPool();
  if (!RepLoadTableFields(table, list.get(), 0)) return 0;
  *fields = std::move(list);
  return 1;
}

template <size_t I>
int InitT(Ref<Obj>* context, RepGrabberInitArgs* args) {
  return InitFor(kTables[I].name, context, args);
}
template <size_t I>
int FieldsT(Ref<RepFieldList>* fields) {
  return FieldsFor(kTables[I].name, fields);
}

const RepProvidedTableDesc kDescriptors[] = {
    {"jobs", nullptr, nullptr, &InitT<0>, &GetRecord, &Finish, &FieldsT<0>},
    {"media", nullptr, nullptr, &InitT<1>, &GetRecord, &Finish, &FieldsT<1>},
    {"clients", nullptr, nullptr, &InitT<2>, &GetRecord, &Finish, &FieldsT<2>},
    {"devices", nullptr, nullptr, &InitT<3>, &GetRecord, &Finish, &FieldsT<3>},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const RepProvidedTableDesc* Tables() { return kDescriptors; }

std::string SelectFor(const char* table, const RepFieldList* fields, const List* restrictions) {
  const TableColumns* tab = FindTable(table);
  if (tab == nullptr || fields == nullptr) return "";
  std::vector<int> columns, states;
  return BuildQuery(tab, fields, restrictions, &columns, &states).sql;
}

}  // namespace catalog
