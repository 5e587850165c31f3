// What tests need to run a server of their own on 127.0.0.1 (mosquitto, ser2net, a scripted
// one): a socket on a port the kernel picks, whether a port listens, and a child process
// that is killed when the test ends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace karvo::test {

// A TCP socket bound to 127.0.0.1 at a port of the kernel's pick, which goes to `port`.
inline int LoopbackSocket(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
    port = ntohs(a.sin_port);
  }
  return fd;
}

// A port nobody listens on at the moment.
inline uint16_t FreeTcpPort() {
  uint16_t port = 0;
  close(LoopbackSocket(port));
  return port;
}

// Whether something listens on 127.0.0.1:`port`, from the kernel's table: a test connection
// would open a session on the server.
inline bool Listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
      return true;
    }
  }
  return false;
}

// Runs a program with its output in files; Wait gives the exit status (-signal if killed,
// -1000 when it had to be killed after `timeout`). `setup` runs in the child just before the
// program, to close or redirect its descriptors.
class TChild {
 public:
  TChild(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
         const std::vector<std::string>& env = {}, const std::function<void()>& setup = {}) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      if (setup) setup();
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~TChild() {
    if (pid_ > 0 && !done_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signal) { kill(pid_, signal); }
  bool Ended() {
    int status = 0;
    if (!done_ && waitpid(pid_, &status, WNOHANG) == pid_) Done(status);
    return done_;
  }
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!Ended()) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        done_ = true;
        return status_ = -1000;
      }
      usleep(10000);
    }
    return status_;
  }
  // Waits up to 5 s for the child to listen on every one of `ports`; false if it ended first.
  bool WaitListening(const std::vector<uint16_t>& ports) {
    for (int i = 0; i < 500 && !Ended(); ++i) {
      bool all = true;
      for (const uint16_t port : ports) all = all && Listening(port);
      if (all) return true;
      usleep(10000);
    }
    return false;
  }

 private:
  void Done(int status) {
    done_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = 0;
};

}  // namespace karvo::test
