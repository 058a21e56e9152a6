#include "lookup.h"

#include <unistd.h>

#include <algorithm>

#include "kr/context.h"
#include "kr/list.h"
#include "kr/path.h"
#include "kr/stanza.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/classes.h"
#include "reports/fields.h"
#include "reports/filter.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/sort.h"
#include "reports/templatefile.h"
#include "reports/utilities.h"

namespace krweb {
namespace {

// Collects the failure lines the library traces while a text is checked.
class RefusalCapture : public TraceSink {
 public:
  RefusalCapture() : previous_(TraceSetSink(this)), level_(TraceSetLevel(-1)) {}
  ~RefusalCapture() override {
    TraceSetSink(previous_);
    TraceSetLevel(level_);
  }
  void Write(std::string_view, int, int level, std::string_view text) override {
    if (level < 0) lines_.emplace_back(text);
  }
  // The message that got furthest into `text`: the one whose quoted part is the longest tail of
  // the text, with that tail's offset; else the first (innermost) message.
  Refusal Result(const std::string& text) const {
    Refusal r;
    r.message = lines_.empty() ? "The text is not accepted." : lines_.front();
    for (const std::string& line : lines_) {
      const size_t close = line.rfind('\'');
      const size_t open = close == std::string::npos || close == 0
                              ? std::string::npos : line.rfind('\'', close - 1);
      if (open == std::string::npos) continue;
      const std::string quoted = line.substr(open + 1, close - open - 1);
      if (!quoted.empty() && quoted.size() <= text.size() &&
          text.compare(text.size() - quoted.size(), quoted.size(), quoted) == 0 &&
          static_cast<long>(text.size() - quoted.size()) > r.position) {
        r.message = line;
        r.position = static_cast<long>(text.size() - quoted.size());
      }
    }
    return r;
  }

 private:
  TraceSink* previous_;
  int level_;
  std::vector<std::string> lines_;
};

bool ClassTable(Ref<RepTable>* table, const std::string& class_name, std::string* error) {
  if (RepGetClassFields(table, class_name.c_str()) != kRepClassOk || !*table ||
      (*table)->fields() == nullptr) {
    *error = "Cannot get the fields of class '" + class_name +
             "': is it a class, and are its table providers running?";
    return false;
  }
  return true;
}

}  // namespace

Lookup::Lookup(const std::string& home) {
  std::promise<void> ready;
  auto started = ready.get_future();
  thread_ = std::thread(&Lookup::Loop, this, home, std::move(ready));
  started.wait();
}

Lookup::~Lookup() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Lookup::Loop(std::string home, std::promise<void> ready) {
  ContextOptions options;
  options.home = home;
  options.process_name = "krweb " + std::to_string(getpid());
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());
  ready.set_value();
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !work_.empty(); });
      if (work_.empty()) break;
      job = std::move(work_.front());
      work_.pop_front();
    }
    job();
  }
  ContextSetCurrent(nullptr);
}

std::string Lookup::ReportsDir() {
  return Call([] {
    std::string path;
    return RepPathBuild(&path, nullptr) ? path : std::string();
  });
}

std::vector<ClassEntry> Lookup::Classes() {
  return Call([] {
    std::vector<ClassEntry> out;
    Ref<List> classes;
    if (RepGetAvailClasses(&classes) != kRepClassOk) return out;
    for (Obj* item : *classes) {
      if (auto* c = ObjCast<RepClass>(item))
        out.push_back({StrOrEmpty(c->nice_name()), StrOrEmpty(c->file_name())});
    }
    return out;
  });
}

std::vector<TemplateEntry> Lookup::Templates() {
  return Call([] {
    std::vector<TemplateEntry> out;
    std::string dir;
    std::vector<DirEntry> entries;
    if (!RepPathBuild(&dir, "templates", nullptr) || !DirScan(&entries, dir.c_str())) return out;
    for (const DirEntry& e : entries) {
      Ref<RepTemplate> tmpl;
      Ref<RepParams> params;
      if (!e.is_file || !RepTemplateAlloc((dir + "/" + e.name).c_str(), &tmpl) ||
          !RepMakeParamsFromTemplate(&params, tmpl.get())) {
        continue;
      }
      TemplateEntry t;
      t.file_name = e.name;
      RepGetTemplateNiceName(&t.nice_name, tmpl.get(), e.name.c_str());
      t.class_name = StrOrEmpty(RepParamsGetClass(params.get()));
      t.output_type = RepParamsGetOutputType(params.get());
      std::string group_by;
      t.summary = RepTemplateGetParam(&group_by, tmpl.get(), "groupby", 1, 0) == kRepOk &&
                  group_by.find_first_not_of(" \t") != std::string::npos;
      out.push_back(std::move(t));
    }
    return out;
  });
}

