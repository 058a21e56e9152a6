// krreport produced [show|reprocess|delete NAME]: the store of produced reports.
#include "reports/produced.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "commands.h"
#include "kr/list.h"
#include "krreport.h"
#include "reports/classes.h"
#include "reports/registry.h"
#include "reports/reprocess.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

bool ReadStored(Ref<RepStoredControl>* stored, const std::string& name, int with_records) {
  if (RepReConstructProducedReport(stored, name.c_str(), with_records) != kRepOk ||
      (*stored)->control() == nullptr) {
    Error("no stored report '" + name + "' (krreport produced lists them)");
    return false;
  }
  return true;
}

}  // namespace

bool ForEachStoredReport(
    const List* classes,
    const std::function<void(const std::string&, const RepProducedReportName&)>& visit) {
  std::string directory;
  if (!RepPathBuild(&directory, "produced", nullptr)) return false;
  // The day directories hold a control file for every stored report; the records file goes with
  // it, so the control files are the list. The iterators advance with an error code: one that
  // throws would end the program on a directory removed while it is listed.
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator day(directory, ec), end; !ec && day != end; day.increment(ec)) {
    std::error_code inner;
    for (fs::directory_iterator file(day->path() / "control", inner); !inner && file != end;
         file.increment(inner)) {
      const std::string name = file->path().filename();
      Ref<RepProducedReportName> decoded;
      if (RepDecodeProducedFileNameWithClassList(&decoded, name.c_str(), classes) == kRepOk) {
        visit(name, *decoded);
      }
    }
  }
  return true;
}

namespace {

// Every stored report: name, time of production, output type, class.
int ListProduced(std::FILE* out) {
  Ref<List> classes;
  if (RepGetAvailClasses(&classes) != kRepClassOk) classes = ListNewFromPool();
  struct Entry {
    int32_t time;
    std::string name, class_name;
    int32_t type;
  };
  std::vector<Entry> entries;
  const bool configured = ForEachStoredReport(
      classes.get(), [&](const std::string& name, const RepProducedReportName& decoded) {
        const char* nice = decoded.class_nice_name();
        entries.push_back(
            {decoded.time_of_production(), name,
             nice != nullptr && *nice != '\0' ? nice : StrOrEmpty(decoded.class_name()),
             decoded.output_type()});
      });
  if (!configured) {
    Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
    return kExitFailed;
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.time != b.time ? a.time < b.time : a.name < b.name;
  });
  for (const Entry& e : entries) {
    std::fprintf(out, "%-48s %s  %-4s  %s\n", e.name.c_str(), TimeText(e.time).c_str(),
                 OutputTypeText(e.type), e.class_name.c_str());
  }
  return kExitOk;
}

// One stored report's parameters and record counts.
int ShowProduced(std::FILE* out, const std::string& name) {
  Ref<RepStoredControl> stored;
  if (!ReadStored(&stored, name, 1)) return kExitFailed;
  const RepControl* control = stored->control();
  const RepParams* params = control->params();
  auto line = [out](const char* key, const std::string& value) {
    std::fprintf(out, "%-18s %s\n", key, value.c_str());
  };
  line("name:", name);
  line("produced:", TimeText(control->time_of_production()));
  if (params != nullptr) {
    line("class:", StrOrEmpty(RepParamsGetClass(params)));
    line("output type:", OutputTypeText(RepParamsGetOutputType(params)));
    line("format:", StrOrEmpty(RepParamsGetFormat(params)));
    line("include:", StrOrEmpty(RepParamsGetInclude(params)));
    line("exclude:", StrOrEmpty(RepParamsGetExclude(params)));
    line("condition:", StrOrEmpty(RepParamsGetCondition(params)));
    line("sort:", StrOrEmpty(RepParamsGetSort(params)));
    line("header:", StrOrEmpty(RepParamsGetHeaderName(params)));
    line("footer:", StrOrEmpty(RepParamsGetFooterName(params)));
  }
  const RepTable* table = control->table();
  line("records:",
       std::to_string(table != nullptr && table->records() != nullptr ? table->records()->size()
                                                                      : 0));
  line("filtered out:",
       std::to_string(control->filtered_out() != nullptr ? control->filtered_out()->size() : 0));
  return kExitOk;
}

