#include <fcntl.h>
#include <sys/stat.h>
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

// A reader that went away stops the command like Ctrl-C. Every later write to the same pipe
// raises it again, which must not end the program before the sensor is put back.
void OnBrokenPipe(int) {
  int none = 0;
  interrupt.Signal.compare_exchange_strong(none, SIGPIPE);
  interrupt.Token.Cancel();
}

// A closed 0, 1 or 2 would be taken by the port when it opens, and our text would go down the
// line to the sensor.
void MakeStandardDescriptorsValid() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) _exit(127);
    if (opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  MakeStandardDescriptorsValid();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  action.sa_handler = OnBrokenPipe;
  sigaction(SIGPIPE, &action, nullptr);

  karvo::cli::TFdOutput output(STDOUT_FILENO);
  struct stat st {};
  output.Interactive =
      isatty(STDOUT_FILENO) || (fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode));
  std::cout.rdbuf(&output);
  std::vector<std::string> args(argv + 1, argv + argc);
  const int code = karvo::cli::Run(args, std::cout, std::cerr, &interrupt);
  std::cout.flush();
  std::cout.rdbuf(nullptr);
  return code;
}
