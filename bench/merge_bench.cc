// The cost of merging a 1,000,000-record table with a 100,000-record table (two columns taken),
// on one integer key and on one string key, against a join of plain structs through
// std::unordered_map that builds the same joined rows: the first source row of each key, the
// same case-blind hashing for strings, the taken values shared (pointed at), not copied.
//
// Each merge works on a fresh copy of the target, made with the timer paused. After the
// benchmarks, the ratio of each merge to its plain join is printed.
//
//   build/merge_bench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench_main.h"
#include "kr/list.h"
#include "kr/object.h"
#include "reports/reports.h"
#include "reports/sql.h"
#include "reports/tableslowlevel.h"

namespace {

constexpr int kTargetRows = 1000000;
constexpr int kSourceRows = 100000;
// Target keys are drawn from a range 10% wider than the source's, so about one target row in
// eleven has no match.
constexpr int kKeyRange = kSourceRows + kSourceRows / 10;

// --- the data, shared by both sides --------------------------------------------------------------

struct Data {
  std::vector<int32_t> target_keys;  // per target row
  std::vector<int32_t> source_keys;  // per source row: a permutation of 0..kSourceRows-1
  std::vector<std::string> target_texts;
  std::vector<std::string> source_texts;
};

// String keys: "Key-000123", in mixed case on the target side so that matches need case-blind
// comparison.
std::string KeyText(int32_t k, bool upper) {
  char buf[32];
  std::snprintf(buf, sizeof buf, upper ? "KEY-%06d" : "key-%06d", k);
  return buf;
}

const Data& TheData() {
  static const Data data = [] {
    Data d;
    std::mt19937 rng(42);
    std::uniform_int_distribution<int32_t> key(0, kKeyRange - 1);
    for (int i = 0; i < kTargetRows; ++i) {
      d.target_keys.push_back(key(rng));
      d.target_texts.push_back(KeyText(d.target_keys.back(), i % 2 == 0));
    }
    for (int i = 0; i < kSourceRows; ++i) d.source_keys.push_back(i);
    std::shuffle(d.source_keys.begin(), d.source_keys.end(), rng);
    for (int32_t k : d.source_keys) d.source_texts.push_back(KeyText(k, false));
    return d;
  }();
  return data;
}

// --- the library's tables ------------------------------------------------------------------------

Ref<RepFieldValue> Normal(Ref<Obj> v) { return RepNewFieldValue(kRepStateNormal, std::move(v)); }

Ref<List> FieldList(std::initializer_list<std::pair<const char*, int32_t>> fields) {
  Ref<List> l = ListNewFromPool();
  for (const auto& [name, type] : fields) {
    ListPushLastItemInternal(l.get(), RepNewFieldDef(name, type, 8));
  }
  return l;
}

// Target: id, key. Source: key, amount, label.
Ref<RepTable> MakeTarget(bool string_key) {
  const Data& d = TheData();
  Ref<List> records = ListNewWithCapacity(kTargetRows);
  for (int i = 0; i < kTargetRows; ++i) {
    Ref<List> values = ListNewWithCapacity(2);
    ListPushLastItemInternal(values.get(), Normal(ObjNewInteger(i)));
    ListPushLastItemInternal(values.get(),
                             Normal(string_key ? ObjNewString(d.target_texts[i].c_str())
                                               : ObjNewInteger(d.target_keys[i])));
    Ref<RepRecord> r = RepRecord::New();
    r->set_values(std::move(values));
    ListPushLastItemInternal(records.get(), std::move(r));
  }
  const int32_t key_type = string_key ? kRepTypeString : kRepTypeInteger;
  return RepNewTable("target", FieldList({{"id", kRepTypeInteger}, {"key", key_type}}),
                     std::move(records));
}

Ref<RepTable> MakeSource(bool string_key) {
  const Data& d = TheData();
  Ref<List> records = ListNewWithCapacity(kSourceRows);
  for (int i = 0; i < kSourceRows; ++i) {
    Ref<List> values = ListNewWithCapacity(3);
    ListPushLastItemInternal(values.get(),
                             Normal(string_key ? ObjNewString(d.source_texts[i].c_str())
                                               : ObjNewInteger(d.source_keys[i])));
    ListPushLastItemInternal(values.get(), Normal(ObjNewInteger(d.source_keys[i] * 3)));
    const std::string label = "label " + std::to_string(d.source_keys[i]);
    ListPushLastItemInternal(values.get(), Normal(ObjNewString(label.c_str())));
    Ref<RepRecord> r = RepRecord::New();
    r->set_values(std::move(values));
    ListPushLastItemInternal(records.get(), std::move(r));
  }
  const int32_t key_type = string_key ? kRepTypeString : kRepTypeInteger;
  return RepNewTable(
      "source",
      FieldList({{"skey", key_type}, {"amount", kRepTypeInteger}, {"label", kRepTypeString}}),
      std::move(records));
}

void BM_Merge(benchmark::State& state, bool string_key) {
  const Ref<RepTable> source = MakeSource(string_key);
  const Ref<List> take = FieldList({{"amount", kRepTypeInteger}, {"label", kRepTypeString}});
  Ref<List> joins = ListNewFromPool();
  Ref<RepSqlMerge> join = RepSqlMerge::New();
  join->set_first_field("key");
  join->set_second_field("skey");
  ListPushLastItemInternal(joins.get(), std::move(join));
  size_t matched = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Ref<RepTable> target = MakeTarget(string_key);
    state.ResumeTiming();
    if (RepMergeTables(target.get(), source.get(), take.get(), nullptr, joins.get(), 1, nullptr,
                       nullptr) != 1) {
      state.SkipWithError("merge failed");
      break;
    }
    state.PauseTiming();
    matched = 0;
    for (Obj* o : *target->records()) {
      matched += ObjCast<RepRecord>(o)->value_at(2)->state() == kRepStateNormal;
    }
    target.reset();
    state.ResumeTiming();
  }
  state.counters["matched"] = static_cast<double>(matched);
  state.SetItemsProcessed(state.iterations() * kTargetRows);
}

