#include "pages.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace krweb {
namespace {

const char* TypeName(int id) {
  switch (id) {
    case 0:
      return "text";
    case 1:
      return "html";
    case 2:
      return "csv";
    default:
      return "?";
  }
}

std::string TimeText(int64_t t) {
  const time_t when = static_cast<time_t>(t);
  struct tm local = {};
  char text[32] = "?";
  if (localtime_r(&when, &local) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  }
  return text;
}

// A form that changes something: POST with the session's CSRF token.
std::string PostForm(const PageContext& page, const std::string& action,
                     const std::string& inner, const std::string& extra_attrs = "") {
  return "<form method=\"post\" action=\"" + Html(action) + "\"" + extra_attrs +
         "><input type=\"hidden\" name=\"csrf\" value=\"" + Html(page.csrf) + "\">" + inner +
         "</form>";
}

std::string Hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + Html(name) + "\" value=\"" + Html(value) + "\">";
}

std::string TextInput(const std::string& label, const std::string& name, const std::string& value,
                      const std::string& list = "") {
  return "<label>" + Html(label) + " <input type=\"text\" name=\"" + Html(name) + "\" value=\"" +
         Html(value) + "\"" + (list.empty() ? "" : " list=\"" + Html(list) + "\"") +
         " autocomplete=\"off\" spellcheck=\"false\"></label>";
}

std::string Select(const std::string& label, const std::string& name,
                   const std::vector<std::string>& choices, const std::string& chosen) {
  std::string s = "<label>" + Html(label) + " <select name=\"" + Html(name) + "\">";
  for (const std::string& c : choices) {
    s += "<option value=\"" + Html(c) + "\"" + (c == chosen ? " selected" : "") + ">" +
         Html(c.empty() ? "(default)" : c) + "</option>";
  }
  return s + "</select></label>";
}

std::string RunRows(const std::vector<RunState>& runs) {
  std::string s =
      "<div class=\"scroll\"><table><tr><th>Report</th><th>Started</th><th>State</th>"
      "<th>Records</th><th></th></tr>";
  for (const RunState& r : runs) {
    s += "<tr><td>" + Html(r.title) + "</td><td>" + Html(TimeText(r.created)) + "</td><td>" +
         Html(StatusName(r.status)) + "</td><td>" + std::to_string(r.records) +
         "</td><td><a href=\"/runs/" + UrlPart(r.id) + "\">open</a></td></tr>";
  }
  return s + "</table></div>";
}

}  // namespace