bool Lookup::Fields(const std::string& class_name, std::vector<FieldEntry>* fields,
                    std::string* error) {
  return Call([&] {
    Ref<RepTable> table;
    if (!ClassTable(&table, class_name, error)) return false;
    for (Obj* item : *table->fields()) {
      auto* f = ObjCast<RepFieldDef>(item);
      if (f == nullptr) continue;
      fields->push_back({StrOrEmpty(f->name()), StrOrEmpty(RepGetFieldTypeString(f->type())),
                         StrOrEmpty(f->description())});
    }
    return true;
  });
}

std::vector<std::string> Lookup::Directories(const std::string& kind) {
  return Call([&] {
    std::vector<std::string> out;
    std::string dir;
    std::vector<DirEntry> entries;
    if (!RepPathBuild(&dir, kind.c_str(), nullptr) || !DirScan(&entries, dir.c_str())) return out;
    for (const DirEntry& e : entries) {
      if (e.is_dir) out.push_back(e.name);
    }
    return out;
  });
}

std::optional<Refusal> Lookup::CheckFilter(const std::string& class_name,
                                           const std::string& text) {
  return Call([&]() -> std::optional<Refusal> {
    Ref<RepTable> table;
    std::string error;
    if (!ClassTable(&table, class_name, &error)) return Refusal{error, -1};
    RefusalCapture capture;
    int32_t at = -1;
    if (RepMakeFilterTreeLocated(text.c_str(), table->fields(), &at)) return std::nullopt;
    // The place is the parser's own; the message the one that says most about it.
    Refusal r = capture.Result(text);
    r.position = at;
    return r;
  });
}

std::optional<Refusal> Lookup::CheckSort(const std::string& class_name, const std::string& text) {
  return Call([&]() -> std::optional<Refusal> {
    Ref<RepTable> table;
    std::string error;
    if (!ClassTable(&table, class_name, &error)) return Refusal{error, -1};
    RefusalCapture capture;
    Ref<List> fields;
    if (RepGetFieldsInSort(&fields, table->fields(), text.c_str())) return std::nullopt;
    return capture.Result(text);
  });
}

std::string Lookup::Format(const std::string& class_name, int type,
                           const std::vector<std::string>& names) {
  return Call([&] {
    Ref<RepTable> table;
    std::string error, format;
    Ref<RepOutputTypeInfo> info;
    if (!ClassTable(&table, class_name, &error) || !RepOutputTypeInfoFromID(&info, type)) {
      return format;
    }
    Ref<List> chosen = ListNewFromPool();
    for (const std::string& name : names) {
      for (Obj* item : *table->fields()) {
        auto* f = ObjCast<RepFieldDef>(item);
        if (f != nullptr && name == StrOrEmpty(f->name())) ListAddLastItem(chosen.get(), item);
      }
    }
    if (chosen->size() == 0) return format;
    // As krreport lays out a class without a format: the type's texts, two blanks between
    // fields (the one after a reference belongs to the reference).
    std::string tail = StrOrEmpty(info->format_post()),
                post = StrOrEmpty(info->format_field_post());
    if (tail.empty()) tail = "\n";
    if (post.empty()) post = "  ";
    if (!RepGenFormatString(&format, StrOrEmpty(info->format_pre()), tail.c_str(),
                            StrOrEmpty(info->format_field_pre()), post.c_str(), chosen.get())) {
      format.clear();
    }
    return format;
  });
}

