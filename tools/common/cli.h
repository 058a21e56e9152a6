// What every program's command line shares: --version, and the exit status of a command line
// that does not parse (2, as the man pages say), whatever CLI11's own code for the error.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "kr_version.h"

namespace krtools {

// Adds --version, printing "PROGRAM VERSION".
inline void AddVersionFlag(CLI::App& app, const std::string& program) {
  app.set_version_flag("--version", program + " " + KR_VERSION, "Print the version and exit");
}

// Parses the command line. -1 to go on; otherwise the exit status, the message already printed:
// 0 after --help or --version, 2 for bad arguments.
inline int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return -1;
}

}  // namespace krtools
