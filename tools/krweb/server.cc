#include "server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <thread>

#include "auth.h"
#include "files.h"
#include "kr/path.h"
#include "lookup.h"
#include "pages.h"
#include "runner.h"

namespace krweb {
namespace {

using httplib::Request;
using httplib::Response;

constexpr const char kSessionCookie[] = "krweb_session";
constexpr const char kLoginCookie[] = "krweb_login";
// The application's own pages: scripts and styles from its own files only, no framing.
constexpr const char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; frame-src 'self'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'";
constexpr const char kHtml[] = "text/html; charset=utf-8";

std::string CookieValue(const Request& req, const std::string& name) {
  const std::string header = req.get_header_value("Cookie");
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string part = header.substr(pos, end - pos);
    const size_t start = part.find_first_not_of(' ');
    part = start == std::string::npos ? "" : part.substr(start);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 &&
        part[name.size()] == '=') {
      return part.substr(name.size() + 1);
    }
    pos = end + 1;
  }
  return "";
}

std::string Cookie(const std::string& name, const std::string& value, long max_age) {
  return name + "=" + value + "; Path=/; Max-Age=" + std::to_string(max_age) +
         "; Secure; HttpOnly; SameSite=Strict";
}

bool SameToken(const std::string& a, const std::string& b) {
  if (a.empty() || a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void SeeOther(Response& res, const std::string& where) {
  res.status = 303;
  res.set_header("Location", where);
}

std::string Param(const Request& req, const char* name) {
  return req.has_param(name) ? req.get_param_value(name) : "";
}

int TypeId(const std::string& type) {
  if (type == "text") return 0;
  if (type == "csv" || type == "jsonl") return 2;
  return 1;
}

class App {
 public:
  App(const ServerOptions& o, std::map<std::string, std::string> users)
      : options_(o),
        sessions_(std::move(users), std::chrono::minutes(o.session_minutes), o.max_failures,
                  std::chrono::seconds(o.lockout_seconds)),
        lookup_(o.home),
        runner_(o.krreport, o.max_running, o.max_queued) {
    reports_ = lookup_.ReportsDir();
    output_root_ = reports_ + "/output";
  }
  void Install(httplib::Server& server);
  const std::string& reports() const { return reports_; }

 private:
  using PageFn = std::function<void(const Request&, Response&, const PageContext&)>;
  void Page(httplib::Server& s, const std::string& pattern, PageFn fn);
  void Action(httplib::Server& s, const std::string& pattern, PageFn fn);
  void LoginRoutes(httplib::Server& s);
  void RunRoutes(httplib::Server& s);
  void ReportRoutes(httplib::Server& s);
  void StoredRoutes(httplib::Server& s);
  void SubmitRun(const Request& req, Response& res, const PageContext& page);
  void SubmitStored(const Request& req, Response& res, const PageContext& page);
  bool CheckTexts(const std::string& class_name, const FormValues& v, FormData* d);
  // What the form of a class offers: its fields, headers and footers. False, with the "No such
  // class" page shown, when the class is not there.
  bool FormDataOf(const std::string& class_name, Response& res, const PageContext& page,
                  FormData* d) {
    std::string error;
    if (!lookup_.Fields(class_name, &d->fields, &error)) {
      Show(res, MessagePage(page, "No such class", error), 404);
      return false;
    }
    d->headers = lookup_.Directories("headers");
    d->footers = lookup_.Directories("footers");
    return true;
  }
  void Download(Response& res, const PageContext& page, std::vector<std::string> args,
                const std::string& type, const std::string& name);
  void Show(Response& res, const std::string& html, int status = 200) {
    res.status = status;
    res.set_content(html, kHtml);
  }

  std::string FrameKey(const std::string& dir, const std::string& expiry) const;
  std::string FrameBase(const std::string& dir) const;
  void SummaryRoutes(httplib::Server& s);
  std::vector<SummaryView> Summaries();

  const ServerOptions options_;
  const std::string secret_ = RandomToken(32);
  Sessions sessions_;
  Lookup lookup_;
  Runner runner_;
  std::string reports_, output_root_;
  std::atomic<size_t> downloads_{0};
};

void App::Page(httplib::Server& s, const std::string& pattern, PageFn fn) {
  s.Get(pattern, [this, fn](const Request& req, Response& res) {
    auto session = sessions_.Find(CookieValue(req, kSessionCookie));
    if (!session) {
      if (req.path.rfind("/api/", 0) == 0) {
        res.status = 401;
        res.set_content("{\"error\":\"not logged in\"}", "application/json");
      } else {
        SeeOther(res, "/login");
      }
      return;
    }
    fn(req, res, PageContext{session->user, session->csrf});
  });
}

// Every request that changes something carries the session's CSRF token (a form field or the
// X-CSRF-Token header); without it, or with another, it is refused with 403.
void App::Action(httplib::Server& s, const std::string& pattern, PageFn fn) {
  s.Post(pattern, [this, fn](const Request& req, Response& res) {
    auto session = sessions_.Find(CookieValue(req, kSessionCookie));
    if (!session) {
      res.status = 401;
      res.set_content("Not logged in.\n", "text/plain; charset=utf-8");
      return;
    }
    std::string token = Param(req, "csrf");
    if (token.empty()) token = req.get_header_value("X-CSRF-Token");
    if (!SameToken(token, session->csrf)) {
      res.status = 403;
      res.set_content("Refused: the form's security token is missing or wrong. Load the page "
                      "again.\n", "text/plain; charset=utf-8");
      return;
    }
    fn(req, res, PageContext{session->user, session->csrf});
  });
}

void App::LoginRoutes(httplib::Server& s) {
  s.Get("/login", [this](const Request&, Response& res) {
    const std::string token = RandomToken();
    res.set_header("Set-Cookie", Cookie(kLoginCookie, token, 600));
    Show(res, LoginPage(token, ""));
  });
  // The login form carries a token that must match a cookie of the same browser, so another
  // site cannot log a browser in under its own account.
  s.Post("/login", [this](const Request& req, Response& res) {
    if (!SameToken(Param(req, "login"), CookieValue(req, kLoginCookie))) {
      res.status = 403;
      res.set_content("Refused: the login form has expired. Load it again.\n",
                      "text/plain; charset=utf-8");
      return;
    }
    std::string message;
    auto token = sessions_.Login(Param(req, "user"), Param(req, "password"), req.remote_addr,
                                 &message);
    if (!token) {
      const std::string fresh = RandomToken();
      res.set_header("Set-Cookie", Cookie(kLoginCookie, fresh, 600));
      Show(res, LoginPage(fresh, message), 401);
      return;
    }
    res.set_header("Set-Cookie", Cookie(kSessionCookie, *token, sessions_.lifetime().count()));
    SeeOther(res, "/");
  });
  Action(s, "/logout", [this](const Request& req, Response& res, const PageContext&) {
    sessions_.Logout(CookieValue(req, kSessionCookie));
    res.set_header("Set-Cookie", Cookie(kSessionCookie, "", 0));
    SeeOther(res, "/login");
  });
}

// A refused filter or sort text: the library's message, and the offset it stopped at.
bool App::CheckTexts(const std::string& class_name, const FormValues& v, FormData* d) {
  const std::pair<const char*, const std::string*> texts[] = {
      {"Include filter", &v.include}, {"Exclude filter", &v.exclude},
      {"Condition filter", &v.condition}, {"Sort", &v.sort}};
  for (const auto& [label, text] : texts) {
    if (text->empty()) continue;
    const bool sort = text == &v.sort;
    auto refusal = sort ? lookup_.CheckSort(class_name, *text)
                        : lookup_.CheckFilter(class_name, *text);
    if (refusal) {
      d->error = std::string(label) + " refused: " + refusal->message;
      d->refused = *text;
      d->position = refusal->position;
      return false;
    }
  }
  return true;
}

FormValues ReadForm(const Request& req) {
  FormValues v;
  v.class_name = Param(req, "class");
  for (size_t i = 0; i < req.get_param_value_count("field"); ++i) {
    v.fields.push_back(req.get_param_value("field", i));
  }
  v.include = Param(req, "include");
  v.exclude = Param(req, "exclude");
  v.condition = Param(req, "condition");
  v.sort = Param(req, "sort");
  v.type = Param(req, "type");
  if (v.type != "text" && v.type != "csv" && v.type != "jsonl") v.type = "html";
  v.options = Param(req, "options");
  v.header = Param(req, "header");
  v.footer = Param(req, "footer");
  v.html_wrap = !Param(req, "html_wrap").empty();
  v.store = !Param(req, "store").empty();
  return v;
}

bool Listed(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

void App::SubmitRun(const Request& req, Response& res, const PageContext& page) {
  std::vector<std::string> args{"run"};
  std::string title;
  const std::string tmpl = Param(req, "template");
  if (!tmpl.empty()) {
    bool known = false;
    for (const TemplateEntry& t : lookup_.Templates()) {
      if (t.file_name == tmpl && PathIsSafeName(tmpl.c_str())) {
        known = true;
        title = t.nice_name;
      }
    }
    if (!known) return Show(res, MessagePage(page, "No such template", tmpl), 404);
    args.push_back("--template=" + tmpl);
    if (!Param(req, "store").empty()) args.push_back("--store");
  } else {
    FormValues v = ReadForm(req);
    FormData d;
    if (!FormDataOf(v.class_name, res, page, &d)) return;
    if ((!v.header.empty() && !Listed(d.headers, v.header)) ||
        (!v.footer.empty() && !Listed(d.footers, v.footer))) {
      d.error = "No such header or footer.";
    }
    if (!d.error.empty() || !CheckTexts(v.class_name, v, &d)) {
      return Show(res, FormPage(page, v, d), 422);
    }
    title = v.class_name;
    args.push_back("--class=" + v.class_name);
    if (!v.fields.empty()) {
      const std::string format = lookup_.Format(v.class_name, TypeId(v.type), v.fields);
      if (!format.empty()) args.push_back("--format=" + format);
    }
    const std::pair<const char*, const std::string*> texts[] = {
        {"--include=", &v.include}, {"--exclude=", &v.exclude}, {"--condition=", &v.condition},
        {"--sort=", &v.sort}, {"--header=", &v.header}, {"--footer=", &v.footer}};
    for (const auto& [flag, text] : texts) {
      if (!text->empty()) args.push_back(flag + *text);
    }
    args.push_back("--type=" + v.type);
    std::istringstream lines(v.options);
    for (std::string line; std::getline(lines, line);) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (!line.empty()) args.push_back("--option=" + line);
    }
    if (v.html_wrap) args.push_back("--html-wrap");
    if (v.store) args.push_back("--store");
  }
  std::string message;
  const std::string id = runner_.Submit(page.user, title, args, &message);
  if (id.empty()) return Show(res, MessagePage(page, "Busy", message), 503);
  SeeOther(res, "/runs/" + id);
}

void App::Download(Response& res, const PageContext& page, std::vector<std::string> args,
                   const std::string& type, const std::string& name) {
  if (type != "csv" && type != "jsonl") {
    return Show(res, MessagePage(page, "Download", "Downloads are csv or jsonl."), 400);
  }
  // Downloads run beside the reports and are bounded the same way.
  if (downloads_.fetch_add(1) >= options_.max_running) {
    downloads_.fetch_sub(1);
    return Show(res, MessagePage(page, "Busy", "Too many downloads at once: try again."), 503);
  }
  std::vector<std::string> argv{options_.krreport};
  for (const std::string& a : args) {
    if (a.rfind("--type=", 0) == 0 || a.rfind("--option=", 0) == 0 || a == "--store" ||
        a == "--html-wrap") {
      continue;
    }
    argv.push_back(a);
  }
  for (const char* a : {"--quiet", "-o", "-"}) argv.push_back(a);
  argv.push_back("--type=" + type);
  std::string error;
  std::string file;
  for (char c : name) file += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  const bool ok = StreamChild(argv, file + "." + type,
                              type == "csv" ? "text/csv; charset=utf-8"
                                            : "application/x-ndjson; charset=utf-8",
                              res, &error, [this] { downloads_.fetch_sub(1); });
  if (!ok) Show(res, MessagePage(page, "Download failed", error), 500);
}

void App::RunRoutes(httplib::Server& s) {
  Page(s, "/templates", [this](const Request&, Response& res, const PageContext& page) {
    auto runs = runner_.List(page.user);
    if (runs.size() > 10) runs.resize(10);
    Show(res, HomePage(page, lookup_.Templates(), lookup_.Classes(), runs));
  });
  Page(s, "/form", [this](const Request& req, Response& res, const PageContext& page) {
    FormValues v;
    v.class_name = Param(req, "class");
    FormData d;
    if (FormDataOf(v.class_name, res, page, &d)) Show(res, FormPage(page, v, d));
  });
  Action(s, "/run", [this](const Request& req, Response& res, const PageContext& page) {
    SubmitRun(req, res, page);
  });
  Page(s, "/runs", [this](const Request&, Response& res, const PageContext& page) {
    Show(res, RunsPage(page, runner_.List(page.user)));
  });
  Page(s, R"(/runs/([0-9a-f]+))", [this](const Request& req, Response& res,
                                         const PageContext& page) {
    RunState run;
    if (!runner_.Get(req.matches[1], page.user, &run)) {
      return Show(res, MessagePage(page, "No such run", req.matches[1]), 404);
    }
    Show(res, RunPage(page, run));
  });
  Page(s, R"(/api/runs/([0-9a-f]+))", [this](const Request& req, Response& res,
                                             const PageContext& page) {
    RunState run;
    if (!runner_.Get(req.matches[1], page.user, &run)) {
      res.status = 404;
      return res.set_content("{\"error\":\"no such run\"}", "application/json");
    }
    res.set_content(RunJson(run), "application/json");
  });
  Action(s, R"(/runs/([0-9a-f]+)/cancel)", [this](const Request& req, Response& res,
                                                  const PageContext& page) {
    runner_.Cancel(req.matches[1], page.user);
    SeeOther(res, "/runs/" + std::string(req.matches[1]));
  });
  Page(s, R"(/runs/([0-9a-f]+)/download)", [this](const Request& req, Response& res,
                                                   const PageContext& page) {
    RunState run;
    if (!runner_.Get(req.matches[1], page.user, &run)) {
      return Show(res, MessagePage(page, "No such run", req.matches[1]), 404);
    }
    Download(res, page, run.args, Param(req, "type"), run.title);
  });
}

void App::ReportRoutes(httplib::Server& s) {
  Page(s, R"(/report/([^/]+))", [this](const Request& req, Response& res,
                                       const PageContext& page) {
    const std::string dir = req.matches[1];
    std::string path, body;
    if (!OutputDirPath(output_root_, dir, &path)) {
      return Show(res, MessagePage(page, "No such report", dir), 404);
    }
    const std::vector<std::string> files = OutputFiles(path, &body);
    std::string text;
    bool truncated = false;
    if (!body.empty() && body != "output.html") {
      text = ReadStart(path + "/" + body, 1 << 20, &truncated);
    }
    Show(res, ReportPage(page, dir, body, text, truncated, files, FrameBase(dir)));
  });
  // The framed report has an origin of its own, so its requests (its images) carry no session
  // cookie: the frame's address holds a key for that one directory, valid as long as a login.
  s.Get(R"(/frame/([0-9]+)-([0-9a-f]+)/([^/]+)/([^/]+))", [this](const Request& req,
                                                               Response& res) {
    const std::string expiry = req.matches[1], dir = req.matches[3];
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    if (!SameToken(req.matches[2], FrameKey(dir, expiry)) || expiry.size() > 12 ||
        std::stoll(expiry) < now) {
      res.status = 403;
      return res.set_content("Refused: the report's link has expired.\n",
                             "text/plain; charset=utf-8");
    }
    ServeOutputFile(output_root_, dir, req.matches[4], res);
  });
  Page(s, R"(/report/([^/]+)/zip)", [this](const Request& req, Response& res,
                                           const PageContext&) {
    ServeZip(output_root_, req.matches[1], res);
  });
  Page(s, R"(/out/([^/]+)/([^/]+))", [this](const Request& req, Response& res,
                                            const PageContext&) {
    ServeOutputFile(output_root_, req.matches[1], req.matches[2], res);
  });
}

std::string App::FrameKey(const std::string& dir, const std::string& expiry) const {
  const std::string message = expiry + "/" + dir;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length && i < 16; ++i) {
    out += kHex[mac[i] >> 4];
    out += kHex[mac[i] & 15];
  }
  return out;
}

// The address a framed file of output directory `dir` is served under: its key lasts a login.
std::string App::FrameBase(const std::string& dir) const {
  const std::string expiry = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::system_clock::now().time_since_epoch() + sessions_.lifetime()).count());
  return "/frame/" + expiry + "-" + FrameKey(dir, expiry) + "/" + UrlPart(dir) + "/";
}

