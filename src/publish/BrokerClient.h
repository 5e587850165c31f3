// One sensor's connection to the broker (libmosquitto), on a thread of its own: identity and
// status retained, the sensor's batches in order, a Last Will that says "offline" when the
// publisher dies, and reconnection with a growing pause while the broker is away.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "publish/Broker.h"
#include "publish/Payloads.h"
#include "publish/SampleQueue.h"

struct mosquitto;

namespace karvo::publish {

struct TClientSettings {
  TBrokerAddress Broker;
  std::string ClientId;  // the sensor's serial number is appended
  std::string User;
  std::string Password;
  bool HasPassword = false;
  std::string CaFile;  // TLS: empty takes the system's certificates
  int Keepalive = 10;  // s
  int Qos = 1;
  std::string Prefix = "karvo";
};

class TBrokerClient {
 public:
  TBrokerClient(const TClientSettings& settings, const TSensorIdentity& identity, uint32_t runMode,
                TSampleQueue& queue);
  ~TBrokerClient();
  TBrokerClient(const TBrokerClient&) = delete;
  TBrokerClient& operator=(const TBrokerClient&) = delete;

  // Sets the client up and starts its thread; false with `problem` when the library refuses
  // the settings (a TLS file it cannot use, for one).
  bool Start(std::string& problem);

  // What the status topic says of the sensor: STATE_ONLINE or STATE_LOST.
  void SetSensorLost(bool lost) { lost_.store(lost); }

  // Delivers what is measured (until `deadline`), publishes "offline" and disconnects; Join
  // waits for that. Several clients stop side by side this way.
  void RequestStop(std::chrono::steady_clock::time_point deadline);
  void Join();

  // The broker refused the connection in a way another try will not change.
  bool Refused() const { return refused_.load(); }
  std::string RefusedReason() const;
  bool Connected() const { return connected_.load(); }

 private:
  void Loop();
  void OnConnect(int rc);
  void OnDisconnect();
  void OnPublish(int mid);
  bool Publish(const std::string& topic, const std::string& payload, bool retain, size_t samples,
               int* midOut = nullptr);
  void PublishStatus(std::string_view state);
  void PublishWaiting(bool flush);
  void SetWill();
  std::string_view SensorState() const;

  const TClientSettings settings_;
  const TSensorIdentity identity_;
  const uint32_t runMode_;
  TSampleQueue& queue_;
  const std::string statusTopic_;
  const std::string valuesTopic_;

  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  std::atomic<bool> lost_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> refused_{false};
  std::atomic<std::chrono::steady_clock::time_point> deadline_{};
  mutable std::mutex reasonLock_;
  std::string refusedReason_;

  // The loop thread's own.
  bool awaitingConnack_ = false;
  bool droppedConnection_ = false;
  bool greetingDue_ = false;              // identity and status go out first on a new connection
  std::map<int, size_t> unacknowledged_;  // message id -> samples in it
  std::string publishedState_;
  uint64_t publishedDropped_ = 0;
  std::chrono::steady_clock::time_point nextStatusCheck_{};
  int offlineMid_ = -1;
  bool offlineAcknowledged_ = false;
};

}  // namespace karvo::publish
