// karvo-cli publish: the line's sensors measured and published to an MQTT broker until
// stopped or until --count samples of each have been delivered.
#pragma once

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"

namespace CLI {
class App;
}

namespace karvo::cli {

constexpr int EXIT_BROKER_REFUSED = 6;  // the broker refuses the connection for good

struct PublishOptions {
  // From the global options.
  std::string Port = "COM1";
  uint32_t Baud = 9600;
  std::vector<int> Addresses{1};

  std::string Broker;  // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  uint32_t EveryMs = 100;
  bool Stream = false;
  uint64_t Count = 0;  // 0: until stopped
  std::string Topic = "karvo";
  int Qos = 1;
  std::string ClientId;  // empty: karvo-HOSTNAME
  int Keepalive = 10;
  std::string User;
  std::string PasswordFile;  // else KARVO_MQTT_PASSWORD
  std::string CaFile;
  double BufferSeconds = 60;

  TInterrupt* Interrupt = nullptr;
  std::ostream* Err = &std::cerr;
};

// Registers the "publish" subcommand and its own options; the global --port, --baud and
// --address are the caller's, copied into `options` before RunPublish.
void AddPublishCommand(CLI::App& app, PublishOptions& options);

int RunPublish(const PublishOptions& options);

}  // namespace karvo::cli