std::vector<StoredEntry> Lookup::Stored() {
  return Call([] {
    std::vector<StoredEntry> out;
    std::string produced;
    if (!RepPathBuild(&produced, "produced", nullptr)) return out;
    Ref<List> classes;
    if (RepGetAvailClasses(&classes) != kRepClassOk) classes = ListNewFromPool();
    // Each day directory's control files are the list: a records file goes with each.
    std::vector<DirEntry> days;
    DirScan(&days, produced.c_str());
    for (const DirEntry& day : days) {
      std::vector<DirEntry> files;
      if (!day.is_dir || !DirScan(&files, (produced + "/" + day.name + "/control").c_str())) {
        continue;
      }
      for (const DirEntry& file : files) {
        Ref<RepProducedReportName> decoded;
        if (!file.is_file || RepDecodeProducedFileNameWithClassList(&decoded, file.name.c_str(),
                                                                    classes.get()) != kRepOk) {
          continue;  // a store in progress, or not the store's
        }
        const char* nice = decoded->class_nice_name();
        out.push_back(
            {file.name, decoded->time_of_production(), decoded->output_type(),
             nice != nullptr && *nice != '\0' ? nice : StrOrEmpty(decoded->class_name())});
      }
    }
    std::sort(out.begin(), out.end(), [](const StoredEntry& a, const StoredEntry& b) {
      return a.time != b.time ? a.time > b.time : a.name < b.name;
    });
    return out;
  });
}

bool Lookup::StoredDetails(const std::string& name,
                           std::vector<std::pair<std::string, std::string>>* out) {
  return Call([&] {
    Ref<RepStoredControl> stored;
    if (RepReConstructProducedReport(&stored, name.c_str(), 0) != kRepOk || !stored->control()) {
      return false;
    }
    const RepParams* p = stored->control()->params();
    if (p == nullptr) return false;
    out->push_back({"Class", StrOrEmpty(RepParamsGetClass(p))});
    out->push_back({"Format", StrOrEmpty(RepParamsGetFormat(p))});
    out->push_back({"Include", StrOrEmpty(RepParamsGetInclude(p))});
    out->push_back({"Exclude", StrOrEmpty(RepParamsGetExclude(p))});
    out->push_back({"Condition", StrOrEmpty(RepParamsGetCondition(p))});
    out->push_back({"Sort", StrOrEmpty(RepParamsGetSort(p))});
    return true;
  });
}

bool Lookup::DeleteStored(const std::string& name) {
  return Call([&] {
    Ref<RepStoredControl> stored;
    return RepReConstructProducedReport(&stored, name.c_str(), 0) == kRepOk &&
           RepDeleteProducedReport(name.c_str()) == kRepOk;
  });
}

}  // namespace krweb

namespace krweb {
namespace {

std::string StanzaText(const Stanza* s, const char* key, int index = 0) {
  std::string v;
  StnzGetString(&v, s, key, index);
  return v;
}

// The job's last run as `krreport job run` records it: its time and outcome.
std::string LastRun(const std::string& directory) {
  StanzaList list;
  if (StnzLoadStanzaListFromFile(&list, (directory + "/lastrun").c_str()) != 1) return "never";
  const Stanza* s = StnzListFind(list, "lastrun");
  if (s == nullptr) return "?";
  return StanzaText(s, "time") + " " + StanzaText(s, "outcome");
}

}  // namespace

std::vector<JobEntry> Lookup::Jobs() {
  return Call([] {
    std::vector<JobEntry> out;
    std::string dir;
    std::vector<DirEntry> entries;
    if (!PathHomeBuild(&dir, "jobs", nullptr) || !DirScan(&entries, dir.c_str())) return out;
    for (const DirEntry& e : entries) {
      if (!e.is_dir || !PathIsSafeName(e.name.c_str()) ||
          access((dir + "/" + e.name + "/settings").c_str(), F_OK) != 0) {
        continue;
      }
      const std::string path = dir + "/" + e.name;
      JobEntry job;
      job.name = e.name;
      StanzaList list;
      const Stanza* s = StnzLoadStanzaListFromFile(&list, (path + "/settings").c_str()) == 1
                            ? StnzListFind(list, "job") : nullptr;
      if (s == nullptr) {
        job.readable = false;
      } else {
        job.template_name = StanzaText(s, "template");
        job.calendar = StanzaText(s, "oncalendar");
        for (int i = 0; i < StnzGetValueCount(s, "mailto"); ++i) {
          job.mail_to.push_back(StanzaText(s, "mailto", i));
        }
      }
      job.last_run = LastRun(path);
      out.push_back(std::move(job));
    }
    std::sort(out.begin(), out.end(),
              [](const JobEntry& a, const JobEntry& b) { return a.name < b.name; });
    return out;
  });
}

}  // namespace krweb
