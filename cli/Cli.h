// The command line: the same core operations as the desktop window, for scripts and
// production lines. Exit status 0 only on success.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "device/Result.h"

namespace CLI {
class App;
}

namespace karvo::cli {

enum ExitCode : int {
  EXIT_OK = 0,
  EXIT_DIFFERENT = 1,  // a compare found differences
  EXIT_USAGE = 2,      // bad arguments
  EXIT_NO_PORT = 3,    // the port cannot be opened
  EXIT_DEVICE = 4,     // the sensor did not answer, or answered wrongly
  EXIT_FILE = 5,       // a file cannot be read or written
};

// A request to stop the running command, from a signal handler (lock-free stores only) or
// from another thread. The command puts back what it changed and ends with 128 + Signal.
struct TInterrupt {
  device::CancelToken Token;
  std::atomic<int> Signal{0};

  // False when one had come already: the second asks to end at once.
  bool Raise(int signal) {
    const bool first = Signal.exchange(signal) == 0;
    Token.Cancel();
    return first;
  }
  int ExitStatus() const {
    const int signal = Signal.load();
    return 128 + (signal != 0 ? signal : SIGINT);
  }
};

// Runs one command line (without the program name); output to `out`, messages to `err`.
// `interrupt`, when given, stops the command between two requests.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        TInterrupt* interrupt = nullptr);

std::string Usage();
// The line that follows a usage error: where the help for `command` (or the program) is.
std::string UsageHint(const std::string& command);

// A command that brings its own options and code (publish): Add puts its subcommand on the
// parser and returns it; Run is called when it was chosen, with the global options parsed.
struct TExtraCommand {
  std::function<CLI::App*(CLI::App& app)> Add;
  std::function<int(const TArguments& global, std::ostream& out, std::ostream& err,
                    TInterrupt& interrupt)>
      Run;
};

}  // namespace karvo::cli