// A summary template runs into an output directory of a fixed name, replaced whole by each run,
// so its latest output is simply what that directory holds.
std::string SummaryDir(const std::string& template_name) { return "summary-" + template_name; }

std::vector<SummaryView> App::Summaries() {
  std::vector<SummaryView> out;
  for (const TemplateEntry& t : lookup_.Templates()) {
    if (!t.summary || !PathIsSafeName(t.file_name.c_str())) continue;
    SummaryView v;
    v.tmpl = t;
    v.dir = SummaryDir(t.file_name);
    std::string path;
    if (OutputDirPath(output_root_, v.dir, &path)) {
      OutputFiles(path, &v.body);
      struct stat st = {};
      if (!v.body.empty() && stat((path + "/" + v.body).c_str(), &st) == 0) v.made = st.st_mtime;
      const bool html = v.body.size() > 5 && v.body.compare(v.body.size() - 5, 5, ".html") == 0;
      bool truncated = false;
      if (html) {
        v.frame = FrameBase(v.dir) + UrlPart(v.body);
      } else if (!v.body.empty()) {
        v.text = ReadStart(path + "/" + v.body, 64 << 10, &truncated);
        if (truncated) v.text += "\n...";
      }
    }
    out.push_back(std::move(v));
  }
  return out;
}

