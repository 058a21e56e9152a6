// The catalog's data grabbers: one SELECT per fetch, built from the mapping, the record fields,
// the restrictions and the request's filter.

#include "catalog.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kr/text.h"
#include "kr/trace.h"
#include "mapping.h"
#include "pushdown.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/restrictions.h"
#include "reports/sql.h"
#include "rows.h"
#include "source.h"

namespace catalog {
namespace {

constexpr const char kTag[] = "KRCATALOG";
constexpr size_t kMaxTables = 32;

// The open catalog. A running fetch holds it too, so closing never pulls it from under one.
struct State {
  std::shared_ptr<Source> source;
  Mapping mapping;
  std::vector<RepProvidedTableDesc> descriptors;
};

std::shared_ptr<State> g_state;
Ref<Obj> g_request_filter;  // the RepSqlFilter of the table request being answered
bool g_push_down = true;

const FieldMap* FindField(const TableMap& t, const char* name) {
  if (name == nullptr) return nullptr;
  for (const FieldMap& f : t.fields) {
    if (StrCompareNoCase(f.field.c_str(), name) == 0) return &f;
  }
  return nullptr;
}

// The field's expression as the database reads it, before Dialect::Select.
std::string Expression(const Dialect& d, const FieldMap& f) {
  std::string e = f.expression.empty() ? d.Identifier(f.column, false) : "(" + f.expression + ")";
  return f.timestamp ? d.Epoch(e) : e;
}

std::string From(const Dialect& d, const TableMap& t) {
  if (!t.table.empty()) return d.Identifier(t.table, true);
  return "(" + t.query + ") AS kr_source";
}

// A restriction bound SQL can compare with the column, or nothing.
bool BoundOf(const Obj* value, Param* p) {
  if (const auto* v = ObjCast<ObjInteger>(value)) {
    *p = Param::Int(v->value());
  } else if (const auto* v64 = ObjCast<ObjInt64>(value)) {
    *p = Param::Int(v64->value());
  } else if (const auto* s = ObjCast<ObjString>(value)) {
    *p = Param::Text(s->value() != nullptr ? s->value() : "");
  } else if (const auto* b = ObjCast<ObjBoolean>(value)) {
    *p = Param::Int(b->value() ? 1 : 0);
  } else {
    return false;
  }
  return true;
}

// The statement of one fetch and how its rows fill records.
struct Query {
  std::string sql;
  std::vector<Param> params;
  std::vector<ReadAs> reads;
  std::vector<ColumnRead> plan;
};

// A plain column of the source table, which the database may have an index of.
bool PlainColumn(const TableMap& t, const FieldMap* f) {
  return f != nullptr && !t.table.empty() && f->expression.empty() && !f->timestamp;
}

Query BuildQuery(Source* source, const TableMap& t, const RepFieldList* fields,
                 const List* restrictions, const Tree* filter) {
  const Dialect& d = source->dialect();
  const FieldMap* index = t.index.empty() ? nullptr : FindField(t, t.index.c_str());
  Query q;
  std::vector<FieldSql> sql_fields;
  std::string select;
  for (Obj* item : *fields) {
    auto* def = ObjCast<RepFieldDef>(item);
    const FieldMap* f = def != nullptr ? FindField(t, def->name()) : nullptr;
    ColumnRead c;
    FieldSql s;
    if (f != nullptr && ReadAsFor(def->type(), &c.as)) {
      s.mapped = true;
      s.expr = Expression(d, *f);
      s.type = def->type();
      s.null_state = f->null_state;
      s.mapped_values = !f->values.empty();
      c.column = static_cast<int>(q.reads.size());
      c.type = def->type();
      c.null_state = f->null_state;
      if (!f->values.empty()) c.values = &f->values;
      select += (q.reads.empty() ? "" : ", ") + d.Select(s.expr, c.as);
      q.reads.push_back(c.as);
    }
    q.plan.push_back(c);
    sql_fields.push_back(std::move(s));
  }
  q.sql = "SELECT " + (select.empty() ? std::string("1") : select) + " FROM " + From(d, t);
  std::vector<std::string> where;
  std::vector<std::string> through_index;  // ranges found as keys first (FindsRangeThroughIndex)
  if (restrictions != nullptr) {
    for (Obj* item : *restrictions) {
      auto* r = ObjCast<RepSqlRestriction>(item);
      const FieldMap* f = r != nullptr ? FindField(t, r->field()) : nullptr;
      Param lower, upper;
      if (f == nullptr || !BoundOf(r->lower(), &lower) || !BoundOf(r->upper(), &upper)) continue;
      q.params.push_back(std::move(lower));
      const std::string lo = d.Placeholder(static_cast<int>(q.params.size()), lower.is_text);
      q.params.push_back(std::move(upper));
      const std::string hi = d.Placeholder(static_cast<int>(q.params.size()), upper.is_text);
      std::string range = Expression(d, *f) + " BETWEEN " + lo + " AND " + hi;
      const bool keys_first = PlainColumn(t, f) && PlainColumn(t, index) &&
                              source->FindsRangeThroughIndex(t.table, f->column, index->column);
      (keys_first ? through_index : where).push_back(std::move(range));
    }
  }
  if (!through_index.empty()) {
    std::string keys = Expression(d, *index) + " IN (SELECT " + Expression(d, *index) + " FROM " +
                       From(d, t) + " WHERE ";
    for (size_t i = 0; i < through_index.size(); ++i)
      keys += (i == 0 ? "" : " AND ") + through_index[i];
    where.insert(where.begin(), keys + ")");
  }
  if (filter != nullptr && g_push_down) {
    std::string condition = FilterToSql(filter, sql_fields, d, &q.params);
    if (!condition.empty()) where.push_back(std::move(condition));
  }
  for (size_t i = 0; i < where.size(); ++i) q.sql += (i == 0 ? " WHERE " : " AND ") + where[i];
  if (index != nullptr) q.sql += " ORDER BY " + Expression(d, *index);
  return q;
}

// One fetch: the catalog it reads, its rows and how they fill records.
struct Fetch {
  std::shared_ptr<State> state;
  std::string table;
  std::unique_ptr<Rows> rows;
  std::vector<ColumnRead> plan;
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

// The filter tree of the request being answered: the library built it over the record fields
// (and computed its relative constants) just before it started the grabber.
const Tree* RequestTree() {
  const auto* filter = ObjCast<RepSqlFilter>(g_request_filter.get());
  if (filter == nullptr || filter->text() == nullptr || filter->text()[0] == '\0') return nullptr;
  return ObjCast<Tree>(filter->tree());
}

void Report(int number, const std::string& message) {
  TraceMessage(kTag, number, 0, -1, "%s", message.c_str());
  std::fprintf(stderr, "krcatalogd: %s\n", message.c_str());
}

int InitFor(size_t index, Ref<Obj>* context, RepGrabberInitArgs* args) {
  std::shared_ptr<State> state = g_state;
  if (!state || index >= state->mapping.tables.size() || args == nullptr ||
      args->fields() == nullptr) {
    return 0;
  }
  const TableMap& t = state->mapping.tables[index];
  Query q = BuildQuery(state->source.get(), t, args->fields(), args->restrictions(), RequestTree());
  ForgetLocalDay();
  auto fetch = std::make_unique<Fetch>();
  std::string error;
  fetch->rows = state->source->Query(q.sql, q.reads, q.params, &error);
  if (!fetch->rows) {
    Report(1, "cannot read table '" + t.name + "' from the catalog: " + error);
    return 0;
  }
  TraceMessage(kTag, 2, 0, 2, "Fetch from %s: %s", t.name.c_str(), q.sql.c_str());
  fetch->state = std::move(state);
  fetch->table = t.name;
  fetch->plan = std::move(q.plan);
  Fetch* raw = fetch.get();
  Ref<Obj> holder;
  if (!ObjDataFieldCreate(&holder, &raw, sizeof raw)) return 0;
  ObjDataFieldSetFinalizer(holder.get(), &FreeFetch);
  fetch.release();
  *context = std::move(holder);
  return 1;
}

// Moves the fetch to its next row: 1 a row, 2 no more rows, 0 a failure (reported).
int NextRow(Fetch* f) {
  if (!f->rows) return 0;
  std::string error;
  const int rc = f->rows->Next(&error);
  if (rc != 1 && rc != 2) {
    Report(3, "reading table '" + f->table + "' from the catalog failed: " + error);
    f->rows.reset();
    return 0;
  }
  return rc;
}

int GetRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  Fetch* f = FetchOf(context);
  if (f == nullptr || record == nullptr || args == nullptr) return 0;
  const int rc = NextRow(f);
  if (rc == 1) FillRecord(record, f->plan, f->rows.get());
  return rc;
}

// The next row as values for the stream, without a record: as GetRecord, which the producer
// uses instead whenever the catalog serves a table as serialized records.
int WriteRow(RepRecordWriter* writer, Obj* context, RepGrabberInitArgs* args) {
  Fetch* f = FetchOf(context);
  if (f == nullptr || writer == nullptr || args == nullptr) return 0;
  const int rc = NextRow(f);
  if (rc == 1) WriteRecord(writer, f->plan, f->rows.get());
  return rc;
}

int Finish(Ref<Obj>* context, RepGrabberInitArgs*) {
  if (context != nullptr) context->reset();
  return 1;
}

int FieldsFor(size_t index, Ref<RepFieldList>* fields) {
  std::shared_ptr<State> state = g_state;
  if (!state || index >= state->mapping.tables.size()) return 0;
  Ref<List> list = ListNewFromPool();
  if (!RepLoadTableFields(state->mapping.tables[index].name.c_str(), list.get(), 0)) return 0;
  *fields = std::move(list);
  return 1;
}

template <size_t I>
int InitT(Ref<Obj>* context, RepGrabberInitArgs* args) {
  return InitFor(I, context, args);
}
template <size_t I>
int FieldsT(Ref<RepFieldList>* fields) {
  return FieldsFor(I, fields);
}

template <size_t... I>
std::vector<RepProvidedTableDesc> DescriptorSlots(std::index_sequence<I...>) {
  return {RepProvidedTableDesc{nullptr, nullptr, nullptr, &InitT<I>, &GetRecord, &Finish,
                               &FieldsT<I>}...};
}

// Every table's source and every field's expression compile against the database; a fault is
// reported at the line of the mapping that holds it.
bool CheckAgainstDatabase(Source* source, const Mapping& m, std::string* error) {
  const Dialect& d = source->dialect();
  for (const TableMap& t : m.tables) {
    std::string message;
    if (!source->Check("SELECT 1 FROM " + From(d, t) + " WHERE 1 = 0", &message)) {
      *error = Where(m, t, t.line) + "the catalog cannot read its source: " + message;
      return false;
    }
    for (const FieldMap& f : t.fields) {
      ReadAs as = ReadAs::kInt;
      if (!ReadAsFor(f.type, &as)) {
        *error = Where(m, t, f.line) + "field '" + f.field + "' has a type no column can give";
        return false;
      }
      const std::string sql =
          "SELECT " + d.Select(Expression(d, f), as) + " FROM " + From(d, t) + " WHERE 1 = 0";
      if (!source->Check(sql, &message)) {
        *error = Where(m, t, f.line) + "field '" + f.field + "': " + message;
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int Open(const std::string& catalog, const std::string& mapping_path, std::string* error) {
  Close();
  auto state = std::make_shared<State>();
  state->source = IsPostgres(catalog) ? OpenPostgres(catalog, error) : OpenSqlite(catalog, error);
  if (!state->source) return 0;
  const int read = mapping_path.empty() ? ParseMapping(BuiltinMappingText(), "built-in mapping",
                                                       &state->mapping, error)
                                        : LoadMapping(mapping_path, &state->mapping, error);
  if (!read) return 0;
  if (state->mapping.tables.size() > kMaxTables) {
    *error = state->mapping.file + ": maps more than " + std::to_string(kMaxTables) + " tables";
    return 0;
  }
  std::string problem;
  if (!CheckAgainstDatabase(state->source.get(), state->mapping, &problem)) {
    *error = mapping_path.empty() ? "'" + catalog + "' is not a catalog: " + problem : problem;
    return 0;
  }
  std::vector<RepProvidedTableDesc> slots = DescriptorSlots(std::make_index_sequence<kMaxTables>());
  for (size_t i = 0; i < state->mapping.tables.size(); ++i) {
    slots[i].name = state->mapping.tables[i].name.c_str();
    state->descriptors.push_back(slots[i]);
  }
  state->descriptors.push_back(RepProvidedTableDesc{});
  RepSetGrabberRecordWriter(&GetRecord, &WriteRow);
  g_state = std::move(state);
  return 1;
}

int Open(const std::string& catalog, std::string* error) { return Open(catalog, "", error); }

void Close() { g_state.reset(); }

bool IsSerialized(const char* table) {
  if (!g_state || table == nullptr) return false;
  for (const TableMap& t : g_state->mapping.tables) {
    if (StrCompareNoCase(t.name.c_str(), table) == 0) return t.serialized;
  }
  return false;
}

RequestScope::RequestScope(const RepGetTableArgs* args) : outer_(std::move(g_request_filter)) {
  g_request_filter = args != nullptr ? Ref<Obj>::Share(args->filter()) : Ref<Obj>();
}

// A request answered inside another's waits leaves the outer one's filter as it found it.
RequestScope::~RequestScope() { g_request_filter = std::move(outer_); }

void SetPushDown(bool on) { g_push_down = on; }

const RepProvidedTableDesc* Tables() {
  static const RepProvidedTableDesc kNone{};
  return g_state ? g_state->descriptors.data() : &kNone;
}

std::string SelectFor(const char* table, const RepFieldList* fields, const List* restrictions,
                      const Tree* filter) {
  if (!g_state || fields == nullptr || table == nullptr) return "";
  for (const TableMap& t : g_state->mapping.tables) {
    if (StrCompareNoCase(t.name.c_str(), table) == 0) {
      return BuildQuery(g_state->source.get(), t, fields, restrictions, filter).sql;
    }
  }
  return "";
}

}  // namespace catalog
