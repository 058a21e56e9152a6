// Mailing a written report: the run options, the [mail] stanza of reports.cfg, and the report's
// facts (name, record counts, machine, time) handed to the message builder and the transport.
#include "delivery.h"

#include <cctype>
#include <cstring>

#include "commands.h"
#include "kr/config.h"
#include "kr/context.h"
#include "krreport.h"
#include "mail.h"
#include "sendmail.h"

namespace krreport {
namespace {

// The mail settings of this run: the options given, else the [mail] stanza, else the defaults.
bool Settings(krmail::Settings* s, const MailRequest& mail) {
  auto configured = [](const char* key, const std::optional<std::string>& given) {
    if (given) return *given;
    std::string value;
    CfgGetString(&value, "reports.cfg", "mail", key, "");
    return value;
  };
  s->to = mail.to;
  s->from = configured("from", mail.from);
  if (mail.subject) s->subject = *mail.subject;
  if (const std::string program = configured("sendmail", mail.sendmail); !program.empty()) {
    s->sendmail = program;
  }
  if (const std::string size = configured("maxsize", mail.max_size); !size.empty()) {
    s->max_size = ParseSize(size);
    if (s->max_size == 0) {
      Error("the mail size limit '" + size + "' is not a size (e.g. 10M, 512K, 2000000)");
      return false;
    }
  }
  int32_t timeout = 0;
  if (CfgGetInteger(&timeout, "reports.cfg", "mail", "timeout") && timeout > 0) {
    s->timeout_seconds = timeout;
  }
  return true;
}

}  // namespace

uint64_t ParseSize(const std::string& text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
  size_t end = 0;
  uint64_t n = 0;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
    if (n > (uint64_t{1} << 40)) return 0;
    n = n * 10 + static_cast<uint64_t>(text[end++] - '0');
  }
  const std::string unit = text.substr(end);
  if (unit.empty()) return n;
  if (unit.size() != 1) return 0;
  switch (std::toupper(static_cast<unsigned char>(unit[0]))) {
    case 'K':
      return n << 10;
    case 'M':
      return n << 20;
    case 'G':
      return n << 30;
    default:
      return 0;
  }
}

void AddMailOptions(CLI::App* command, MailRequest* mail) {
  const char* group = "Mail";
  command->add_option("--mail-to", mail->to,
                      "Mail the report to these addresses (comma-separated or repeated)")
      ->delimiter(',')
      ->group(group);
  AddOptional(command, "--mail-from", &mail->from,
              "Sender address (default: from in the [mail] stanza of reports.cfg, else the "
              "transport's own)")
      ->group(group);
  AddOptional(command, "--subject", &mail->subject,
              "Subject, with %REPORTNAME %NUMRECORDS %SERVERNAME %DATEMADE %TIMEMADE "
              "(default: \"" + std::string(krmail::kDefaultSubject) + "\")")
      ->group(group);
  command->add_flag("--skip-empty", mail->skip_empty, "Do not mail a report without records")
      ->group(group);
  AddOptional(command, "--sendmail", &mail->sendmail,
              "The mail transport's sendmail program and arguments (default: sendmail in the "
              "[mail] stanza of reports.cfg, else /usr/sbin/sendmail)")
      ->group(group);
  AddOptional(command, "--mail-max-size", &mail->max_size,
              "Largest message, e.g. 10M; a larger report is attached gzip-compressed, or "
              "refused when even that is too large (default: maxsize in [mail], else 10M)")
      ->group(group);
}

int CheckMailRequest(const MailRequest& mail, const std::string& output) {
  const bool mailing = !mail.to.empty();
  if (!mailing) {
    if (mail.from || mail.subject || mail.sendmail || mail.max_size || mail.skip_empty) {
      Error("the mail options need --mail-to");
      return kExitUsage;
    }
    return kExitOk;
  }
  if (output == "-") {
    Error("--mail-to mails the report's output directory: it cannot go with -o -");
    return kExitUsage;
  }
  krmail::Settings settings;
  if (!Settings(&settings, mail)) return kExitUsage;
  if (const std::string fault = krmail::CheckSettings(settings); !fault.empty()) {
    Error(fault);
    return kExitUsage;
  }
  return kExitOk;
}

int MailReport(const MailRequest& mail, const RepControl* control, const std::string& nice_name,
               const std::string& body_path, bool quiet) {
  krmail::Settings settings;
  if (!Settings(&settings, mail)) return kExitNotDelivered;
  krmail::Report report;
  const size_t slash = body_path.rfind('/');
  report.directory = body_path.substr(0, slash);
  report.body = body_path.substr(slash + 1);
  report.name = nice_name;
  report.server = StrOrEmpty(SysLocalMachineName());
  report.records = static_cast<int64_t>(RepGiveNumRecords(control));
  auto ends_with = [&](const char* tail) {
    return report.body.size() >= std::strlen(tail) &&
           report.body.compare(report.body.size() - std::strlen(tail), std::string::npos, tail) == 0;
  };
  // The body file's name tells an HTML page (also a wrapped one) and JSON Lines; the library
  // writes plain text and CSV alike into output.txt.
  using Kind = krmail::Report::Kind;
  report.kind = ends_with(".html")    ? Kind::kHtml
                : ends_with(".jsonl") ? Kind::kJsonLines
                : RepParamsGetOutputType(control->params()) == kRepOutputCsv ? Kind::kCsv
                                                                             : Kind::kText;
  report.made = control->time_of_production();
  if (report.records == 0 && mail.skip_empty) {
    if (!quiet) std::fprintf(stderr, "krreport: no records, so no mail (--skip-empty)\n");
    return kExitOk;
  }
  std::string message, error;
  bool compressed = false;
  if (!krmail::BuildMessage(&message, &error, &compressed, settings, report) ||
      !krmail::HandOver(&error, settings, message, [] { return CancelRequested(); })) {
    if (CancelRequested()) {
      Error("cancelled; the report was not mailed and is kept in " + report.directory);
      return kExitCancelled;
    }
    Error("the report was not mailed: " + error + "\nkrreport: the report is kept in " +
          report.directory);
    return kExitNotDelivered;
  }
  if (!quiet) {
    std::string to;
    for (const std::string& t : settings.to) to += (to.empty() ? "" : ", ") + t;
    std::fprintf(stderr, "krreport: mailed to %s%s\n", to.c_str(),
                 compressed ? " (compressed: over the mail size limit)" : "");
  }
  return kExitOk;
}

}  // namespace krreport
