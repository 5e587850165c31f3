// Runs karvo-cli in the test's process and keeps what it printed.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"

namespace karvo::test {

using Lines = std::vector<std::string>;

struct TRun {
  int Code;
  std::string Out, Err;

  // The exit code, then stdout's lines: one comparison covers both.
  Lines CodeAndLines() const {
    Lines lines = {std::to_string(Code)};
    std::istringstream in(Out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

// With a port, the simulated sensors' settings go before `args`.
inline TRun RunCli(Lines args, const std::string& port = "") {
  if (!port.empty())
    args.insert(args.begin(), {"--port", port, "--baud", "115200", "--address", "5"});
  std::ostringstream out, err;
  const int code = cli::Run(args, out, err);
  return {code, out.str(), err.str()};
}

}  // namespace karvo::test