void App::SummaryRoutes(httplib::Server& s) {
  Page(s, "/", [this](const Request&, Response& res, const PageContext& page) {
    Show(res, SummariesPage(page, Summaries()));
  });
  Action(s, "/summary/run", [this](const Request& req, Response& res, const PageContext& page) {
    const std::string tmpl = Param(req, "template");
    for (const TemplateEntry& t : lookup_.Templates()) {
      if (t.file_name != tmpl || !t.summary || !PathIsSafeName(tmpl.c_str())) continue;
      std::string message;
      const std::string id = runner_.Submit(
          page.user, t.nice_name,
          {"run", "--template=" + tmpl, "-o", SummaryDir(tmpl), "--replace"}, &message);
      if (id.empty()) return Show(res, MessagePage(page, "Busy", message), 503);
      return SeeOther(res, "/runs/" + id);
    }
    Show(res, MessagePage(page, "No such summary template", tmpl), 404);
  });
  Page(s, "/jobs", [this](const Request&, Response& res, const PageContext& page) {
    Show(res, JobsPage(page, lookup_.Jobs()));
  });
  // Runs a job once, now, as its timer would: `krreport job run NAME` through the runner, which
  // records the outcome in the job's lastrun and mails what it produced to its recipients.
  Action(s, "/jobs/run", [this](const Request& req, Response& res, const PageContext& page) {
    const std::string name = Param(req, "name");
    for (const JobEntry& j : lookup_.Jobs()) {
      if (j.name != name || !j.readable || !PathIsSafeName(name.c_str())) continue;
      std::string message;
      const std::string id = runner_.Submit(page.user, "Job " + name, {"job", "run", name},
                                            &message);
      if (id.empty()) return Show(res, MessagePage(page, "Busy", message), 503);
      return SeeOther(res, "/runs/" + id);
    }
    Show(res, MessagePage(page, "No such report job", name), 404);
  });
}