// A stored report filtered and sorted anew with the options' filters, sort and type, and
// written as run writes, without fetching again.
int ReprocessProduced(const std::string& name, const RunOptions& o) {
  Ref<RepStoredControl> stored;
  if (!ReadStored(&stored, name, 1)) return kExitFailed;
  RepControl* control = stored->control();
  RepParams* params = control->params();
  if (params == nullptr || control->table() == nullptr) {
    Error("stored report '" + name + "' holds no records");
    return kExitFailed;
  }
  const RepFieldList* fields = control->table()->fields();
  RepSetTimeNow(control->time_of_production());  // new filters' relative dates read against it
  if ((o.sort && !CheckSort(*o.sort, fields)) ||
      (o.include && !CheckFilter("include", *o.include, fields)) ||
      (o.exclude && !CheckFilter("exclude", *o.exclude, fields)) ||
      (o.condition && !CheckFilter("condition", *o.condition, fields))) {
    return kExitUsage;
  }
  if (o.include) RepParamsSetInclude(params, o.include->c_str());
  if (o.exclude) RepParamsSetExclude(params, o.exclude->c_str());
  if (o.condition) RepParamsSetCondition(params, o.condition->c_str());
  if (o.sort) RepParamsSetSort(params, o.sort->c_str());
  if (!o.type.empty() && !SetOutputType(params, OutputTypeId(o.type))) return kExitFailed;
  if (const int rc = PrepareGrouping(params, o.group, false); rc != kExitOk) return rc;
  // The condition filter applies when the report was produced with it, or when a new one is given.
  const int use_condition = stored->flag() || o.condition ? 1 : 0;
  Progress filtering;  // re-processing filters and sorts in one call: its stage is shown once
  filtering.Configure(o);
  filtering.Begin(kRepStageFilter, static_cast<int64_t>(RepGiveNumRecords(control)));
  if (RepReProcessProducedReport(control, name.c_str(), use_condition) != kRepOk) {
    Error("cannot re-process '" + name + "' (a new filter or sort spec does not build)");
    return kExitFailed;
  }
  Ref<RepProducedReportName> decoded;
  std::string nice_name = StrOrEmpty(RepParamsGetClass(params));
  if (RepDecodeProducedFileNameWithClassList(&decoded, name.c_str(), nullptr) == kRepOk &&
      decoded->base_name() != nullptr && *decoded->base_name() != '\0') {
    nice_name = decoded->base_name();
  }
  Progress progress;
  progress.Configure(o);
  // Grouped anew, from the stored records.
  Ref<RepControl> written = Ref<RepControl>::Share(control);
  if (const int rc = ApplyGrouping(&written, o.group, o.type); rc != kExitOk) return rc;
  return WriteReport(written.get(), nice_name, o, &progress);
}

int DeleteProduced(const std::string& name) {
  Ref<RepStoredControl> stored;
  if (!ReadStored(&stored, name, 0)) return kExitFailed;
  if (RepDeleteProducedReport(name.c_str()) != kRepOk) {
    Error("cannot delete stored report '" + name + "'");
    return kExitFailed;
  }
  return kExitOk;
}

void AddReprocessCommand(CLI::App* produced, CommandAction* action, std::string* name) {
  static RunOptions o;
  auto* reprocess = produced->add_subcommand(
      "reprocess", "Filter and sort a stored report anew and write it, without fetching again");
  reprocess->add_option("name", *name, "The stored report's name")->required();
  AddOptional(reprocess, "-i,--include", &o.include, "New include filter");
  AddOptional(reprocess, "-e,--exclude", &o.exclude, "New exclude filter");
  AddOptional(reprocess, "--condition", &o.condition, "New condition filter");
  AddOptional(reprocess, "-s,--sort", &o.sort, "New sort spec");
  reprocess->add_option("--type", o.type, "New output type")->check(CLI::IsMember(kTypeChoices));
  reprocess->add_option("-o,--output", o.output,
                        "Output directory name under the reports directory's output, or - for "
                        "standard output (default: a new uniquely named directory)");
  reprocess->add_flag("-q,--quiet", o.quiet, "No progress line");
  reprocess->add_option("--progress", o.progress,
                        "json: progress as one JSON object per line on standard error")
      ->check(CLI::IsMember({"json"}));
  reprocess->add_flag("--replace", o.replace,
                      "With -o NAME: replace an existing output directory NAME whole");
  AddGroupOptions(reprocess, &o.group);
  reprocess->callback([action, name] {
    *action = [name] {
      if (!o.output.empty() && o.output != "-" && o.output.find('/') != std::string::npos) {
        Error("--output takes a directory name, not a path");
        return kExitUsage;
      }
      return ReprocessProduced(*name, o);
    };
  });
}

}  // namespace

void AddProducedCommands(CLI::App& app, CommandAction* action) {
  static std::string name;
  auto* produced = app.add_subcommand("produced", "List the stored reports, or work on one");
  produced->require_subcommand(0, 1);
  // The bare command lists; a named subcommand has set its own action.
  produced->callback([action, produced] {
    if (produced->get_subcommands().empty()) *action = [] { return ListProduced(stdout); };
  });

  auto* show = produced->add_subcommand("show", "Print a stored report's parameters and counts");
  show->add_option("name", name, "The stored report's name")->required();
  show->callback([action] { *action = [] { return ShowProduced(stdout, name); }; });

  AddReprocessCommand(produced, action, &name);

  auto* del = produced->add_subcommand("delete", "Delete a stored report");
  del->add_option("name", name, "The stored report's name")->required();
  del->callback([action] { *action = [] { return DeleteProduced(name); }; });
}

}  // namespace krreport
