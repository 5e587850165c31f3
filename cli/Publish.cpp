#include "cli/Publish.h"

#include <mosquitto.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>

#include "files/TextFile.h"
#include "publish/Publisher.h"

namespace karvo::cli {

namespace {

// A password file holds one line; anything larger is not one.
constexpr size_t MAX_PASSWORD_FILE_SIZE = 64 * 1024;

std::string DefaultClientId() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "karvo";
  return std::string("karvo-") + host;
}

int Usage(const PublishOptions& options, const std::string& message) {
  *options.Err << "karvo-cli: " << message << '\n';
  return EXIT_USAGE;
}

}  // namespace

void AddPublishCommand(CLI::App& app, PublishOptions& options) {
  CLI::App* publish = app.add_subcommand(
      "publish", "measure the sensors and publish their values to an MQTT broker");
  publish->add_option("--broker", options.Broker, "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
      ->required();
  CLI::Option* every =
      publish->add_option("--every", options.EveryMs, "one result of each sensor every MS ms")
          ->check(CLI::Range(1u, 3'600'000u));
  CLI::Option* stream =
      publish->add_flag("--stream", options.Stream, "the sensor streams (one address only)");
  every->excludes(stream);
  publish->add_option("--count", options.Count, "end after N delivered samples of each sensor")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 62));
  publish->add_option("--topic", options.Topic, "topic prefix");
  publish->add_option("--qos", options.Qos, "0 or 1")->check(CLI::IsMember({0, 1}));
  publish->add_option("--client-id", options.ClientId, "client id (the serial number is added)");
  // libmosquitto refuses keep-alives under 5 s.
  publish->add_option("--keepalive", options.Keepalive, "seconds")->check(CLI::Range(5, 65535));
  publish->add_option("--user", options.User, "user name at the broker");
  publish->add_option("--password-file", options.PasswordFile,
                      "file holding the password (else KARVO_MQTT_PASSWORD)");
  publish->add_option("--cafile", options.CaFile, "CA certificate for mqtts://");
  publish
      ->add_option("--buffer-seconds", options.BufferSeconds,
                   "samples kept while the broker is away, in seconds")
      ->check(CLI::Range(0.0, 7 * 24 * 3600.0));
}

int RunPublish(const PublishOptions& options) {
  publish::TPublishSettings settings;
  std::string problem;
  if (!publish::ParseBrokerUrl(options.Broker, settings.Client.Broker, problem)) {
    return Usage(options, problem);
  }
  if (options.Addresses.empty()) return Usage(options, "--address needs at least one address");
  std::set<int> seen;
  for (int address : options.Addresses) {
    if (address < 1 || address > 127) return Usage(options, "addresses are 1 to 127");
    if (!seen.insert(address).second) {
      return Usage(options, "address " + std::to_string(address) + " is given twice");
    }
    settings.Addresses.push_back(static_cast<uint8_t>(address));
  }
  if (options.Stream && options.Addresses.size() > 1) {
    return Usage(options, "--stream takes one address only");
  }
  if (!options.CaFile.empty() && !settings.Client.Broker.Tls) {
    return Usage(options, "--cafile is for mqtts:// brokers");
  }
  // The library would refuse every publish to such a topic, and the samples would be lost.
  const std::string sample = options.Topic + "/0/values";
  if (options.Topic.empty() ||
      mosquitto_pub_topic_check2(sample.c_str(), sample.size()) != MOSQ_ERR_SUCCESS ||
      mosquitto_validate_utf8(sample.c_str(), static_cast<int>(sample.size())) !=
          MOSQ_ERR_SUCCESS) {
    return Usage(options, "--topic must be a topic without + and # (UTF-8)");
  }
  settings.Client.User = options.User;
  if (!options.PasswordFile.empty()) {
    std::string bytes, reason;
    if (!ReadRegularFile(options.PasswordFile, MAX_PASSWORD_FILE_SIZE, bytes, reason)) {
      return Usage(options, "cannot read " + options.PasswordFile + ": " + reason);
    }
    settings.Client.Password = bytes.substr(0, bytes.find_first_of("\r\n"));
    settings.Client.HasPassword = true;
  } else if (const char* env = std::getenv("KARVO_MQTT_PASSWORD")) {
    settings.Client.Password = env;
    settings.Client.HasPassword = true;
  }
  if (settings.Client.HasPassword && options.User.empty()) {
    return Usage(options, "a password needs --user");
  }
  settings.Line.Port = options.Port;
  settings.Line.Baud = options.Baud;
  settings.Stream = options.Stream;
  settings.EveryMs = options.EveryMs;
  settings.Count = options.Count;
  settings.BufferSeconds = options.BufferSeconds;
  settings.Client.ClientId = options.ClientId.empty() ? DefaultClientId() : options.ClientId;
  settings.Client.CaFile = options.CaFile;
  settings.Client.Keepalive = options.Keepalive;
  settings.Client.Qos = options.Qos;
  settings.Client.Prefix = options.Topic;
  TInterrupt own;
  TInterrupt& interrupt = options.Interrupt ? *options.Interrupt : own;
  settings.Cancel = &interrupt.Token;
  std::ostream& err = *options.Err;
  settings.Report = [&err](const std::string& line) { err << "karvo-cli: " << line << std::endl; };

  const publish::TPublishOutcome outcome = publish::RunPublisher(settings);
  if (!outcome.Message.empty()) err << "karvo-cli: " << outcome.Message << '\n';
  if (interrupt.Token.Cancelled()) return interrupt.ExitStatus();
  switch (outcome.End) {
    case publish::TPublishEnd::Counted:
      return EXIT_OK;
    case publish::TPublishEnd::Cancelled:
      return interrupt.ExitStatus();
    case publish::TPublishEnd::NoPort:
      return EXIT_NO_PORT;
    case publish::TPublishEnd::SensorFailed:
      return EXIT_DEVICE;
    case publish::TPublishEnd::Refused:
      return EXIT_BROKER_REFUSED;
    case publish::TPublishEnd::Setup:
      break;
  }
  return EXIT_USAGE;
}

}  // namespace karvo::cli
