// The command line: the same core operations as the desktop window, for scripts and
// production lines. Exit status 0 only on success.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "device/Result.h"
#include "device/Statuses.h"

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

// Statuses of the command's own failures, beside the device layer's in the JSON error
// document: bad arguments, a file, the output itself.
constexpr uint32_t ST_USAGE = 30;
constexpr uint32_t ST_FILE_ACCESS = 31;
constexpr uint32_t ST_OUTPUT = 32;
const std::vector<device::StatusEntry>& CliStatusTable();
// The stable name of a device or command status ("no_answer", "usage").
std::string StatusNameOf(uint32_t status);
// {"error": {"status": N, "name": ..., "reason": ..., "doing": ...}} and a line end.
std::string ErrorDocument(uint32_t status, const std::string& reason, const std::string& doing);

// Standard output on a descriptor, keeping the errno of a failed write so that a full disk or
// a closed pipe can be named; after a failure nothing more is written.
class TFdOutput : public std::streambuf {
 public:
  explicit TFdOutput(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  ~TFdOutput() override { sync(); }
  int Error() const { return error_; }
  // A pipe or a terminal: a reader waits for each line of a run.
  bool Interactive = false;

 protected:
  int sync() override;
  int overflow(int c) override;

 private:
  int fd_;
  int error_ = 0;
  char buffer_[8192];
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
