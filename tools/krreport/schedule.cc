// krreport job schedule|list|remove|run: report jobs that run by themselves, on the machine's
// timer engine. The package ships a templated pair of systemd units, krreport-job@.timer and
// krreport-job@.service (packaging/systemd); a job NAME is
//
//   $KR_HOME/jobs/NAME/settings     what to run: template, recipients, subject, ... (a stanza file)
//   $KR_HOME/jobs/NAME/job          the job record and its component list, as `job new` writes
//   $KR_HOME/jobs/NAME/components   them, kept with the job for the job library's readers
//   $KR_HOME/jobs/NAME/lastrun      when `job run` last ran it, and how that ended
//   UNITDIR/krreport-job@NAME.timer.d/schedule.conf   the timer's OnCalendar= for this job
//
// The timer starts krreport-job@NAME.service, which runs `krreport job run NAME`. Machines
// without systemd run that same command from cron (doc/scheduling.md).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "commands.h"
#include "kr/file.h"
#include "kr/list.h"
#include "kr/path.h"
#include "kr/serialize.h"
#include "kr/stanza.h"
#include "krreport.h"
#include "reports/reportjobs.h"
#include "reports/utilities.h"

extern char** environ;

namespace krreport {
namespace {

namespace fs = std::filesystem;

inline constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

struct ScheduleOptions {
  std::string name;
  std::string template_name;
  std::string on_calendar;
  std::string unit_dir = kDefaultUnitDir;
  MailRequest mail;
  bool store = false;
  bool print = false;
  bool replace = false;
};

// A job's name goes into a unit's instance name and a directory name: letters, digits, '_' and
// '-', so that neither needs escaping.
bool CheckJobName(const std::string& name) {
  bool ok = !name.empty() && name.size() <= 64 && name[0] != '-';
  for (char c : name) {
    ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
  }
  if (!ok) {
    Error("'" + name + "' is not a job name: use up to 64 letters, digits, '_' and '-'");
  }
  return ok;
}

bool JobDirectory(std::string* out, const std::string& name) {
  if (!PathHomeBuild(out, "jobs", name.c_str(), nullptr)) {
    Error("cannot build the jobs directory under the installation home (KR_HOME)");
    return false;
  }
  return true;
}

std::string DropInPath(const std::string& unit_dir, const std::string& name) {
  return unit_dir + "/krreport-job@" + name + ".timer.d/schedule.conf";
}

std::string UnitName(const std::string& name, const char* kind) {
  return "krreport-job@" + name + "." + kind;
}

// --- files ------------------------------------------------------------------------------------

std::string SettingsText(const ScheduleOptions& o) {
  StanzaList list;
  std::unique_ptr<Stanza> job = StnzCreate("job", 8);
  StnzSetString(job.get(), "template", o.template_name.c_str());
  StnzSetString(job.get(), "oncalendar", o.on_calendar.c_str());
  if (!o.mail.to.empty()) {
    std::unique_ptr<StnzKey> to = StnzCreateKey("mailto");
    for (const std::string& address : o.mail.to) StnzAddValueToKey(to.get(), address.c_str());
    StnzAddKeyToStanza(job.get(), std::move(to));
  }
  if (o.mail.from) StnzSetString(job.get(), "mailfrom", o.mail.from->c_str());
  if (o.mail.subject) StnzSetString(job.get(), "subject", o.mail.subject->c_str());
  StnzSetString(job.get(), "skipempty", o.mail.skip_empty ? "TRUE" : "FALSE");
  StnzSetString(job.get(), "store", o.store ? "TRUE" : "FALSE");
  list.stanzas.push_back(std::move(job));
  std::string text;
  StnzFormatStanzaList(&text, list);
  return "# Report job " + o.name + ": run by " + UnitName(o.name, "service") +
         " (krreport job run " + o.name + ").\n# Written by krreport job schedule; change it with "
         "krreport job schedule " + o.name + " --replace.\n\n" + text;
}

std::string DropInText(const ScheduleOptions& o) {
  // '%' starts a specifier in a unit file; a calendar expression has none, but a stray one must
  // not change its meaning.
  std::string calendar;
  for (char c : o.on_calendar) calendar += c == '%' ? std::string("%%") : std::string(1, c);
  return "# When report job " + o.name + " runs. Written by krreport job schedule.\n"
         "[Timer]\nOnCalendar=\nOnCalendar=" + calendar + "\n";
}

bool WriteText(const std::string& path, const std::string& text) {
  if (FileWriteAtomic(path.c_str(), text.data(), text.size()) != 1) {
    Error("cannot write '" + path + "': " + std::strerror(errno));
    return false;
  }
  return true;
}

// The job record and its component list, as `krreport job new` makes them.
bool WriteJobRecord(const std::string& directory, const ScheduleOptions& o) {
  Ref<List> names = ListNewFromPool();
  Ref<Obj> name = ObjNewString(o.template_name.c_str());
  ListAddLastItem(names.get(), name.get());
  Ref<Obj> job;
  RepMakeNewJobRecord(&job, o.name.c_str(), 1);
  Ref<List> components;
  if (!job || RepComponentListFromStrings(&components, names.get()) != kRepOk ||
      ObjSerializeToFile(job.get(), (directory + "/job").c_str()) != 1 ||
      ObjSerializeToFile(components.get(), (directory + "/components").c_str()) != 1) {
    Error("cannot write the job record into '" + directory + "'");
    return false;
  }
  return true;
}

// The job's files belong to whoever owns the installation home (the services' user), so that
// the job's service, which runs as that user, can record its runs beside them even when root
// scheduled the job.
void GiveToHomeOwner(const std::string& directory) {
  const std::string home = fs::path(directory).parent_path().parent_path();  // HOME/jobs/NAME
  struct stat owner = {};
  if (geteuid() != 0 || stat(home.c_str(), &owner) != 0 || owner.st_uid == 0) {
    return;
  }
  std::error_code ec;
  if (lchown(directory.c_str(), owner.st_uid, owner.st_gid) != 0 ||
      lchown(fs::path(directory).parent_path().c_str(), owner.st_uid, owner.st_gid) != 0) {
    return;
  }
  for (const auto& entry : fs::directory_iterator(directory, ec)) {
    if (lchown(entry.path().c_str(), owner.st_uid, owner.st_gid) != 0) return;
  }
}

// --- the calendar check ---------------------------------------------------------------------

// Runs a program (no shell) and collects its standard output and error. Its exit status, or -1
// when it cannot be run.
int RunCapture(const std::vector<std::string>& argv, std::string* output) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return -1;
  }
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) != 0;) {
    if (n > 0) output->append(buf, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Asks systemd whether it reads the expression, and when it would next elapse. kExitOk (with
// `next` empty when systemd-analyze is not there to ask), or kExitUsage with systemd's answer.
int CheckCalendar(const std::string& expression, std::string* next) {
  for (unsigned char c : expression) {
    if (c < 0x20 || c == 0x7f) {
      Error("the calendar expression contains a line break or control character");
      return kExitUsage;
    }
  }
  std::string output;
  const int rc = RunCapture({"systemd-analyze", "calendar", "--", expression}, &output);
  if (rc < 0) return kExitOk;
  if (rc != 0) {
    while (!output.empty() && output.back() == '\n') output.pop_back();
    Error("systemd does not read the calendar expression '" + expression + "': " + output +
          " (see man systemd.time, e.g. 'Mon *-*-* 06:00' or 'daily')");
    return kExitUsage;
  }
  const size_t at = output.find("Next elapse:");
  if (at != std::string::npos) {
    *next = output.substr(at + 12, output.find('\n', at) - at - 12);
    const size_t b = next->find_first_not_of(' ');
    *next = b == std::string::npos ? "" : next->substr(b);
  }
  return kExitOk;
}

// --- schedule -------------------------------------------------------------------------------

int CheckSchedule(const ScheduleOptions& o, std::string* next) {
  if (!CheckJobName(o.name)) return kExitUsage;
  if (o.mail.to.empty() && (o.mail.from || o.mail.subject || o.mail.skip_empty)) {
    Error("the mail options need --mail-to");
    return kExitUsage;
  }
  if (const int rc = CheckMailRequest(o.mail, ""); rc != kExitOk) return rc;
  if (const int rc = CheckCalendar(o.on_calendar, next); rc != kExitOk) return rc;
  std::string path;
  if (o.template_name.find('/') != std::string::npos || !PathIsSafeName(o.template_name.c_str())) {
    Error("--template takes a template name of the reports directory's templates, not a path");
    return kExitUsage;
  }
  if (!RepPathBuild(&path, "templates", o.template_name.c_str(), nullptr)) {
    Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
    return kExitFailed;
  }
  if (!fs::is_regular_file(path)) {
    Error("no template '" + o.template_name + "' (there is no file " + path + ")");
    return kExitFailed;
  }
  return kExitOk;
}

void PrintNextSteps(const ScheduleOptions& o, bool default_units) {
  const std::string timer = UnitName(o.name, "timer");
  if (default_units) {
    std::printf("start it:    systemctl daemon-reload && systemctl enable --now %s\n",
                timer.c_str());
  } else {
    std::printf("start it:    copy the drop-in directory to /etc/systemd/system, then\n"
                "             systemctl daemon-reload && systemctl enable --now %s\n",
                timer.c_str());
  }
  std::printf("run it now:  systemctl start %s   (or: krreport job run %s)\n",
              UnitName(o.name, "service").c_str(), o.name.c_str());
}

int Schedule(const ScheduleOptions& o) {
  std::string next, directory;
  if (const int rc = CheckSchedule(o, &next); rc != kExitOk) return rc;
  if (!JobDirectory(&directory, o.name)) return kExitFailed;
  const std::string drop_in = DropInPath(o.unit_dir, o.name);
  if (o.print) {
    std::printf("# %s/settings\n%s\n# %s\n%s\n# The job record: krreport job new --template %s "
                "--title %s -o %s\n",
                directory.c_str(), SettingsText(o).c_str(), drop_in.c_str(),
                DropInText(o).c_str(), o.template_name.c_str(), o.name.c_str(),
                directory.c_str());
    return kExitOk;
  }
  std::error_code ec;
  const bool existed = fs::exists(directory + "/settings", ec);
  if (existed && !o.replace) {
    Error("job '" + o.name + "' exists (krreport job list shows it); give --replace to replace "
          "it");
    return kExitFailed;
  }
  fs::create_directories(directory, ec);
  fs::create_directories(fs::path(drop_in).parent_path(), ec);
  if (!WriteText(directory + "/settings", SettingsText(o)) || !WriteJobRecord(directory, o) ||
      !WriteText(drop_in, DropInText(o))) {
    // A new job is there whole or not at all.
    if (!existed) fs::remove_all(directory, ec);
    if (geteuid() != 0 && o.unit_dir == kDefaultUnitDir) {
      Error("writing systemd units needs root: run it with sudo, or give --print and install "
            "the files by hand");
    }
    return kExitFailed;
  }
  GiveToHomeOwner(directory);
  std::printf("job %s: %s%s\n", o.name.c_str(), o.on_calendar.c_str(),
              next.empty() ? "" : (" (next: " + next + ")").c_str());
  std::printf("  settings:  %s/settings (with the job record: job, components)\n",
              directory.c_str());
  std::printf("  timer:     %s\n", drop_in.c_str());
  PrintNextSteps(o, o.unit_dir == kDefaultUnitDir);
  return kExitOk;
}

// --- list, remove, run ----------------------------------------------------------------------

bool LoadSettings(std::unique_ptr<Stanza>* out, const std::string& directory) {
  StanzaList list;
  const std::string path = directory + "/settings";
  if (StnzLoadStanzaListFromFile(&list, path.c_str()) != 1 || StnzListFind(list, "job") == nullptr) {
    return false;
  }
  *out = StnzDuplicate(*StnzListFind(list, "job"));
  return *out != nullptr;
}

std::string Value(const Stanza* s, const char* key) {
  std::string v;
  StnzGetString(&v, s, key, 0);
  return v;
}

std::string LastRun(const std::string& directory) {
  StanzaList list;
  if (StnzLoadStanzaListFromFile(&list, (directory + "/lastrun").c_str()) != 1) return "never";
  const Stanza* s = StnzListFind(list, "lastrun");
  int32_t status = -1;
  if (s == nullptr || !StnzGetInteger(&status, s, "status", 0)) return "?";
  return Value(s, "time") + " " + Value(s, "outcome");
}

int List(const std::string& unit_dir) {
  std::string jobs;
  if (!PathHomeBuild(&jobs, "jobs", nullptr)) return kExitFailed;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(jobs, ec), end; !ec && it != end; it.increment(ec)) {
    if (fs::exists(it->path() / "settings")) names.push_back(it->path().filename());
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    std::fprintf(stderr, "krreport: no report jobs in %s (krreport job schedule adds one)\n",
                 jobs.c_str());
    return kExitOk;
  }
  std::printf("%-16s %-22s %-16s %-28s %-6s %s\n", "NAME", "SCHEDULE", "TEMPLATE", "MAIL TO",
              "TIMER", "LAST RUN");
  for (const std::string& name : names) {
    std::unique_ptr<Stanza> s;
    if (!LoadSettings(&s, jobs + "/" + name)) {
      std::printf("%-16s (settings unreadable: %s/%s/settings)\n", name.c_str(), jobs.c_str(),
                  name.c_str());
      continue;
    }
    std::string to;
    for (int i = 0; i < StnzGetValueCount(s.get(), "mailto"); ++i) {
      std::string address;
      StnzGetString(&address, s.get(), "mailto", i);
      to += (to.empty() ? "" : ",") + address;
    }
    const bool timer = fs::exists(DropInPath(unit_dir, name), ec);
    std::printf("%-16s %-22s %-16s %-28s %-6s %s\n", name.c_str(),
                Value(s.get(), "oncalendar").c_str(), Value(s.get(), "template").c_str(),
                to.empty() ? "-" : to.c_str(), timer ? "yes" : "no",
                LastRun(jobs + "/" + name).c_str());
  }
  return kExitOk;
}

int Remove(const std::string& name, const std::string& unit_dir) {
  std::string directory;
  if (!CheckJobName(name)) return kExitUsage;
  if (!JobDirectory(&directory, name)) return kExitFailed;
  std::error_code ec;
  if (!fs::exists(directory + "/settings", ec)) {
    Error("no job '" + name + "' (krreport job list shows the jobs)");
    return kExitFailed;
  }
  const fs::path drop_in = DropInPath(unit_dir, name);
  fs::remove(drop_in, ec);
  if (ec) {
    Error("cannot remove '" + drop_in.string() + "': " + ec.message());
    return kExitFailed;
  }
  fs::remove(drop_in.parent_path(), ec);  // only when empty: other drop-ins stay
  fs::remove_all(directory, ec);
  if (ec) {
    Error("cannot remove '" + directory + "': " + ec.message());
    return kExitFailed;
  }
  std::printf("removed job %s (%s and %s); its reports stay in the reports directory\n"
              "if its timer is enabled: systemctl disable --now %s\n",
              name.c_str(), directory.c_str(), drop_in.c_str(),
              UnitName(name, "timer").c_str());
  return kExitOk;
}

void RecordLastRun(const std::string& directory, int rc) {
  const std::time_t now = std::time(nullptr);
  const std::string outcome = rc == kExitOk             ? "ok"
                              : rc == kExitNotDelivered ? "written, not mailed (exit 3)"
                              : rc == kExitCancelled    ? "cancelled (exit 130)"
                                                        : "failed (exit " + std::to_string(rc) + ")";
  StanzaList list;
  std::unique_ptr<Stanza> s = StnzCreate("lastrun", 3);
  StnzSetString(s.get(), "time", TimeText(static_cast<int32_t>(now)).c_str());
  StnzSetString(s.get(), "status", std::to_string(rc).c_str());
  StnzSetString(s.get(), "outcome", outcome.c_str());
  list.stanzas.push_back(std::move(s));
  const std::string path = directory + "/lastrun";
  if (StnzSaveStanzaListToFile(list, path.c_str()) != 1) {
    Error("cannot record this run in '" + path + "': " + std::strerror(errno));
  }
}

int RunJob(const std::string& name) {
  std::string directory;
  if (!CheckJobName(name)) return kExitUsage;
  if (!JobDirectory(&directory, name)) return kExitFailed;
  std::unique_ptr<Stanza> s;
  if (!LoadSettings(&s, directory)) {
    Error("no job '" + name + "' (cannot read " + directory +
          "/settings; krreport job list shows the jobs)");
    return kExitFailed;
  }
  RunOptions o;
  o.template_name = Value(s.get(), "template");
  StnzGetBoolean(&o.store, s.get(), "store", 0);
  for (int i = 0; i < StnzGetValueCount(s.get(), "mailto"); ++i) {
    std::string address;
    StnzGetString(&address, s.get(), "mailto", i);
    o.mail.to.push_back(address);
  }
  if (StnzFindKey(s.get(), "mailfrom") != nullptr) o.mail.from = Value(s.get(), "mailfrom");
  if (StnzFindKey(s.get(), "subject") != nullptr) o.mail.subject = Value(s.get(), "subject");
  StnzGetBoolean(&o.mail.skip_empty, s.get(), "skipempty", 0);
  const int rc = Run(o);
  RecordLastRun(directory, rc);
  return rc;
}

}  // namespace

void AddScheduleCommands(CLI::App& app, CommandAction* action) {
  CLI::App* job = app.get_subcommand("job");
  static ScheduleOptions o;
  auto* schedule = job->add_subcommand(
      "schedule", "Run a report job by itself at fixed times (a systemd timer), mailed if asked");
  schedule->footer(
      "Example (--print shows what would be written; without it, run as root):\n"
      "  krreport job schedule weekly --template weeklyclients "
      "--on-calendar 'Mon *-*-* 06:00' --mail-to ops@example.org --print\n"
      "Calendar expressions are systemd's (man systemd.time): 'daily', '*-*-* 07:30', "
      "'Mon..Fri 18:00'.");
  schedule->add_option("name", o.name, "The job's name (letters, digits, _ and -)")->required();
  schedule->add_option("-t,--template", o.template_name, "The template the job runs")
      ->required();
  schedule->add_option("--on-calendar", o.on_calendar,
                       "When it runs, as a systemd calendar expression")
      ->required();
  schedule->add_flag("--store", o.store, "Also keep each produced report in the store");
  schedule->add_flag("--print", o.print,
                     "Print the job's settings and the timer's drop-in instead of writing them");
  schedule->add_flag("--replace", o.replace, "Replace a job of the same name");
  schedule->add_option("--unit-dir", o.unit_dir,
                       "Where the timer's drop-in goes (default /etc/systemd/system)");
  schedule->add_option("--mail-to", o.mail.to, "Mail each report to these addresses")
      ->delimiter(',');
  AddOptional(schedule, "--mail-from", &o.mail.from, "Sender address");
  AddOptional(schedule, "--subject", &o.mail.subject,
              "Subject, with %REPORTNAME %NUMRECORDS %SERVERNAME %DATEMADE %TIMEMADE");
  schedule->add_flag("--skip-empty", o.mail.skip_empty, "Do not mail a report without records");
  schedule->callback([action] { *action = [] { return Schedule(o); }; });

  static std::string unit_dir = kDefaultUnitDir;
  auto* list = job->add_subcommand("list", "List the scheduled report jobs");
  list->add_option("--unit-dir", unit_dir, "Where the timers' drop-ins are");
  list->callback([action] { *action = [] { return List(unit_dir); }; });

  static std::string name;
  auto* remove = job->add_subcommand("remove", "Remove a scheduled report job and its timer");
  remove->add_option("name", name, "The job's name")->required();
  remove->add_option("--unit-dir", unit_dir, "Where the timer's drop-in is");
  remove->callback([action] { *action = [] { return Remove(name, unit_dir); }; });

  auto* run = job->add_subcommand(
      "run", "Run a scheduled report job once, now (what its systemd service runs)");
  run->add_option("name", name, "The job's name")->required();
  run->callback([action] { *action = [] { return RunJob(name); }; });
}

}  // namespace krreport
