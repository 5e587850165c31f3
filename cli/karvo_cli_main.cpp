#include <unistd.h>

#include <csignal>
#include <iostream>

#include "cli/Cli.h"

namespace {

karvo::cli::TInterrupt interrupt;

// The first signal cancels the command, which then puts the sensor and the stage back; a
// second one, while that is under way, ends the program at once.
void OnStopSignal(int signal) {
  if (!interrupt.Raise(signal)) _exit(128 + signal);
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::vector<std::string> args(argv + 1, argv + argc);
  return karvo::cli::Run(args, std::cout, std::cerr, &interrupt);
}
