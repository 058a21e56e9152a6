// Several stored reports in one output directory, and output directories copied to another
// machine through the reports agent there.

#include "reports/outputcopy.h"

#include <cinttypes>
#include <string>
#include <vector>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/filexfer.h"
#include "kr/message.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/agents.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/reports.h"
#include "reports/reprocess.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kXferTag = "RPTOUTPUT";
constexpr const char* kMultiTag = "REPOUTWRAP";

bool IsLocalMachine(const char* machine) {
  return machine == nullptr || *machine == '\0' ||
         StrCompareNoCase(machine, SysLocalMachineName()) == 0;
}

Ref<List> StringList(const std::vector<std::string>& components) {
  Ref<List> list = ListNewWithCapacity(components.size());
  for (const std::string& c : components)
    ListPushLastItemInternal(list.get(), ObjNewString(c.c_str()));
  return list;
}

std::string Joined(const std::vector<std::string>& components) {
  std::string s;
  for (const std::string& c : components) {
    if (!s.empty()) s += '/';
    s += c;
  }
  return s;
}

// Asks the agent to make the directory of `components`. -1 when no answer came, else the
// answer's first slot.
int MakeDirOnAgent(const Obj* agent, const std::vector<std::string>& components) {
  Ref<RepMakeDirRequest> request = RepMakeDirRequest::New();
  request->SetObjSlot<1>(StringList(components));
  Ref<Obj> reply, answer;
  if (!MsgWaitInterchangeInternal(&reply, agent, kRepMakeDirMsg, request.get(), kRepMakeDirReplyMsg,
                                  nullptr))
    return -1;
  if (!MsgGetObjectInternal(&answer, reply.get(), RepMakeDirReply::kTypeCode)) return 0;
  return ObjGetSlotInteger(answer.get(), 1);
}

int XferEntry(const char* relative_dir, const DirEntry& entry, void* cookie) {
  const RepXferCtx* ctx = static_cast<const RepXferCtx*>(cookie);
  const char* directory = ctx->StrSlot<2>();
  const char* machine = ctx->StrSlot<3>();
  const Obj* agent = ctx->ObjSlot<5>();
  const bool top = relative_dir == nullptr || *relative_dir == '\0';
  if (entry.is_dir)
    TraceMessage(kXferTag, 10, 0, 3, "XFer callback called dir : %s", entry.name.c_str());
  else
    TraceMessage(kXferTag, 11, 0, 3, "XFer callback called file: %s", entry.name.c_str());

  std::string local;
  if (!PathBuild(&local, directory, top ? "" : relative_dir, entry.name.c_str(), nullptr)) return 0;
  std::vector<std::string> components{ctx->StrSlot<4>()};
  if (!top) {
    std::vector<std::string> rel;
    if (!PathToComponentList(&rel, relative_dir)) {
      TraceMessage(kXferTag, 12, 0, -1, "Failed to convert path to component list");
      TraceMessage(kXferTag, 13, 0, -1, "Cannot generate path");
      return 0;
    }
    components.insert(components.end(), rel.begin(), rel.end());
  }
  components.push_back(entry.name);
  const std::string target = Joined(components);

  if (entry.is_dir) {
    TraceMessage(kXferTag, 14, 0, 3, "Send target path to make dir of '%s'", target.c_str());
    int made = MakeDirOnAgent(agent, components);
    if (made == 1) {
      TraceMessage(kXferTag, 15, 0, 2, "Made dir '%s' on machine '%s'", target.c_str(), machine);
      return 1;
    }
    if (made < 0)
      TraceMessage(kXferTag, 16, 0, -1, "Failed to do make dir msg interchange.");
    else
      TraceMessage(kXferTag, 17, 0, -1, "Failed to make dir '%s' on machine '%s'", target.c_str(),
                   machine);
    return 0;
  }
  if (!entry.is_file) return 1;  // a link or special file is not part of a report's output

  Ref<RepFileXferRequest> request = RepFileXferRequest::New();
  request->SetObjSlot<1>(StringList(components));
  request->SetStrSlot<2>(local.c_str());
  PlgFileXferAllowPeer(agent);
  PlgFileXferAllow(local.c_str());
  Ref<Obj> reply;
  int answered = MsgWaitInterchangeInternal(&reply, agent, kRepFileXferMsg, request.get(),
                                            kRepFileXferReplyMsg, nullptr);
  PlgFileXferDisallowPeer(agent);
  if (!answered) {
    TraceMessage(kXferTag, 18, 0, -1, "Failed to transfer file to target machine");
    return 0;
  }
  TraceMessage(kXferTag, 19, 0, 2, "Transferred file '%s' to machine '%s'", local.c_str(), machine);
  return 1;
}

