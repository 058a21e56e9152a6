// krreport job new --template NAME... [--print]: a new report job record and its components.
#include "commands.h"
#include "kr/list.h"
#include "kr/serialize.h"
#include "kr/stanza.h"
#include "krreport.h"
#include "reports/reportjobs.h"

namespace krreport {
namespace {

struct JobOptions {
  std::vector<std::string> templates;
  std::string title;
  int report_kind = 1;
  std::string directory = ".";  // where the files "job" and "components" go
  bool print = false;
};

void PrintSlot(std::FILE* out, const Obj* obj, int slot, int depth);

// One object per line, its slots indented below it; lists and object slots nest.
void PrintObject(std::FILE* out, const Obj* obj, int depth) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  if (obj == nullptr) {
    std::fprintf(out, "(null)\n");
    return;
  }
  if (const List* list = ObjCast<List>(const_cast<Obj*>(obj))) {
    std::fprintf(out, "list of %zu\n", list->size());
    size_t i = 0;
    for (Obj* item : *list) {
      std::fprintf(out, "%s  [%zu] ", indent.c_str(), i++);
      PrintObject(out, item, depth + 1);
    }
    if (const Obj* extension = ListGetExtensionItem(list)) {
      std::fprintf(out, "%s  extension: ", indent.c_str());
      PrintObject(out, extension, depth + 1);
    }
    return;
  }
  std::fprintf(out, "%s\n", StrOrEmpty(ObjNameFromObject(obj)));
  const int slots = ObjSlotCount(obj);
  for (int slot = 1; slot <= slots; ++slot) {
    std::fprintf(out, "%s  %d: ", indent.c_str(), slot);
    PrintSlot(out, obj, slot, depth);
  }
}

void PrintSlot(std::FILE* out, const Obj* obj, int slot, int depth) {
  switch (ObjSlotKind(obj, slot)) {
    case SlotKind::kInt:
      std::fprintf(out, "%d\n", ObjGetSlotInteger(obj, slot));
      break;
    case SlotKind::kInt64:
      std::fprintf(out, "%lld\n", static_cast<long long>(ObjGetSlotInt64(obj, slot)));
      break;
    case SlotKind::kBool:
      std::fprintf(out, "%s\n", ObjGetSlotBoolean(obj, slot) ? "true" : "false");
      break;
    case SlotKind::kString: {
      const char* s = ObjGetSlotString(obj, slot);
      if (s == nullptr) {
        std::fprintf(out, "(null)\n");
      } else {
        std::fprintf(out, "\"%s\"\n", s);
      }
      break;
    }
    case SlotKind::kObject:
    case SlotKind::kLocalObject:
      PrintObject(out, ObjGetSlotObject(obj, slot), depth + 1);
      break;
    case SlotKind::kStanza:
      std::fprintf(out, "%s\n", ObjGetSlotStanza(obj, slot) != nullptr ? "stanza" : "(none)");
      break;
    default:
      std::fprintf(out, "-\n");
      break;
  }
}

// Writes a new report job record and its component list (one component per template) as two
// files; with `print` also prints both, slot by slot. Exit status.
int NewJob(const JobOptions& o) {
  Ref<List> names = ListNewFromPool();
  for (const std::string& t : o.templates) {
    Ref<Obj> s = ObjNewString(t.c_str());
    ListAddLastItem(names.get(), s.get());
  }
  Ref<Obj> job;
  RepMakeNewJobRecord(&job, o.title.empty() ? nullptr : o.title.c_str(), o.report_kind);
  Ref<List> components;
  if (!job || RepComponentListFromStrings(&components, names.get()) != kRepOk) {
    Error("cannot make the job's component list");
    return kExitFailed;
  }
  const std::string job_file = o.directory + "/job";
  const std::string components_file = o.directory + "/components";
  if (ObjSerializeToFile(job.get(), job_file.c_str()) != 1 ||
      ObjSerializeToFile(components.get(), components_file.c_str()) != 1) {
    Error("cannot write the job into '" + o.directory + "'");
    return kExitFailed;
  }
  if (o.print) {
    std::printf("job record (%s):\n", job_file.c_str());
    PrintObject(stdout, job.get(), 0);
    std::printf("components (%s):\n", components_file.c_str());
    PrintObject(stdout, components.get(), 0);
  } else {
    std::printf("%s\n%s\n", job_file.c_str(), components_file.c_str());
  }
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

void AddJobCommands(CLI::App& app, CommandAction* action) {
  static JobOptions o;
  auto* job = app.add_subcommand("job", "Report jobs");
  job->require_subcommand(1);
  auto* job_new = job->add_subcommand("new", "Write a new report job record and its components");
  job_new->add_option("-t,--template", o.templates, "A template of the job (repeatable)")
      ->required();
  job_new->add_option("--title", o.title, "The job's title");
  job_new->add_option("--kind", o.report_kind, "The report kind (default 1)");
  job_new->add_option("-o,--output", o.directory,
                      "Directory for the files \"job\" and \"components\" (default: .)");
  job_new->add_flag("--print", o.print, "Also print the record and the components readably");
  job_new->callback([action] { *action = [] { return NewJob(o); }; });
}

}  // namespace krreport