// --- the plain join ------------------------------------------------------------------------------

struct TargetRow {
  int32_t id;
  int32_t key;
  const std::string* text;
};
struct SourceRow {
  int32_t key;
  const std::string* text;
  int32_t amount;
  std::string label;
};
struct JoinedRow {
  int32_t id;
  int32_t key;
  const std::string* text;
  bool matched;
  const int32_t* amount;  // shared with the source row, as the merge shares values
  const std::string* label;
};

// The merge's string hash: ASCII letters folded, FNV-1a over the bytes.
struct CaseBlindHash {
  size_t operator()(std::string_view s) const {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
      if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
      h = (h ^ c) * 0x100000001b3ull;
    }
    return h;
  }
};
struct CaseBlindEqual {
  bool operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
      if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
      if (x != y) return false;
    }
    return true;
  }
};

void BM_PlainJoin(benchmark::State& state, bool string_key) {
  const Data& d = TheData();
  std::vector<SourceRow> source;
  for (int i = 0; i < kSourceRows; ++i) {
    source.push_back(SourceRow{d.source_keys[i], &d.source_texts[i], d.source_keys[i] * 3,
                               "label " + std::to_string(d.source_keys[i])});
  }
  std::vector<TargetRow> target;
  for (int i = 0; i < kTargetRows; ++i) {
    target.push_back(TargetRow{i, d.target_keys[i], &d.target_texts[i]});
  }
  size_t matched = 0;
  for (auto _ : state) {
    std::vector<JoinedRow> out;
    out.reserve(target.size());
    auto emit = [&](const TargetRow& t, const SourceRow* s) {
      out.push_back(JoinedRow{t.id, t.key, t.text, s != nullptr, s ? &s->amount : nullptr,
                              s ? &s->label : nullptr});
    };
    if (string_key) {
      std::unordered_map<std::string_view, const SourceRow*, CaseBlindHash, CaseBlindEqual> index;
      index.reserve(source.size());
      for (const SourceRow& s : source) index.try_emplace(*s.text, &s);  // the first one wins
      for (const TargetRow& t : target) {
        auto it = index.find(*t.text);
        emit(t, it == index.end() ? nullptr : it->second);
      }
    } else {
      std::unordered_map<int32_t, const SourceRow*> index;
      index.reserve(source.size());
      for (const SourceRow& s : source) index.try_emplace(s.key, &s);
      for (const TargetRow& t : target) {
        auto it = index.find(t.key);
        emit(t, it == index.end() ? nullptr : it->second);
      }
    }
    matched = 0;
    for (const JoinedRow& r : out) matched += r.matched;
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["matched"] = static_cast<double>(matched);
  state.SetItemsProcessed(state.iterations() * kTargetRows);
}

BENCHMARK_CAPTURE(BM_Merge, integer_key, false)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_PlainJoin, integer_key, false)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_Merge, string_key, true)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_PlainJoin, string_key, true)->Unit(benchmark::kMillisecond)->Iterations(5);

// Each merge's time over its plain join's: wall-clock and CPU time, each the best of the
// repetitions (run with --benchmark_repetitions=N on a busy machine).
void PrintRatios(const kr_bench::BestRunReporter& reporter) {
  for (const char* key : {"integer_key", "string_key"}) {
    const kr_bench::BestRun* merge = reporter.Best(std::string("BM_Merge/") + key);
    const kr_bench::BestRun* plain = reporter.Best(std::string("BM_PlainJoin/") + key);
    if (merge == nullptr || plain == nullptr || plain->cpu <= 0) continue;
    std::printf(
        "merge / plain join, %s: real %.1f ms / %.1f ms = %.2fx, cpu %.1f ms / %.1f ms = "
        "%.2fx\n",
        key, merge->real, plain->real, merge->real / plain->real, merge->cpu, plain->cpu,
        merge->cpu / plain->cpu);
  }
}

}  // namespace

int main(int argc, char** argv) {
  kr_bench::BestRunReporter reporter;
  kr_bench::RunBenchmarks(argc, argv, &reporter, 0, false);
  PrintRatios(reporter);
  return 0;
}
