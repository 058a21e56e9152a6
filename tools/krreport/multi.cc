// krreport multi NAME... [--machine M]: several stored reports written into one output.
#include <strings.h>

#include "commands.h"
#include "krreport.h"
#include "kr/context.h"
#include "kr/list.h"
#include "reports/output.h"
#include "reports/produced.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

struct MultiOptions {
  std::vector<std::string> names;
  std::string machine;
  std::optional<std::string> header, footer;
  bool quiet = false;
};

// Writes the stored reports, in order, into one new output directory, on the machine (empty:
// this one; another machine gets a copy and the local directory goes). Prints the directory
// (machine:name for another machine). Exit status.
int MultiOutput(const MultiOptions& o) {
  // The item type the multi-report writer reads: the stored control and its name.
  constexpr uint32_t kItemType = 0x4b52ff10;
  Ref<List> items = ListNewFromPool();
  for (const std::string& name : o.names) {
    Ref<RepStoredControl> stored;
    if (RepReConstructProducedReport(&stored, name.c_str(), 0) != kRepOk ||
        stored->control() == nullptr) {
      Error("no stored report '" + name + "' (krreport produced lists them)");
      return kExitFailed;
    }
    Ref<Obj> item = ObjNewInternal(0, kItemType, "o;s;", 0, nullptr);
    ObjSetSlotObject(item.get(), 1, Ref<Obj>::Share(stored->control()));
    ObjSetSlotString(item.get(), 2, name.c_str());
    ListAddLastItem(items.get(), item.get());
  }
  if ((o.header && !CheckTextDirectory("headers", *o.header)) ||
      (o.footer && !CheckTextDirectory("footers", *o.footer))) {
    return kExitUsage;
  }
  std::string header_dir, footer_dir;
  if ((o.header && !RepPathBuild(&header_dir, "headers", o.header->c_str(), nullptr)) ||
      (o.footer && !RepPathBuild(&footer_dir, "footers", o.footer->c_str(), nullptr))) {
    Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
    return kExitFailed;
  }
  const std::string target = o.machine.empty() ? StrOrEmpty(SysLocalMachineName()) : o.machine;
  const bool local =
      o.machine.empty() || strcasecmp(target.c_str(), StrOrEmpty(SysLocalMachineName())) == 0;
  MachInfo machine_info;
  if (!local && MachInfoFind(&machine_info, target.c_str()) != 1) {
    Error("machine '" + target +
          "' is unknown here: list it in config/machines of the installation home, or start its "
          "krreportd on this host");
    return kExitFailed;
  }
  std::string leaf;
  if (RepOutputReportsToMachine(&leaf, items.get(), target.c_str(),
                                o.header ? header_dir.c_str() : nullptr,
                                o.footer ? footer_dir.c_str() : nullptr, 0, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr) != kRepOk) {
    Error(local ? "cannot write the reports into one output directory"
                : "cannot write the reports or copy them to machine '" + target + "'");
    return kExitFailed;
  }
  if (local) {
    std::string directory;
    RepPathBuild(&directory, "output", leaf.c_str(), nullptr);
    std::printf("%s\n", directory.c_str());
  } else {
    std::printf("%s:%s\n", target.c_str(), leaf.c_str());
  }
  if (!o.quiet && RepReportsToOutputNeedHTML(items.get()) == 1) {
    std::fprintf(stderr, "krreport: written as an HTML page\n");
  }
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

void AddMultiCommand(CLI::App& app, CommandAction* action) {
  static MultiOptions o;
  auto* multi = app.add_subcommand("multi", "Write several stored reports into one output");
  multi->add_option("names", o.names, "The stored reports' names, in output order")->required();
  multi->add_option("-m,--machine", o.machine,
                    "Copy the output to this machine's reports output");
  AddOptional(multi, "--header", &o.header, "Header directory name (headers/NAME)");
  AddOptional(multi, "--footer", &o.footer, "Footer directory name (footers/NAME)");
  multi->add_flag("-q,--quiet", o.quiet, "No notes on standard error");
  multi->callback([action] { *action = [] { return MultiOutput(o); }; });
}

}  // namespace krreport
