// A real serial device server for the tests: Debian's ser2net, started on free local ports
// with a raw tcp and a telnet(rfc2217) accepter in front of each simulated line, and killed
// when the test ends.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ScratchDir.h"

namespace karvo::test {

// The path of ser2net from PATH (and the sbin folders, which a user's PATH often lacks);
// "" when it is not installed.
inline std::string FindSer2net() {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin";
  std::stringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/ser2net";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

inline constexpr const char* SER2NET_MISSING =
    "ser2net is not installed (not in PATH nor /usr/sbin): run scripts/bootstrap.sh, which "
    "installs Debian's ser2net";

// A port nobody listens on at the moment: the kernel's pick for a socket bound to port 0.
inline uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
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

class TSer2net {
 public:
  struct Line {
    std::string Device;    // the simulator's pseudo-terminal
    std::string Settings;  // ser2net's "9600e81" form
  };

  ~TSer2net() { Kill(); }

  // Starts the server for `lines`; false with the why. `options` are ser2net's connection
  // options ("chardelay: false"), one a line.
  bool Start(const std::vector<Line>& lines, std::string& why,
             const std::vector<std::string>& options = {}) {
    const std::string program = FindSer2net();
    if (program.empty()) {
      why = SER2NET_MISSING;
      return false;
    }
    std::ostringstream config;
    config << "%YAML 1.1\n---\n";
    for (size_t i = 0; i < lines.size(); ++i) {
      raw_.push_back(FreeTcpPort());
      telnet_.push_back(FreeTcpPort());
      for (const bool isTelnet : {false, true}) {
        config << "connection: &line" << i << (isTelnet ? "telnet" : "raw") << "\n"
               << "  accepter: " << (isTelnet ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1,"
               << (isTelnet ? telnet_.back() : raw_.back()) << "\n"
               << "  connector: serialdev," << lines[i].Device << "," << lines[i].Settings
               << ",local\n";
        if (!options.empty()) config << "  options:\n";
        for (const std::string& option : options) config << "    " << option << "\n";
      }
    }
    const std::string file = dir_.Path("ser2net.yaml");
    std::ofstream(file) << config.str();
    const std::string log = dir_.Path("ser2net.log");
    pid_ = fork();
    if (pid_ == 0) {
      freopen(log.c_str(), "w", stdout);
      freopen(log.c_str(), "a", stderr);
      execl(program.c_str(), program.c_str(), "-n", "-c", file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      bool all = true;
      for (size_t l = 0; l < lines.size(); ++l)
        all = all && Listening(raw_[l]) && Listening(telnet_[l]);
      if (all) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why = "ser2net ended at start: " + FileBytes(log);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    why = "ser2net did not listen within 5 s: " + FileBytes(log);
    return false;
  }

  // As a crashed or switched-off device server: every connection drops at once.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string RawUrl(size_t line = 0) const {
    return "tcp://127.0.0.1:" + std::to_string(raw_[line]);
  }
  std::string TelnetUrl(size_t line = 0) const {
    return "rfc2217://127.0.0.1:" + std::to_string(telnet_[line]);
  }

 private:
  TScratchDir dir_;
  pid_t pid_ = -1;
  std::vector<uint16_t> raw_;
  std::vector<uint16_t> telnet_;
};

}  // namespace karvo::test
