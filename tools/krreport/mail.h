// Mail delivery of a produced report: the report's output directory made into one MIME message
// (GMime), to be handed whole to the machine's `sendmail` interface (sendmail.h), which every
// mail transport provides (msmtp, Postfix, Exim, ...). Nothing here speaks SMTP or queues mail:
// the transport does both and reports its own errors.
//
// The message follows the report's kind:
//   HTML          multipart/alternative: a plain-text rendering of the page, then
//                 multipart/related holding the page (its <img src="FILE"> references to files
//                 of the output directory turned into cid: references) and those files inline
//   plain text    text/plain, the report itself
//   CSV           a short text/plain note, and the body file attached byte for byte (base64) as
//                 NAME.csv, NAME being the report's name in lower case with '-' for blanks
//   JSON Lines    the same, attached as NAME.jsonl (application/x-ndjson)
// A message over the size limit carries the body file gzip-compressed instead (images left out);
// one still over it is refused, never cut.
//
// Addresses and the subject are checked before anything is built: a line break or other control
// character in either would let a value (a template's name, a recipient from a job file) add
// headers of its own, so such text is refused, not cleaned.
//
// Thread safety: the functions keep no shared state beyond GMime's one-time initialisation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krmail {

// What a produced report offers a message.
struct Report {
  enum class Kind { kText, kHtml, kCsv, kJsonLines };
  Kind kind = Kind::kText;
  std::string directory;  // the output directory
  std::string body;       // its body file's name (output.html, output.txt, output.jsonl)
  std::string name;       // the report's name ("Daily failures")
  std::string server;     // the machine that produced it
  int64_t records = 0;    // records in the report
  int64_t made = 0;       // time of production, seconds since the epoch
};

struct Settings {
  std::vector<std::string> to;  // recipients, each "addr" or "Name <addr>"
  std::string from;             // empty: the transport's own sender
  std::string subject;          // with placeholders (ExpandSubject); empty: kDefaultSubject
  std::string sendmail = "/usr/sbin/sendmail";  // program path, then arguments split at blanks
  uint64_t max_size = uint64_t{10} << 20;       // largest message handed over, in bytes
  int timeout_seconds = 300;                    // the transport gets this long, then is stopped
};

inline constexpr const char* kDefaultSubject = "%REPORTNAME: %NUMRECORDS records";

// Empty when `address` is a single mailbox ("ops@example.org" or "Backup <ops@example.org>"),
// else what is wrong with it.
std::string CheckAddress(const std::string& address);

// The mailbox's address part and display name.
void SplitAddress(const std::string& address, std::string* name, std::string* addr);

// Fills the subject's placeholders (case-blind; %% is a percent sign):
//   %REPORTNAME    the report's name            %NUMRECORDS    records in the report (1,520)
//   %SERVERNAME    the producing machine        %DATEMADE      date of production (2026-12-07)
//   %TIMEMADE      time of production (06:00)
// 1, or 0 with `error` set: an unknown placeholder, or a control character in the text or in a
// value filled in.
int ExpandSubject(std::string* out, std::string* error, const std::string& pattern,
                  const Report& report);

// Checks every address and the subject's placeholders of `settings` (with dummy values). Empty,
// or the first fault, naming the option's value.
std::string CheckSettings(const Settings& settings);

// Builds the whole message in memory, as handed to sendmail (LF line ends). 1, or 0 with `error`
// set (a file that cannot be read, a report too large even compressed). `compressed` tells
// whether the size limit made the body go as a .gz attachment.
int BuildMessage(std::string* message, std::string* error, bool* compressed,
                 const Settings& settings, const Report& report);

// A plain-text rendering of an HTML page: paragraphs and rows on lines of their own, table
// cells separated by two blanks, style and script left out.
std::string HtmlToText(const std::string& html);

// "1,520"
std::string GroupedNumber(int64_t n);

// The report's name as a file name: "Job export" gives "job-export".
std::string FileNameOf(const std::string& report_name);

}  // namespace krmail
