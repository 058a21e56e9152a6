// Writing a produced report: into an output directory of the reports directory, or to standard
// output, in one of the library's output types or as JSON Lines.
#include <cerrno>

#include "jsonl.h"
#include "krreport.h"
#include "kr/list.h"
#include "reports/format.h"
#include "reports/output.h"
#include "reports/outputwrap.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

// A reader of standard output that stopped reading (a pager quit, `head`) is not a failed
// report.
bool ReaderWentAway() { return errno == EPIPE; }

bool CopyFileTo(const std::string& path, std::FILE* out) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  char buf[65536];
  size_t n;
  bool ok = true;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
    if (std::fwrite(buf, 1, n, out) != n) {
      ok = false;
      break;
    }
  }
  std::fclose(in);
  return ok && std::fflush(out) == 0;
}

// The fields the JSON Lines output keys by: the format's fields, in order.
bool JsonFields(Ref<List>* fields, const RepControl* control) {
  const RepTable* table = control->table();
  if (table == nullptr || table->fields() == nullptr) return false;
  return RepFieldsInString(fields, RepParamsGetFormat(control->params()), table->fields()) == 1;
}

// Writes the body into `directory`: the library's writer for its types, the front end's own
// for JSON Lines. On failure *error_text says why (or stays empty).
bool WriteBody(std::string* error_text, const std::string& directory, RepControl* control,
               const RunOptions& o, Progress* progress) {
  if (o.type == "jsonl") {
    Ref<List> fields;
    std::FILE* f = std::fopen((directory + "/output.jsonl").c_str(), "wb");
    bool ok = f != nullptr && JsonFields(&fields, control) &&
              WriteJsonLines(f, control->table(), fields.get());
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) *error_text = "failed to write the records";
    return ok;
  }
  Ref<List> options;
  RepParamsGetOutputOptions(&options, control->params());
  return RepOutputReport(error_text, directory.c_str(), control,
                         RepParamsGetOutputType(control->params()), o.html_wrap ? 1 : 0,
                         options.get(), nullptr, nullptr, nullptr, &OnProgress, progress) == 1;
}

}  // namespace

int WriteReport(RepControl* control, const std::string& nice_name, const RunOptions& o,
                Progress* progress) {
  const bool jsonl = o.type == "jsonl";
  const bool to_stdout = o.output == "-";
  if (jsonl && to_stdout) {
    Ref<List> fields;
    if (!JsonFields(&fields, control) ||
        (!WriteJsonLines(stdout, control->table(), fields.get()) && !ReaderWentAway())) {
      Error("failed to write the records");
      return kExitFailed;
    }
    return kExitOk;
  }
  const int type = RepParamsGetOutputType(control->params());
  const bool html = type == kRepOutputHtmlText || o.html_wrap;
  const std::string dir_name = (o.output.empty() || to_stdout) ? nice_name : o.output;
  std::string directory, body;
  if (!RepInitOutputDir(&directory, &body, html ? 1 : 0, dir_name.c_str(),
                        (o.output.empty() || to_stdout) ? 1 : 0)) {
    Error("cannot create output directory '" + dir_name + "' under the reports directory");
    return kExitFailed;
  }
  if (jsonl) body = "output.jsonl";
  progress->stage = Progress::kWrite;
  std::string error_text;
  const bool ok = WriteBody(&error_text, directory, control, o, progress);
  progress->Clear();
  if (CancelRequested() || !ok) {
    RepDeleteOutputReport(directory.c_str());
    if (CancelRequested()) {
      Error("cancelled");
      return kExitCancelled;
    }
    Error(error_text.empty() ? "failed to write the report" : error_text);
    return kExitFailed;
  }
  if (to_stdout) {
    const bool copied = CopyFileTo(directory + "/" + body, stdout);
    const bool went_away = !copied && ReaderWentAway();  // before the removal touches errno
    RepDeleteOutputReport(directory.c_str());
    if (!copied && !went_away) {
      Error("failed to write the report to standard output");
      return kExitFailed;
    }
  } else {
    std::printf("%s\n", directory.c_str());
  }
  return kExitOk;
}

}  // namespace krreport
