// The command line: the same core operations as the desktop window, for scripts and
// production lines. Exit status 0 only on success.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace karvo::cli {

enum ExitCode : int {
  EXIT_OK = 0,
  EXIT_DIFFERENT = 1,  // a compare found differences
  EXIT_USAGE = 2,      // bad arguments
  EXIT_NO_PORT = 3,    // the port cannot be opened
  EXIT_DEVICE = 4,     // the sensor did not answer, or answered wrongly
  EXIT_FILE = 5,       // a file cannot be read or written
};

// Runs one command line (without the program name); output to `out`, messages to `err`.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string Usage();

}  // namespace karvo::cli
