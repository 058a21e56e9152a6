// Writing a produced report: into an output directory of the reports directory, or to standard
// output, in one of the library's output types or as JSON Lines.
#include <cerrno>
#include <filesystem>

#include "csv.h"
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
  return RepFieldsInString(fields, RepParamsGetFormat(control->params()), table->fields()) ==
         kRepOk;
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
  if (o.type == "rfc4180") {
    Ref<List> fields;
    std::FILE* f = std::fopen((directory + "/output.csv").c_str(), "wb");
    bool ok = f != nullptr && JsonFields(&fields, control) &&
              WriteRfc4180(f, control->table(), fields.get());
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) *error_text = "failed to write the records";
    return ok;
  }
  if (o.group.with_breaks()) {
    return WriteGroupBreaks(error_text, directory, control, o.group, &OnProgress, progress);
  }
  Ref<List> options;
  RepParamsGetOutputOptions(&options, control->params());
  if (!SummaryWriteOptions(&options, control, o.group)) {
    *error_text = "cannot draw the summary's headline or chart";
    return false;
  }
  return RepOutputReport(error_text, directory.c_str(), control,
                         RepParamsGetOutputType(control->params()), o.html_wrap ? 1 : 0,
                         options.get(), nullptr, nullptr, nullptr, &OnProgress, progress) == kRepOk;
}

// The directory the report is written into, and what happens to it once written. A named
// output directory is never merged into: an existing one is refused, or with --replace the
// report goes into a new directory beside it that then takes its place.
struct Target {
  std::string directory, body;
  std::string named;  // the named directory to swap into place, or empty
};

bool MakeTarget(Target* t, const std::string& nice_name, const RunOptions& o, bool html) {
  const bool named = !o.output.empty() && o.output != "-";
  std::string wanted;
  if (named) {
    if (!RepPathBuild(&wanted, "output", o.output.c_str(), nullptr)) {
      Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
      return false;
    }
    std::error_code ec;
    if (std::filesystem::exists(wanted, ec) && !o.replace) {
      Error("output directory '" + wanted +
            "' exists: give --replace to replace it whole, or another -o name");
      return false;
    }
    if (!o.replace) {
      if (!RepInitOutputDir(&t->directory, &t->body, html ? 1 : 0, o.output.c_str(), 0)) {
        Error("cannot create output directory '" + o.output + "' under the reports directory");
        return false;
      }
      return true;
    }
    t->named = wanted;
  }
  const std::string base = named ? o.output : nice_name;
  if (!RepInitOutputDir(&t->directory, &t->body, html ? 1 : 0, base.c_str(), 1)) {
    Error("cannot create output directory '" + base + "' under the reports directory");
    return false;
  }
  return true;
}

// Puts the finished directory in the named one's place: the old one is renamed aside first, so
// that at every moment the name holds one whole report, then removed.
bool SwapIntoPlace(const Target& t) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string aside = t.directory + ".old";
  const bool had_old = fs::exists(t.named, ec);
  if (had_old) fs::rename(t.named, aside, ec);
  if (!ec) fs::rename(t.directory, t.named, ec);
  if (ec) {
    Error("cannot move the new report into '" + t.named + "': " + ec.message() +
          " (it stays in '" + t.directory + "')");
    if (had_old && !fs::exists(t.named)) fs::rename(aside, t.named, ec);
    return false;
  }
  if (had_old) fs::remove_all(aside, ec);
  return true;
}

}  // namespace

int WriteReport(RepControl* control, const std::string& nice_name, const RunOptions& o,
                Progress* progress, std::string* body_path) {
  const bool jsonl = o.type == "jsonl";
  const bool rfc4180 = o.type == "rfc4180";
  const bool to_stdout = o.output == "-";
  const RepTable* table = control->table();
  const int64_t records = table != nullptr && table->records() != nullptr
                              ? static_cast<int64_t>(table->records()->size())
                              : 0;
  progress->Begin(kRepStageWrite, records);
  if ((jsonl || rfc4180) && to_stdout) {
    Ref<List> fields;
    if (!JsonFields(&fields, control) ||
        (!(rfc4180 ? WriteRfc4180(stdout, control->table(), fields.get())
                   : WriteJsonLines(stdout, control->table(), fields.get())) &&
         !ReaderWentAway())) {
      Error("failed to write the records");
      return kExitFailed;
    }
    progress->Begin(kRepStageDone, records);
    return kExitOk;
  }
  const int type = RepParamsGetOutputType(control->params());
  const bool html = type == kRepOutputHtmlText || o.html_wrap;
  Target target;
  if (!MakeTarget(&target, nice_name, o, html)) return kExitFailed;
  const std::string& directory = target.directory;
  SetPartialOutput(directory);
  std::string body = jsonl ? "output.jsonl" : rfc4180 ? "output.csv" : target.body;
  std::string error_text;
  const bool ok = WriteBody(&error_text, directory, control, o, progress);
  progress->Clear();
  if (CancelRequested() || !ok) {
    RepDeleteOutputReport(directory.c_str());
    SetPartialOutput("");
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
    SetPartialOutput("");
    if (!copied && !went_away) {
      Error("failed to write the report to standard output");
      return kExitFailed;
    }
  } else if (!target.named.empty()) {
    SetPartialOutput("");  // whole now: an interrupt during the swap leaves it where it is
    if (!SwapIntoPlace(target)) return kExitFailed;
    std::printf("%s\n", target.named.c_str());
    if (body_path != nullptr) *body_path = target.named + "/" + body;
  } else {
    SetPartialOutput("");
    std::printf("%s\n", directory.c_str());
    if (body_path != nullptr) *body_path = directory + "/" + body;
  }
  progress->Begin(kRepStageDone, records);
  return kExitOk;
}

}  // namespace krreport
