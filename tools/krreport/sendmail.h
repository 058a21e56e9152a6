// Handing a mail message to the machine's mail transport through its `sendmail` program, the
// interface every Debian transport installs (/usr/sbin/sendmail of msmtp-mta, Postfix, Exim).
// The program runs directly (no shell) with the message on its standard input; what it prints
// is its own account of a failure and is passed on as it is.
//
// Thread safety: HandOver changes the process's SIGPIPE disposition while it runs; call it from
// one thread at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mail.h"

namespace krmail {

// The transport's command line: `settings.sendmail` split at blanks, then -i, -f FROM when a
// sender is set, "--" and the recipients' addresses.
std::vector<std::string> SendmailCommand(const Settings& settings);

// Runs the sendmail command with `message` on its standard input and waits for it. 1, or 0 with
// `error` set to what went wrong, the transport's own output included. `cancelled` is asked
// while waiting; when it says so the transport is stopped.
int HandOver(std::string* error, const Settings& settings, const std::string& message,
             const std::function<bool()>& cancelled);

}  // namespace krmail
