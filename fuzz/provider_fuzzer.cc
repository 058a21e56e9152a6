// Fuzzes what a table provider accepts from a requester: GET_TABLE arguments (table name, wanted
// fields with any type, textual restrictions, a filter text), whole argument objects rebuilt from
// serialized bytes, and record acknowledgements.
//
// The input's first byte picks the form:
//   even  a structured request: lines of  table name / wanted fields "name:type,..." /
//         restrictions "field:lower:upper;..." / filter text
//   odd   the rest is a serialized object body, handed to the request step as the task's
//         argument and to the acknowledgement handler
// A request that is accepted is run to its end: packets are fetched from a generated grabber and
// filtered, as the record send does, and the grabber is finished. Beyond "no crash, no leak" it
// checks that no packet holds more than 100 records and that every kept record has one value per
// record field.
//
// Build and run (clang; seeds in fuzz/corpus/provider, copied to a scratch corpus first):
//   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKR_FUZZ=ON -DKR_BENCH=OFF
//   cmake --build build-fuzz --target provider_fuzzer
//   build-fuzz/provider_fuzzer -max_len=1024 -max_total_time=300 CORPUS_DIR

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kr/context.h"
#include "kr/serialize.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/restrictions.h"
#include "reports/sql.h"
#include "reports/tablesprovider.h"
#include "tablesprovider_internal.h"

namespace {

class DiscardSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

constexpr int kRows = 230;

struct Column {
  const char* name;
  int32_t type;
};
constexpr Column kColumns[] = {
    {"id", kRepTypeInteger},   {"name", kRepTypeString},  {"size", kRepTypeInt64},
    {"when", kRepTypeSysTime}, {"done", kRepTypeBoolean},
};

int Fields(Ref<RepFieldList>* fields) {
  Ref<List> l = ListNewFromPool();
  for (const Column& c : kColumns)
    ListPushLastItemInternal(l.get(), RepNewFieldDef(c.name, c.type, 8));
  *fields = std::move(l);
  return 1;
}
int Init(Ref<Obj>* context, RepGrabberInitArgs*) {
  *context = ObjNewInteger(0);
  return 1;
}
// Fills values by name with the provider's own types, whatever types the requester claimed.
int GetRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  int32_t n = ObjGetInteger(context) + 1;
  if (n > kRows) return 2;
  ObjSetInteger(context, n);
  const RepFieldList* fields = args->fields();
  for (size_t i = 0; i < fields->size(); ++i) {
    const char* name = ObjGetSlotString(fields->at(i), 1);
    RepFieldValue* v = record->value_at(i);
    if (name == nullptr || v == nullptr) continue;
    std::string_view f(name);
    if (f == "id") v->set_value(ObjNewInteger(n));
    if (f == "name") v->set_value(ObjNewString(n % 3 ? "alpha" : "beta"));
    if (f == "size") v->set_value(ObjNewInt64(int64_t{n} * 1000003));
    if (f == "when") v->set_value(ObjNewInteger(1700000000 + n));
    if (f == "done") v->set_value(ObjNewBoolean(n % 2 == 0));
    if (n % 17 == 0) v->set_state(kRepStateNA);
  }
  return 1;
}
int Finish(Ref<Obj>* context, RepGrabberInitArgs*) {
  context->reset();
  return 1;
}

const RepProvidedTableDesc kTables[] = {
    {"things", nullptr, nullptr, &Init, &GetRecord, &Finish, &Fields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::vector<std::string> Split(std::string_view text, char sep) {
  std::vector<std::string> out;
  size_t b = 0;
  for (;;) {
    size_t e = text.find(sep, b);
    out.emplace_back(text.substr(b, e == std::string_view::npos ? text.size() - b : e - b));
    if (e == std::string_view::npos) break;
    b = e + 1;
  }
  return out;
}

Ref<Obj> StructuredRequest(std::string_view text) {
  std::vector<std::string> lines = Split(text, '\n');
  lines.resize(4);
  Ref<RepGetTableArgs> args = RepGetTableArgs::New();
  args->set_table_name(lines[0].c_str());
  Ref<List> wanted = ListNewFromPool();
  for (const std::string& item : Split(lines[1], ',')) {
    if (item.empty()) continue;
    std::vector<std::string> parts = Split(item, ':');
    int32_t type = parts.size() > 1 ? std::atoi(parts[1].c_str()) : 0;
    ListPushLastItemInternal(wanted.get(), RepNewFieldDef(parts[0].c_str(), type, 4));
  }
  args->set_wanted_fields(wanted);
  if (!lines[2].empty()) {
    Ref<List> restrictions = ListNewFromPool();
    for (const std::string& item : Split(lines[2], ';')) {
      std::vector<std::string> parts = Split(item, ':');
      parts.resize(3);
      Ref<RepSqlRestriction> r = RepSqlRestriction::New();
      r->set_table(lines[0].c_str());
      r->set_field(parts[0].c_str());
      r->set_lower_text(parts[1].c_str());
      r->set_upper_text(parts[2].c_str());
      ListPushLastItemInternal(restrictions.get(), r);
    }
    args->set_restrictions(restrictions);
  }
  if (!lines[3].empty()) {
    Ref<RepSqlFilter> filter = RepSqlFilter::New();
    filter->set_text(lines[3].c_str());
    args->set_filter(filter);
  }
  return args;
}

// Runs an accepted request to its end, as the record send does, checking every packet.
void RunSend(kr_internal::RepPreparedSend* prepared) {
  const size_t nfields = prepared->init_args->fields()->size();
  bool all = false;
  for (int packets = 0; !all && packets < 10; ++packets) {
    Ref<List> records;
    if (kr_internal::RepFillRecordPacket(&records, prepared->descriptor, prepared->context.get(),
                                         prepared->init_args.get(), prepared->filter_tree.get(),
                                         &all) == 0)
      break;
    Check(records->size() <= 100, "a packet holds at most 100 records");
    for (const Obj* r : *records) {
      const RepRecord* record = ObjCast<RepRecord>(r);
      Check(record != nullptr && record->values()->size() == nfields,
            "a kept record has one value per record field");
    }
  }
  Finish(&prepared->context, prepared->init_args.get());
}

std::unique_ptr<KrContext> g_context;
DiscardSink g_sink;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ContextOptions options;
  char dir[] = "/tmp/provider_fuzzer.XXXXXX";
  options.home = mkdtemp(dir) != nullptr ? dir : "/tmp";
  options.machine_name = "fuzzhost";
  options.fixed_time = 1700000000;
  g_context = ContextCreate(options);
  ContextSetCurrent(g_context.get());
  TraceSetSink(&g_sink);
  TraceSetLevel(10);  // format every trace too
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  Ref<Obj> argument;
  if ((data[0] & 1) == 0) {
    argument = StructuredRequest(rest);
  } else if (ObjReconstructFromMemory(&argument, rest.data(), rest.size()) == 0) {
    return 0;
  }
  kr_internal::RepPreparedSend prepared;
  if (kr_internal::RepPrepareTableSend(&prepared, kTables, argument.get(), 0) == 1)
    RunSend(&prepared);
  // The same object as an acknowledgement: it names no send, so nothing may happen.
  RepHandleMyRecReceivedMsg(argument.get());
  Check(RepGetLiveRecordSendCount() == 0, "no send is started by an acknowledgement");
  return 0;
}
