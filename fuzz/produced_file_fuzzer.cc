// Fuzzes reading stored reports back from corrupt or truncated files: the control file and the
// records file of one produced report, read with and without records and records alone.
//
// The fuzzer stores a real report once, then for each input replaces one of its two files by
// the input itself (first byte 0 or 1), or by the real file cut short and with the input XORed
// over it (first byte 2 or 3; the next two bytes give the length kept), so that most inputs get
// past the header checks into the objects. Beyond "no crash", it checks that:
//  - a failed read hands nothing back, a good one a control or records object;
//  - every value of a record read back with its control renders by its field's type (values that
//    do not fit their field were turned Unknown when read);
//  - what was read serializes again, and that form reads back to the same bytes.
//
// Build and run (seeds in fuzz/corpus/produced_file; copy them to a scratch directory first):
//   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKR_FUZZ=ON -DKR_BENCH=OFF
//   cmake --build build-fuzz --target produced_file_fuzzer
//   build-fuzz/produced_file_fuzzer -max_len=8192 -max_total_time=600 CORPUS_DIR

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/path.h"
#include "kr/serialize.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/format.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/reports.h"
#include "reports/utilities.h"

namespace {

class DiscardSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

std::unique_ptr<KrContext> g_context;
std::string g_name;
std::string g_control_path, g_records_path;
std::string g_control_bytes, g_records_bytes;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

struct FieldSpec {
  const char* name;
  int32_t type;
  const char* values[3];
};
constexpr FieldSpec kFields[] = {
    {"id", kRepTypeInteger, {"1", "-7", "2147483647"}},
    {"name", kRepTypeString, {"alpha", "", "caf\xc3\xa9 au lait"}},
    {"done", kRepTypeBoolean, {"yes", "no", "yes"}},
    {"when", kRepTypeDate, {"2024/02/29", "1999/12/31", "2038/01/19"}},
    {"size", kRepTypeDataCount, {"0", "1536", "9223372036854775807"}},
    {"big", kRepTypeInt64, {"-9223372036854775807", "42", "0"}},
};

Ref<RepRecord> MakeRecord(int row, int32_t state) {
  Ref<List> values = ListNewFromPool();
  for (const FieldSpec& f : kFields) {
    Ref<Obj> v;
    if (!RepEncodeData(&v, f.values[row % 3], f.type)) std::abort();
    ListPushLastItemInternal(values.get(), RepNewFieldValue(state, std::move(v)));
  }
  Ref<RepRecord> r = RepRecord::New();
  r->set_values(std::move(values));
  return r;
}

// Stores one report and keeps its two files' bytes.
void StoreSeedReport() {
  Ref<List> fields = ListNewFromPool();
  for (const FieldSpec& f : kFields)
    ListPushLastItemInternal(fields.get(), RepNewFieldDef(f.name, f.type, 10));
  Ref<List> records = ListNewFromPool();
  for (int i = 0; i < 3; ++i) ListPushLastItemInternal(records.get(), MakeRecord(i, i % 2 * 3));
  Ref<RepTable> table = RepNewTable("result", std::move(fields), std::move(records));
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetClass(params.get(), "Jobs");
  RepParamsSetOutputType(params.get(), 2);
  RepParamsSetInclude(params.get(), "%id < 4");
  Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
  Ref<List> dropped = ListNewFromPool();
  ListPushLastItemInternal(dropped.get(), MakeRecord(1, 0));
  control->set_filtered_out(std::move(dropped));

  Ref<List> classes = ListNewFromPool();
  Ref<RepClass> c = RepClass::New();
  c->set_file_name("jobs");
  c->set_nice_name("Jobs");
  ListPushLastItemInternal(classes.get(), std::move(c));
  if (RepSerialiseProducedReport(&g_name, "seed", control.get(), classes.get(), 1) != 1)
    std::abort();
  std::string reports;
  RepGetReportsDir(&reports);
  const std::string day = g_name.substr(g_name.find('%') + 1, 8);
  PathBuild(&g_control_path, reports.c_str(), "produced", day.c_str(), "control", g_name.c_str(),
            nullptr);
  PathBuild(&g_records_path, reports.c_str(), "produced", day.c_str(), "records", g_name.c_str(),
            nullptr);
  if (!LoadTextFile(&g_control_bytes, g_control_path.c_str()) ||
      !LoadTextFile(&g_records_bytes, g_records_path.c_str()))
    std::abort();
}

// The real file cut to the length in data[0..1], with the rest of the input XORed over it.
std::string Corrupted(const std::string& real, const uint8_t* data, size_t size) {
  if (size < 2) return real;
  const size_t keep = (static_cast<size_t>(data[0]) << 8 | data[1]) % (real.size() + 1);
  std::string out = real.substr(0, keep);
  data += 2;
  size -= 2;
  for (size_t i = 0; i < size && i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ data[i]);
  return out;
}

// Serializes `obj`, reads it back and serializes that again: both forms must agree.
void CheckReserializes(const Obj* obj) {
  std::string once, twice;
  Check(ObjSerializeToMemory(&once, obj) == 1, "what was read serializes");
  Check(once.size() >= 8, "serialized form has its header");
  Ref<Obj> again;
  Check(ObjReconstructFromMemory(&again, once.data() + 8, once.size() - 8) == 1,
        "serialized form reads back");
  Check(ObjSerializeToMemory(&twice, again.get()) == 1 && once == twice,
        "serialized form is stable");
}

void CheckRecordsRender(const List* records, const RepFieldList* fields) {
  if (records == nullptr) return;
  DString scratch;
  for (Obj* o : *records) {
    const RepRecord* r = ObjCast<RepRecord>(o);
    Check(r != nullptr && r->values() != nullptr, "records are records");
    Check(r->values()->size() == ListGetItemCount(fields), "one value per field");
    for (size_t i = 0; i < r->values()->size(); ++i) {
      const RepFieldValue* v = ObjCast<RepFieldValue>(r->values()->at(i));
      const RepFieldDef* f = ObjCast<RepFieldDef>(fields->at(i));
      Check(v != nullptr, "values are field values");
      if (v->state() != kRepStateNormal || f == nullptr) continue;
      std::string_view text;
      const int rendered = RepTypedDataToText(&text, &scratch, f->type(), v->value());
      Check(rendered == 1 || (f->type() == kRepTypeDate && rendered == 0) ||
                rendered == kRepTextBadType,
            "a Normal value renders by its field's type");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static DiscardSink sink;
  setenv("TZ", "UTC", 1);
  char home[] = "/tmp/produced_file_fuzzer.XXXXXX";
  if (mkdtemp(home) == nullptr) std::abort();
  const std::string h = home;
  const std::string reports = h + "/reports";
  for (const std::string& d : {h + "/config", reports, reports + "/produced"})
    PathCreateDirectory(d.c_str());
  WriteText(h + "/config/configure.cfg", "[Directories]\nReports = \"" + reports + "\"\n");
  ContextOptions o;
  o.home = h;
  o.machine_name = "fuzzhost";
  o.fixed_time = 1078495629;  // 2004-03-05 14:07:09 UTC
  g_context = ContextCreate(o);
  ContextSetCurrent(g_context.get());
  TraceSetSink(&sink);
  TraceSetLevel(-1);
  StoreSeedReport();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;
  const int mode = data[0] % 4;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool control_broken = mode == 0 || mode == 2;
  const std::string& real = control_broken ? g_control_bytes : g_records_bytes;
  const std::string broken = mode < 2 ? input : Corrupted(real, data + 1, size - 1);
  WriteText(control_broken ? g_control_path : g_records_path, broken);
  WriteText(control_broken ? g_records_path : g_control_path,
            control_broken ? g_records_bytes : g_control_bytes);

  for (int with_records : {1, 0}) {
    Ref<RepStoredControl> stored;
    const int ok = RepReConstructProducedReport(&stored, g_name.c_str(), with_records);
    Check(ok == 0 || ok == 1, "result code");
    Check((ok == 1) == static_cast<bool>(stored), "a control is handed back only on success");
    if (ok != 1) continue;
    const RepControl* control = stored->control();
    Check(control != nullptr && control->params() != nullptr, "a control with parameters");
    if (with_records == 1 && control->table() != nullptr) {
      CheckRecordsRender(control->table()->records(), control->table()->fields());
      CheckRecordsRender(control->filtered_out(), control->table()->fields());
    }
    CheckReserializes(stored.get());
  }
  Ref<RepStoredRecords> records;
  const int ok = RepReConstructProducedRecords(&records, g_name.c_str());
  Check(ok == 0 || ok == 1, "result code (records)");
  Check((ok == 1) == static_cast<bool>(records), "records are handed back only on success");
  if (ok == 1) CheckReserializes(records.get());
  return 0;
}