void App::SubmitStored(const Request& req, Response& res, const PageContext& page) {
  const std::string name = Param(req, "name");
  std::vector<std::pair<std::string, std::string>> details;
  if (!PathIsSafeName(name.c_str()) || !lookup_.StoredDetails(name, &details)) {
    return Show(res, MessagePage(page, "No such stored report", name), 404);
  }
  FormValues v = ReadForm(req);
  v.type = Param(req, "type");
  FormData d;
  if (!CheckTexts(details.front().second, v, &d)) {
    std::string message = d.error;
    if (d.position >= 0) message += " (at character " + std::to_string(d.position + 1) + ")";
    return Show(res, MessagePage(page, "Re-process refused", message), 422);
  }
  std::vector<std::string> args{"produced", "reprocess", name};
  const std::pair<const char*, const std::string*> texts[] = {
      {"--include=", &v.include}, {"--exclude=", &v.exclude}, {"--condition=", &v.condition},
      {"--sort=", &v.sort}};
  for (const auto& [flag, text] : texts) {
    if (!text->empty()) args.push_back(flag + *text);
  }
  if (v.type == "text" || v.type == "html" || v.type == "csv" || v.type == "jsonl") {
    args.push_back("--type=" + v.type);
  }
  std::string message;
  const std::string id = runner_.Submit(page.user, "Re-processed " + name, args, &message);
  if (id.empty()) return Show(res, MessagePage(page, "Busy", message), 503);
  SeeOther(res, "/runs/" + id);
}

