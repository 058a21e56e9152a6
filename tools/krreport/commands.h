// The command families of the command-line front end, one file each. Every Add function adds
// its subcommands (and their options, kept beside the code that reads them) to the program; the
// subcommand the user names sets *action, which main runs once the runtime context exists.
//
// A new command family: a new file with its Add function, declared here and called from main.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace krreport {

// The work of the named command; returns the exit status.
using CommandAction = std::function<int()>;

void AddClassesCommands(CLI::App& app, CommandAction* action);   // classes, fields
void AddRunCommand(CLI::App& app, CommandAction* action);        // run
void AddProducedCommands(CLI::App& app, CommandAction* action);  // produced [show|reprocess|delete]
void AddMultiCommand(CLI::App& app, CommandAction* action);      // multi
void AddJobCommands(CLI::App& app, CommandAction* action);       // job new
void AddTablesCommand(CLI::App& app, CommandAction* action);     // tables

// The output type choices of --type.
inline const std::vector<std::string> kTypeChoices = {"text", "html", "csv", "jsonl"};

// Adds an option that, when given, sets *to (unset when not given).
inline CLI::Option* AddOptional(CLI::App* app, const std::string& name,
                                std::optional<std::string>* to, const std::string& description) {
  return app->add_option_function<std::string>(
      name, [to](const std::string& value) { *to = value; }, description);
}

}  // namespace krreport