// The copy once the agent runs; the caller halts the agent.
int XferWithAgent(RepXferCtx* ctx, const char* directory, const char* machine,
                  const char* top_name) {
  std::string top;
  if (top_name != nullptr && *top_name != '\0') {
    top = top_name;
  } else if (!PathLeaf(&top, directory)) {
    TraceMessage(kXferTag, 4, 0, -1, "Failed to path-leaf off top level reports output dir");
    return 0;
  }
  ctx->SetStrSlot<4>(top.c_str());
  int made = MakeDirOnAgent(ctx->ObjSlot<5>(), {top});
  if (made < 0) {
    TraceMessage(kXferTag, 5, 0, -1,
                 "Failed to do make dir msg interchange for to level output dir");
    return 0;
  }
  if (made != 1) {
    TraceMessage(kXferTag, 6, 0, -1, "Failed to make top level output dir '%s' on machine '%s'",
                 top.c_str(), machine);
    return 0;
  }
  if (!DirScanDirectRecursive(directory, &XferEntry, ctx)) return 0;
  TraceMessage(kXferTag, 7, 0, 2, "Transferred whole output directory structure OK");
  return 1;
}

}  // namespace

int RepXferOutputToMachine(const char* directory, const char* machine,
                           const char* top_name) noexcept {
  if (directory == nullptr || machine == nullptr) return 0;
  if (IsLocalMachine(machine)) {
    TraceMessage(kXferTag, 1, 0, 2,
                 "Not transfering output dir '%s' as target machine '%s' is the local machine",
                 directory, machine);
    return 0;
  }
  Ref<RepXferCtx> ctx = RepXferCtx::New();
  std::string leaf;
  if (PathLeaf(&leaf, directory)) ctx->SetStrSlot<1>(leaf.c_str());
  ctx->SetStrSlot<2>(directory);
  ctx->SetStrSlot<3>(machine);
  TraceMessage(kXferTag, 2, 0, 2,
               "Doing cross machine transfer of reports output dir '%s' to machine '%s'", directory,
               machine);
  Ref<Obj> agent;
  if (!RepStartPluginOnMachine(&agent, machine, kRepXferAgentKind, nullptr)) return 0;
  ctx->SetObjSlot<5>(agent);
  int result = XferWithAgent(ctx.get(), directory, machine, top_name);
  RepHaltAgent(agent.get());
  return result;
}

int RepReportsToOutputNeedHTML(const List* items) noexcept {
  if (items == nullptr) return 0;
  for (Obj* item : *items) {
    const RepControl* control = ObjCast<RepControl>(ObjGetSlotObject(item, 1));
    if (control == nullptr || control->params() == nullptr) continue;
    int32_t type = RepParamsGetOutputType(control->params());
    for (const RepOutputTypeRow* row = RepGetOutputTypeTable(); row->id >= 0; ++row)
      if (row->id == type && row->html != 0) return 1;
  }
  return 0;
}

namespace {

// Writes the content file of a header or footer directory and copies its images.
bool WriteHeadFoot(const char* head_foot, const std::string& directory, int html, bool header,
                   RepValueCallback callback, const RepFieldList* fields, void* argument) {
  std::string path, text;
  if (!PathBuild(&path, head_foot, "content", nullptr) || !LoadTextFile(&text, path.c_str())) {
    TraceMessage(kMultiTag, header ? 101 : 104, 0, -1,
                 header ? "Failed to read header file '%s'" : "Failed to read footer file '%s'",
                 path.c_str());
    return false;
  }
  if (!RepTextToOutputFile(directory.c_str(), text.c_str(), html, 1, nullptr, callback, fields,
                           argument)) {
    TraceMessage(kMultiTag, header ? 102 : 105, 0, -1,
                 header ? "Failed to output report header" : "Failed to output report footer");
    return false;
  }
  if (!RepXferHeadFootImages(head_foot, directory.c_str())) {
    TraceMessage(kMultiTag, header ? 103 : 106, 0, -1,
                 header ? "Failed to copy header images" : "Failed to copy footer images");
    return false;
  }
  return true;
}

bool WriteItem(Obj* item, const std::string& directory, int html, int use_condition,
               RepValueCallback callback, const RepFieldList* fields, void* argument) {
  RepControl* control = ObjCast<RepControl>(ObjGetSlotObject(item, 1));
  if (control == nullptr) {
    TraceMessage(kMultiTag, 111, 0, -1, "Report control object of incorrect type");
    return false;
  }
  const char* name = ObjGetSlotString(item, 2);
  const char* shown = StrOrEmpty(name);
  Ref<RepStoredRecords> stored;
  if (name == nullptr || !RepReConstructProducedRecords(&stored, name)) {
    TraceMessage(kMultiTag, 112, 0, -1,
                 "Could not re-construct produced report records from file '%s'", shown);
    return false;
  }
  Ref<List> records = Ref<List>::Share(stored->records());
  if (control->table() != nullptr)
    control->table()->set_records(std::move(records));
  else
    control->set_table(RepNewTable(nullptr, nullptr, std::move(records)));
  control->set_filtered_out(Ref<List>::Share(stored->filtered_out()));
  if (!RepReProcessProducedReport(control, name, use_condition)) {
    TraceMessage(kMultiTag, 113, 0, -1,
                 "Cannout output report - failed to re-process it. Bad filter/sort?");
    return false;
  }
  Ref<List> options;
  RepParamsGetOutputOptions(&options, control->params());
  std::string error;
  if (!RepOutputReport(&error, directory.c_str(), control,
                       RepParamsGetOutputType(control->params()), html, options.get(), callback,
                       fields, argument, nullptr, nullptr)) {
    TraceMessage(kMultiTag, 115, 0, -1, "Failed to output report from file '%s'", shown);
    return false;
  }
  TraceMessage(kMultiTag, 114, 0, 2, "Succesfully produced report '%s'", shown);
  return true;
}

}  // namespace

