// A real serial device server for the tests: Debian's ser2net, started on free local ports
// with a raw tcp and a telnet(rfc2217) accepter in front of each simulated line, and killed
// when the test ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/LocalServer.h"
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

class TSer2net {
 public:
  struct Line {
    std::string Device;    // the simulator's pseudo-terminal
    std::string Settings;  // ser2net's "9600e81" form
  };

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
    server_ = std::make_unique<TChild>(std::vector<std::string>{program, "-n", "-c", file}, log,
                                       log + ".err");
    std::vector<uint16_t> ports = raw_;
    ports.insert(ports.end(), telnet_.begin(), telnet_.end());
    if (server_->WaitListening(ports)) return true;
    why = std::string(server_->Ended() ? "ser2net ended at start: "
                                       : "ser2net did not listen within 5 s: ") +
          FileBytes(log) + FileBytes(log + ".err");
    return false;
  }

  // As a crashed or switched-off device server: every connection drops at once.
  void Kill() { server_.reset(); }

  std::string RawUrl(size_t line = 0) const {
    return "tcp://127.0.0.1:" + std::to_string(raw_[line]);
  }
  std::string TelnetUrl(size_t line = 0) const {
    return "rfc2217://127.0.0.1:" + std::to_string(telnet_[line]);
  }

 private:
  TScratchDir dir_;
  std::unique_ptr<TChild> server_;
  std::vector<uint16_t> raw_;
  std::vector<uint16_t> telnet_;
};

}  // namespace karvo::test