std::string Html(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlPart(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string Layout(const PageContext& page, const std::string& title, const std::string& body) {
  std::string nav;
  if (!page.user.empty()) {
    nav = "<nav><a href=\"/\">Summaries</a> <a href=\"/templates\">Templates</a> "
          "<a href=\"/runs\">Runs</a> <a href=\"/stored\">Stored reports</a> "
          "<a href=\"/jobs\">Jobs</a><span class=\"user\">" + Html(page.user) + " " +
          PostForm(page, "/logout", "<button type=\"submit\">Log out</button>",
                   " class=\"inline\"") + "</span></nav>";
  }
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>" + Html(title) + " - reports</title>"
         "<link rel=\"stylesheet\" href=\"/static/app.css\">"
         "<script src=\"/static/app.js\" defer></script></head><body>" + nav +
         "<main><h1>" + Html(title) + "</h1>" + body + "</main></body></html>\n";
}

std::string LoginPage(const std::string& login_token, const std::string& message) {
  std::string body;
  if (!message.empty()) body += "<p class=\"error\" role=\"alert\">" + Html(message) + "</p>";
  body += "<form method=\"post\" action=\"/login\" class=\"login\">" + Hidden("login", login_token) +
          "<label>User <input name=\"user\" autocomplete=\"username\" required></label>"
          "<label>Password <input name=\"password\" type=\"password\" "
          "autocomplete=\"current-password\" required></label>"
          "<button type=\"submit\">Log in</button></form>";
  return Layout(PageContext{}, "Log in", body);
}

std::string MessagePage(const PageContext& page, const std::string& title,
                        const std::string& message) {
  return Layout(page, title,
                "<p class=\"error\" role=\"alert\">" + Html(message) +
                    "</p><p><a href=\"/\">Back to the start page</a></p>");
}

std::string HomePage(const PageContext& page, const std::vector<TemplateEntry>& templates,
                     const std::vector<ClassEntry>& classes, const std::vector<RunState>& runs) {
  std::string s = "<section><h2>Templates</h2><div class=\"scroll\"><table><tr><th>Template</th>"
                  "<th>Class</th><th>Type</th><th></th></tr>";
  for (const TemplateEntry& t : templates) {
    s += "<tr><td>" + Html(t.nice_name) + " <small>(" + Html(t.file_name) + ")</small></td><td>" +
         Html(t.class_name) + "</td><td>" + TypeName(t.output_type) + "</td><td>" +
         PostForm(page, "/run",
                  Hidden("template", t.file_name) +
                      "<label class=\"inline\"><input type=\"checkbox\" name=\"store\" "
                      "value=\"1\"> keep</label> <button type=\"submit\" data-template=\"" +
                      Html(t.file_name) + "\">Run</button>",
                  " class=\"inline\"") +
         "</td></tr>";
  }
  s += "</table></div></section><section><h2>Classes</h2><ul class=\"classes\">";
  for (const ClassEntry& c : classes) {
    s += "<li><a href=\"/form?class=" + UrlPart(c.nice_name) + "\">" + Html(c.nice_name) +
         "</a> <small>(" + Html(c.file_name) + ")</small></li>";
  }
  s += "</ul></section>";
  if (!runs.empty()) s += "<section><h2>Your recent runs</h2>" + RunRows(runs) + "</section>";
  return Layout(page, "Templates and classes", s);
}

std::string SummariesPage(const PageContext& page, const std::vector<SummaryView>& summaries) {
  if (summaries.empty()) {
    return Layout(page, "Summaries",
                  "<p>No summary templates (templates with a %groupby key) in the reports "
                  "directory. <a href=\"/templates\">All templates and classes</a></p>");
  }
  std::string s;
  for (const SummaryView& v : summaries) {
    s += "<section class=\"summary\" id=\"summary-" + Html(v.tmpl.file_name) + "\"><h2>" +
         Html(v.tmpl.nice_name) + "</h2><p class=\"made\">";
    s += v.body.empty() ? std::string("Not produced yet.")
                        : "Made " + Html(TimeText(v.made)) + " · <a href=\"/report/" +
                              UrlPart(v.dir) + "\">open</a>";
    s += " " + PostForm(page, "/summary/run",
                        Hidden("template", v.tmpl.file_name) +
                            "<button type=\"submit\" data-summary=\"" + Html(v.tmpl.file_name) +
                            "\">Run now</button>",
                        " class=\"inline\"") + "</p>";
    if (!v.frame.empty()) {
      // The summary's own markup runs in a frame without scripts, as a report's does.
      s += "<iframe class=\"summary-frame\" sandbox=\"\" src=\"" + v.frame + "\" title=\"" +
           Html(v.tmpl.nice_name) + "\"></iframe>";
    } else if (!v.body.empty()) {
      s += "<pre class=\"summary-text\">" + Html(v.text) + "</pre>";
    }
    s += "</section>";
  }
  return Layout(page, "Summaries", s);
}

std::string JobsPage(const PageContext& page, const std::vector<JobEntry>& jobs) {
  if (jobs.empty()) {
    return Layout(page, "Report jobs",
                  "<p>No report jobs. Schedule one with <code>krreport job schedule NAME "
                  "--template T --on-calendar WHEN</code>.</p>");
  }
  std::string s = "<div class=\"scroll\"><table id=\"jobs\"><tr><th>Job</th><th>Template</th>"
                  "<th>Runs</th><th>Mailed to</th><th>Last run</th><th></th></tr>";
  for (const JobEntry& j : jobs) {
    s += "<tr><td>" + Html(j.name) + "</td>";
    if (!j.readable) {
      s += "<td colspan=\"3\" class=\"error\">Its settings file cannot be read.</td>";
    } else {
      std::string to;
      for (const std::string& a : j.mail_to) to += (to.empty() ? "" : ", ") + a;
      s += "<td>" + Html(j.template_name) + "</td><td><code>" + Html(j.calendar) +
           "</code></td><td class=\"mail\">" + (to.empty() ? std::string("-") : Html(to)) +
           "</td>";
    }
    s += "<td>" + Html(j.last_run) + "</td><td>";
    if (j.readable) {
      s += PostForm(page, "/jobs/run",
                    Hidden("name", j.name) + "<button type=\"submit\" data-job=\"" +
                        Html(j.name) + "\">Run now</button>",
                    " class=\"inline\"");
    }
    s += "</td></tr>";
  }
  return Layout(page, "Report jobs",
                s + "</table></div><p class=\"hint\">Jobs are scheduled, changed and removed "
                    "with <code>krreport job</code>; <code>systemctl list-timers "
                    "'krreport-job@*'</code> shows when each runs next.</p>");
}

std::string FormPage(const PageContext& page, const FormValues& v, const FormData& d) {
  std::string s;
  if (!d.error.empty()) {
    s += "<div class=\"error\" role=\"alert\" id=\"refusal\"><p>" + Html(d.error) + "</p>";
    if (d.position >= 0 && static_cast<size_t>(d.position) <= d.refused.size()) {
      const size_t at = static_cast<size_t>(d.position);
      s += "<p>At character " + std::to_string(at + 1) + ": <code>" +
           Html(d.refused.substr(0, at)) + "<mark>" + Html(d.refused.substr(at)) +
           "</mark></code></p>";
    }
    s += "</div>";
  }
  std::string inner = Hidden("class", v.class_name);
  inner += "<fieldset><legend>Fields</legend><p class=\"hint\">None ticked: every field.</p>"
           "<div class=\"scroll\"><table><tr><th></th><th>Field</th><th>Type</th>"
           "<th>Description</th></tr>";
  for (const FieldEntry& f : d.fields) {
    bool on = false;
    for (const std::string& chosen : v.fields) on = on || chosen == f.name;
    inner += "<tr><td><input type=\"checkbox\" name=\"field\" value=\"" + Html(f.name) + "\"" +
             (on ? " checked" : "") + " aria-label=\"" + Html(f.name) + "\"></td><td>" +
             Html(f.name) + "</td><td>" + Html(f.type) + "</td><td>" + Html(f.description) +
             "</td></tr>";
  }
  inner += "</table></div></fieldset><datalist id=\"fieldnames\">";
  for (const FieldEntry& f : d.fields) inner += "<option value=\"%" + Html(f.name) + "\">";
  inner += "</datalist><fieldset><legend>Filters and sort</legend>" +
           TextInput("Include", "include", v.include, "fieldnames") +
           TextInput("Exclude", "exclude", v.exclude, "fieldnames") +
           TextInput("Condition", "condition", v.condition, "fieldnames") +
           TextInput("Sort", "sort", v.sort, "fieldnames") +
           "<p class=\"hint\">For example <code>%status = Failed</code>, "
           "<code>%size &gt; 1000000</code>; sort <code>%client %size-</code>.</p></fieldset>"
           "<fieldset><legend>Output</legend>" +
           Select("Type", "type", {"html", "text", "csv", "jsonl"}, v.type);
  std::vector<std::string> headers{""}, footers{""};
  headers.insert(headers.end(), d.headers.begin(), d.headers.end());
  footers.insert(footers.end(), d.footers.begin(), d.footers.end());
  inner += Select("Header", "header", headers, v.header) +
           Select("Footer", "footer", footers, v.footer) +
           "<label>Options (KEY=VALUE, one a line) <textarea name=\"options\" rows=\"3\">" +
           Html(v.options) + "</textarea></label>"
           "<label class=\"inline\"><input type=\"checkbox\" name=\"html_wrap\" value=\"1\"" +
           (v.html_wrap ? " checked" : "") + "> wrap text or CSV in a page</label> "
           "<label class=\"inline\"><input type=\"checkbox\" name=\"store\" value=\"1\"" +
           (v.store ? " checked" : "") + "> keep in the stored reports</label></fieldset>"
           "<button type=\"submit\" id=\"run\">Run the report</button>";
  s += PostForm(page, "/run", inner, " class=\"report\"");
  return Layout(page, "Report on " + v.class_name, s);
}

std::string RunJson(const RunState& run) {
  nlohmann::json j = {{"id", run.id},        {"state", StatusName(run.status)},
                      {"stage", run.stage},  {"table", run.table},
                      {"records", run.records}, {"seconds", run.seconds},
                      {"output", run.output}, {"error", run.error}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string RunPage(const PageContext& page, const RunState& run) {
  const bool over = run.status >= RunState::kDone;
  std::string s = "<div id=\"run\" data-id=\"" + Html(run.id) + "\" data-state=\"" +
                  Html(StatusName(run.status)) + "\"><p id=\"state\">" +
                  Html(StatusName(run.status)) + " - " + Html(run.stage) + "</p>"
                  "<progress id=\"bar\" max=\"100\" value=\"" +
                  (run.status == RunState::kDone ? "100" : "0") + "\"></progress>"
                  "<p id=\"records\">" + std::to_string(run.records) + " records</p>"
                  "<p id=\"error\" class=\"error\" role=\"alert\"" +
                  (run.error.empty() ? " hidden" : "") + ">" + Html(run.error) + "</p>";
  s += PostForm(page, "/runs/" + UrlPart(run.id) + "/cancel",
                "<button type=\"submit\" id=\"cancel\"" + std::string(over ? " hidden" : "") +
                    ">Cancel</button>");
  s += "<p id=\"open\"" + std::string(run.status == RunState::kDone ? "" : " hidden") +
       "><a id=\"openlink\" href=\"/report/" + UrlPart(run.output) +
       "\">Open the report</a> · <a href=\"/runs/" + UrlPart(run.id) +
       "/download?type=csv\" id=\"csv\">CSV</a> · <a href=\"/runs/" + UrlPart(run.id) +
       "/download?type=jsonl\" id=\"jsonl\">JSON Lines</a></p></div>";
  return Layout(page, run.title, s);
}

std::string RunsPage(const PageContext& page, const std::vector<RunState>& runs) {
  return Layout(page, "Runs", runs.empty() ? "<p>No runs yet.</p>" : RunRows(runs));
}

std::string ReportPage(const PageContext& page, const std::string& dir, const std::string& body,
                       const std::string& text, bool truncated,
                       const std::vector<std::string>& files, const std::string& frame_base) {
  const std::string base = "/out/" + UrlPart(dir) + "/";
  std::string s = "<p class=\"downloads\"><a href=\"/report/" + UrlPart(dir) +
                  "/zip\" id=\"zip\">The output directory as a zip</a>";
  for (const std::string& f : files) {
    s += " · <a href=\"" + base + UrlPart(f) + "\" download>" + Html(f) + "</a>";
  }
  s += "</p>";
  if (body.size() > 5 && body.compare(body.size() - 5, 5, ".html") == 0) {
    // The report's own markup runs in a frame without scripts, forms or the application's origin.
    s += "<iframe id=\"report\" sandbox=\"\" src=\"" + frame_base + UrlPart(body) +
         "\" title=\"The report\"></iframe>";
  } else {
    s += "<pre id=\"report\">" + Html(text) + "</pre>";
    if (truncated) s += "<p>The report goes on: download it for the rest.</p>";
  }
  return Layout(page, dir, s);
}

std::string StoredPage(const PageContext& page, const std::vector<StoredEntry>& stored) {
  if (stored.empty()) {
    return Layout(page, "Stored reports",
                  "<p>No stored reports. Tick \"keep\" when running a report to store it.</p>");
  }
  std::string s = "<div class=\"scroll\"><table id=\"stored\"><tr><th>Name</th><th>Produced</th>"
                  "<th>Type</th><th>Class</th><th></th></tr>";
  for (const StoredEntry& e : stored) {
    s += "<tr><td><a href=\"/stored/show?name=" + UrlPart(e.name) + "\">" + Html(e.name) +
         "</a></td><td>" + Html(TimeText(e.time)) + "</td><td>" + TypeName(e.output_type) +
         "</td><td>" + Html(e.class_name) + "</td><td><a href=\"/stored/show?name=" +
         UrlPart(e.name) + "\">re-process or delete</a></td></tr>";
  }
  return Layout(page, "Stored reports", s + "</table></div>");
}

std::string StoredDetailPage(const PageContext& page, const std::string& name,
                             const std::vector<std::pair<std::string, std::string>>& details) {
  std::string s = "<dl class=\"details\">";
  for (const auto& [label, value] : details) {
    s += "<dt>" + Html(label) + "</dt><dd><code>" + Html(value) + "</code></dd>";
  }
  s += "</dl><h2>Re-process</h2>";
  s += PostForm(page, "/stored/reprocess",
                Hidden("name", name) + TextInput("Include", "include", "") +
                    TextInput("Exclude", "exclude", "") + TextInput("Condition", "condition", "") +
                    TextInput("Sort", "sort", "") +
                    Select("Type", "type", {"", "html", "text", "csv", "jsonl"}, "") +
                    "<p class=\"hint\">Empty fields keep the stored report's own.</p>"
                    "<button type=\"submit\" id=\"reprocess\">Re-process</button>",
                " class=\"report\"");
  s += "<h2>Download</h2><p><a href=\"/stored/download?type=csv&amp;name=" + UrlPart(name) +
       "\">CSV</a> · <a href=\"/stored/download?type=jsonl&amp;name=" + UrlPart(name) +
       "\">JSON Lines</a></p><h2>Delete</h2>";
  s += PostForm(page, "/stored/delete",
                Hidden("name", name) + "<button type=\"submit\" id=\"delete\" class=\"danger\">"
                                       "Delete this stored report</button>");
  return Layout(page, "Stored report " + name, s);
}

// The run page polls its run and moves the bar: the stages in order, the fetch filling its part
// as records come (the total is not known ahead, so it approaches its end).
const char kAppScript[] = R"JS('use strict';
(function () {
  var run = document.getElementById('run');
  if (!run) return;
  var stages = {queued: 0, started: 2, fetch: 5, filter: 70, sort: 80, write: 90, done: 100};
  function show(s) {
    var bar = document.getElementById('bar');
    var value = stages[s.stage] !== undefined ? stages[s.stage] : 2;
    if (s.stage === 'fetch') value = 5 + Math.round(60 * (1 - 1 / (1 + s.records / 100000)));
    if (s.state === 'done') value = 100;
    bar.value = value;
    run.dataset.state = s.state;
    document.getElementById('state').textContent = s.state + ' - ' + s.stage +
        (s.table ? ' (' + s.table + ')' : '');
    document.getElementById('records').textContent = s.records + ' records, ' +
        s.seconds.toFixed(1) + ' s';
    var error = document.getElementById('error');
    error.textContent = s.error;
    error.hidden = !s.error;
    var over = s.state === 'done' || s.state === 'failed' || s.state === 'cancelled';
    document.getElementById('cancel').hidden = over;
    if (s.state === 'done') {
      document.getElementById('openlink').href = '/report/' + encodeURIComponent(s.output);
      document.getElementById('open').hidden = false;
    }
    return over;
  }
  function poll() {
    fetch('/api/runs/' + encodeURIComponent(run.dataset.id), {credentials: 'same-origin'})
      .then(function (r) { return r.json(); })
      .then(function (s) { if (!show(s)) setTimeout(poll, 250); })
      .catch(function () { setTimeout(poll, 1000); });
  }
  var state = run.dataset.state;
  if (state !== 'done' && state !== 'failed' && state !== 'cancelled') poll();
})();
)JS";

const char kAppStyle[] = R"CSS(
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, sans-serif; color: #222; background: #fafafa; }
nav { display: flex; flex-wrap: wrap; gap: .8em; align-items: center; padding: .6em 1em;
      background: #234; }
nav a { color: #fff; text-decoration: none; }
nav .user { margin-left: auto; color: #cde; }
main { max-width: 1200px; margin: 0 auto; padding: 1em; }
h1 { font-size: 1.4em; word-break: break-all; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { border-bottom: 1px solid #ddd; padding: .3em .5em; text-align: left; vertical-align: top; }
.scroll { overflow-x: auto; }
form.inline, label.inline { display: inline; }
form.report label, form.login label { display: block; margin: .4em 0; }
form.report input[type=text], form.report textarea, form.report select, form.login input {
  width: 100%; max-width: 40em; font: inherit; padding: .3em; display: block; }
fieldset { margin: 0 0 1em; background: #fff; border: 1px solid #ccc; }
button { font: inherit; padding: .3em .9em; }
.danger { color: #a00; }
.error { color: #a00; background: #fee; padding: .5em; border: 1px solid #e99;
         white-space: pre-line; }
.hint { color: #666; font-size: .9em; }
mark { background: #fd7; }
progress { width: 100%; max-width: 40em; height: 1.4em; }
pre#report, pre.summary-text { background: #fff; border: 1px solid #ccc; padding: .6em; overflow: auto;
             max-height: 70vh; font-family: monospace; white-space: pre; }
iframe.summary-frame { width: 100%; height: 28em; border: 1px solid #ccc; background: #fff; }
section.summary { margin-bottom: 1.5em; }
table#jobs td.mail { overflow-wrap: anywhere; }
section.summary h2 { font-size: 1.15em; margin-bottom: .3em; }
iframe#report { width: 100%; height: 70vh; border: 1px solid #ccc; background: #fff; }
dl.details dt { font-weight: bold; }
dl.details dd { margin: 0 0 .5em 1em; word-break: break-all; }
@media (max-width: 600px) { main { padding: .5em; } th, td { padding: .2em; font-size: .9em; } }
)CSS";

}  // namespace krweb