void App::StoredRoutes(httplib::Server& s) {
  Page(s, "/stored", [this](const Request&, Response& res, const PageContext& page) {
    Show(res, StoredPage(page, lookup_.Stored()));
  });
  Page(s, "/stored/show", [this](const Request& req, Response& res, const PageContext& page) {
    const std::string name = Param(req, "name");
    std::vector<std::pair<std::string, std::string>> details;
    if (!PathIsSafeName(name.c_str()) || !lookup_.StoredDetails(name, &details)) {
      return Show(res, MessagePage(page, "No such stored report", name), 404);
    }
    Show(res, StoredDetailPage(page, name, details));
  });
  Action(s, "/stored/reprocess", [this](const Request& req, Response& res,
                                        const PageContext& page) {
    SubmitStored(req, res, page);
  });
  Action(s, "/stored/delete", [this](const Request& req, Response& res, const PageContext& page) {
    const std::string name = Param(req, "name");
    if (!PathIsSafeName(name.c_str()) || !lookup_.DeleteStored(name)) {
      return Show(res, MessagePage(page, "No such stored report", name), 404);
    }
    SeeOther(res, "/stored");
  });
  Page(s, "/stored/download", [this](const Request& req, Response& res,
                                     const PageContext& page) {
    const std::string name = Param(req, "name");
    if (!PathIsSafeName(name.c_str())) {
      return Show(res, MessagePage(page, "No such stored report", name), 404);
    }
    Download(res, page, {"produced", "reprocess", name}, Param(req, "type"), name);
  });
}