int RepOutputReportsToMachine(std::string* leaf_name, const List* items, const char* machine,
                              const char* header_directory, const char* footer_directory,
                              int use_condition, RepValueCallback value_callback,
                              const RepFieldList* extra_fields, void* callback_argument,
                              RepValueCallback item_value_callback,
                              const RepFieldList* item_extra_fields,
                              const List* item_callback_arguments) noexcept {
  if (leaf_name == nullptr) return 0;
  std::string reports_dir;
  if (!RepGetReportsDir(&reports_dir)) {
    TraceMessage(kMultiTag, 100, 0, -1, "Cannot get reports dir");
    return 0;
  }
  const size_t count = ListGetItemCount(items);
  // The cookie count is a property of the arguments alone: checked before anything is written.
  if (item_value_callback != nullptr && ListGetItemCount(item_callback_arguments) != count) {
    TraceMessage(
        kMultiTag, 110, 0, -1, "Wrong number of header/footer cookies. Given %ld, want %ld",
        static_cast<long>(ListGetItemCount(item_callback_arguments)), static_cast<long>(count));
    TraceMessage(kMultiTag, 116, 0, -1,
                 "Failed to output produced reports as body of report output");
    return 0;
  }
  const int html = RepReportsToOutputNeedHTML(items);
  std::string directory, file_name;
  if (!RepInitOutputDir(&directory, &file_name, html, "multireports", 1)) {
    TraceMessage(kMultiTag, 107, 0, -1, "Failed to init output dir");
    return 0;
  }
  if (header_directory != nullptr &&
      !WriteHeadFoot(header_directory, directory, html, true, value_callback, extra_fields,
                     callback_argument))
    return 0;
  for (size_t i = 0; i < count; ++i) {
    void* argument =
        item_value_callback != nullptr ? ListGetNthItem(item_callback_arguments, i + 1) : nullptr;
    if (!WriteItem(ListGetNthItem(items, i + 1), directory, html, use_condition,
                   item_value_callback, item_extra_fields, argument)) {
      TraceMessage(kMultiTag, 116, 0, -1,
                   "Failed to output produced reports as body of report output");
      return 0;
    }
  }
  if (footer_directory != nullptr &&
      !WriteHeadFoot(footer_directory, directory, html, false, value_callback, extra_fields,
                     callback_argument))
    return 0;

  std::string leaf;
  PathLeaf(&leaf, directory.c_str());
  if (IsLocalMachine(machine)) {
    TraceMessage(kMultiTag, 117, 0, 2, "Output report to output directory '%s' on local machine.",
                 directory.c_str());
    *leaf_name = leaf;
    return 1;
  }
  int result = 0;
  if (RepXferOutputToMachine(directory.c_str(), machine, nullptr)) {
    TraceMessage(kMultiTag, 118, 0, 2,
                 "Transferred report output directory '%s' to non-local machine '%s'",
                 directory.c_str(), machine);
    *leaf_name = leaf;
    result = 1;
  } else {
    TraceMessage(kMultiTag, 119, 0, -1,
                 "Failed to transfer report output directory '%s' to non-local machine '%s'",
                 directory.c_str(), machine);
  }
  if (!RepDeleteOutputReport(directory.c_str()))
    TraceMessage(kMultiTag, 120, 0, -1,
                 "Warning - failed to delete report output directory '%s' after transfer "
                 "attempt to machine '%s'",
                 directory.c_str(), machine);
  return result;
}
