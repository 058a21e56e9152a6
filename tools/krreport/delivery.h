// Delivery of a written report by mail: the --mail-* options of `krreport run` (and of a
// scheduled job), the [mail] stanza of reports.cfg behind them, and the hand-over of the report's
// output directory to the mail transport (mail.h).
//
//   [mail]                                   in $KR_HOME/config/reports.cfg (all optional)
//   sendmail = /usr/sbin/sendmail            the transport's program, then arguments (blanks)
//   from = "Backup reports <backup@example.org>"
//   maxsize = 10M                            largest message; over it the body goes gzipped
//   timeout = 300                            seconds the transport may take
//
// A command-line option wins over the stanza; the stanza over the built-in defaults.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "reports/control.h"

namespace krreport {

// The report was written (and stored, if asked) but could not be handed to the mail transport.
inline constexpr int kExitNotDelivered = 3;

struct MailRequest {
  std::vector<std::string> to;  // empty: no mail
  std::optional<std::string> from, subject, sendmail, max_size;
  bool skip_empty = false;  // an empty report is written but not mailed
};

// Adds --mail-to, --mail-from, --subject, --skip-empty, --sendmail and --mail-max-size.
void AddMailOptions(CLI::App* command, MailRequest* mail);

// Before any work: the addresses, the subject's placeholders and the size are sound, and the
// output goes to a directory. kExitOk, or kExitUsage after saying what is wrong.
int CheckMailRequest(const MailRequest& mail, const std::string& output);

// Mails the report written to `body_path` (a file of its output directory). kExitOk, or
// kExitNotDelivered after printing the transport's error; the report stays where it is either way.
int MailReport(const MailRequest& mail, const RepControl* control, const std::string& nice_name,
               const std::string& body_path, bool quiet);

// "10M", "512K", "2G" or a number of bytes; 0 when the text is none of them.
uint64_t ParseSize(const std::string& text);

}  // namespace krreport