void App::Install(httplib::Server& s) {
  s.Get("/static/app.js", [](const Request&, Response& res) {
    res.set_content(kAppScript, "text/javascript; charset=utf-8");
  });
  s.Get("/static/app.css", [](const Request&, Response& res) {
    res.set_content(kAppStyle, "text/css; charset=utf-8");
  });
  LoginRoutes(s);
  RunRoutes(s);
  ReportRoutes(s);
  StoredRoutes(s);
  SummaryRoutes(s);
  // Every answer of the application's own carries its policy; produced files have set theirs.
  s.set_post_routing_handler([](const Request&, Response& res) {
    if (!res.has_header("Content-Security-Policy")) {
      res.set_header("Content-Security-Policy", kPagePolicy);
    }
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
  });
  s.set_payload_max_length(1 << 20);
}

}  // namespace

bool IsLoopback(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr v4 = {};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

int Serve(const ServerOptions& o) {
  const bool tls = !o.cert.empty() || !o.key.empty();
  if (tls && (o.cert.empty() || o.key.empty())) {
    std::fprintf(stderr, "krweb: TLS needs both --cert and --key\n");
    return 1;
  }
  std::map<std::string, std::string> users;
  std::string error;
  if (!LoadUsers(&users, o.users, &error) || users.empty()) {
    std::fprintf(stderr, "krweb: %s\n",
                 users.empty() && error.empty()
                     ? ("no users in '" + o.users + "': add one with krweb adduser NAME").c_str()
                     : error.c_str());
    return 1;
  }
  if (!IsLoopback(o.host) && !tls) {
    std::fprintf(stderr,
                 "krweb: refusing to listen on %s without TLS: give --cert and --key (the "
                 "machine's certificate of the domain, or the server's own), or listen on "
                 "127.0.0.1\n", o.host.c_str());
    return 1;
  }
  std::unique_ptr<httplib::Server> server;
  if (tls) {
    auto ssl = std::make_unique<httplib::SSLServer>(o.cert.c_str(), o.key.c_str());
    if (!ssl->is_valid()) {
      std::fprintf(stderr, "krweb: cannot use the certificate '%s' and key '%s'\n",
                   o.cert.c_str(), o.key.c_str());
      return 1;
    }
    server = std::move(ssl);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  // Enough workers that streaming downloads and browsers' idle keep-alive connections leave
  // room for the pages.
  server->new_task_queue = [] { return new httplib::ThreadPool(32); };
  // SIGINT and SIGTERM are taken by a thread of their own, which stops the server cleanly.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  App app(o, std::move(users));
  if (app.reports().empty()) {
    std::fprintf(stderr, "krweb: the installation has no reports directory "
                         "(config/configure.cfg under KR_HOME)\n");
    return 1;
  }
  app.Install(*server);
  int port = o.port;
  if (port == 0) {
    port = server->bind_to_any_port(o.host);
  } else if (!server->bind_to_port(o.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "krweb: cannot listen on %s port %d\n", o.host.c_str(), o.port);
    return 1;
  }
  const bool v6 = o.host.find(':') != std::string::npos;
  std::printf("listening on %s://%s%s%s:%d/\nready\n", tls ? "https" : "http", v6 ? "[" : "",
              o.host.c_str(), v6 ? "]" : "", port);
  std::fflush(stdout);
  std::thread stopper([&server, stop] {
    int signal_number = 0;
    sigwait(&stop, &signal_number);
    server->stop();
  });
  server->listen_after_bind();
  // A stop that did not come from a signal (it cannot, today) would leave the thread waiting.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return 0;
}

}  // namespace krweb
