// krreport classes, krreport fields CLASS: what can be reported on.
#include "commands.h"
#include "krreport.h"
#include "kr/list.h"
#include "reports/classes.h"
#include "reports/fields.h"
#include "reports/format.h"

namespace krreport {
namespace {

// Prints every class: nice name and file name. Exit status.
int ListClasses(std::FILE* out) {
  Ref<List> classes;
  TraceFailureCapture left_out;  // the library traces each class file it leaves out, and why
  if (RepGetAvailClasses(&classes) != kRepClassOk) {
    Error("cannot read the classes directory of the reports directory");
    return kExitFailed;
  }
  for (Obj* item : *classes) {
    auto* c = ObjCast<RepClass>(item);
    if (c == nullptr) continue;
    std::fprintf(out, "%-32s %s\n", c->nice_name(), c->file_name());
  }
  const std::vector<std::string> reasons = left_out.Take();
  if (!reasons.empty()) {
    std::fflush(out);
    std::fprintf(stderr, "krreport: class files left out (fix or remove them):\n");
    for (const std::string& reason : reasons) std::fprintf(stderr, "  %s\n", reason.c_str());
  }
  return kExitOk;
}

// Prints the fields a class offers: name, type and description. Exit status.
int ListFields(std::FILE* out, const std::string& class_name) {
  Ref<RepTable> table;
  if (RepGetClassFields(&table, class_name.c_str()) != kRepClassOk || table->fields() == nullptr) {
    Error("cannot get the fields of class '" + class_name +
          "' (is it a class, and are its table providers running?)");
    return kExitFailed;
  }
  for (Obj* item : *table->fields()) {
    auto* f = ObjCast<RepFieldDef>(item);
    if (f == nullptr) continue;
    std::fprintf(out, "%-20s %-14s %s\n", f->name(), RepGetFieldTypeString(f->type()),
                 StrOrEmpty(f->description()));
  }
  return kExitOk;
}

}  // namespace

void AddClassesCommands(CLI::App& app, CommandAction* action) {
  auto* classes = app.add_subcommand("classes", "List the classes (nice name, file name)");
  classes->callback([action] { *action = [] { return ListClasses(stdout); }; });

  static std::string class_name;
  auto* fields =
      app.add_subcommand("fields", "List the fields of a class (name, type, description)");
  fields->add_option("class", class_name, "The class, by its nice name")->required();
  fields->callback([action] { *action = [] { return ListFields(stdout, class_name); }; });
}

}  // namespace krreport
