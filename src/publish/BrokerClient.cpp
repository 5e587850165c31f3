#include "publish/BrokerClient.h"

#include <mosquitto.h>

#include <mutex>

namespace karvo::publish {

namespace {

using Clock = std::chrono::steady_clock;

// Messages handed to the library and not yet acknowledged. Beyond this the samples wait in
// the queue, where the buffer's bound and its drop count apply.
constexpr size_t MAX_UNACKNOWLEDGED = 64;
// How long a batch's first sample may wait for more before the batch goes.
constexpr double BATCH_WAIT_S = 0.05;
// One turn of the network loop; also how soon new samples are looked at.
constexpr int LOOP_MS = 10;
// A changed drop count goes out at most this often.
constexpr auto STATUS_INTERVAL = std::chrono::seconds(1);
// After the deadline, what the offline status and the disconnect may still take.
constexpr auto GOODBYE_TIME = std::chrono::milliseconds(500);

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// CONNACK codes of MQTT 3.1.1 that another try will not change: protocol version, client
// id, credentials, authorisation.
bool RefusedForGood(int rc) {
  return rc == 1 || rc == 2 || rc == 4 || rc == 5;
}

}  // namespace

TBrokerClient::TBrokerClient(const TClientSettings& settings, const TSensorIdentity& identity,
                             uint32_t runMode, TSampleQueue& queue)
    : settings_(settings),
      identity_(identity),
      runMode_(runMode),
      queue_(queue),
      statusTopic_(Topic(settings.Prefix, identity.SerialNumber, "status")),
      valuesTopic_(Topic(settings.Prefix, identity.SerialNumber, "values")) {}

TBrokerClient::~TBrokerClient() {
  if (thread_.joinable()) {
    RequestStop(Clock::now());
    Join();
  }
  if (mosq_) mosquitto_destroy(mosq_);
}

std::string TBrokerClient::RefusedReason() const {
  std::lock_guard guard(reasonLock_);
  return refusedReason_;
}

bool TBrokerClient::Start(std::string& problem) {
  InitLibrary();
  const std::string id = settings_.ClientId + "-" + std::to_string(identity_.SerialNumber);
  // A clean session: what the broker held for an earlier run is not ours to resume; this
  // run's unacknowledged messages are resent by the library itself after a reconnect.
  mosq_ = mosquitto_new(id.c_str(), true, this);
  if (!mosq_) {
    problem = "cannot create the MQTT client";
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_max_inflight_messages_set(mosq_, MAX_UNACKNOWLEDGED);
  mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    static_cast<TBrokerClient*>(self)->OnConnect(rc);
  });
  mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int) {
    static_cast<TBrokerClient*>(self)->OnDisconnect();
  });
  mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
    static_cast<TBrokerClient*>(self)->OnPublish(mid);
  });
  if (!settings_.User.empty()) {
    const int rc =
        mosquitto_username_pw_set(mosq_, settings_.User.c_str(),
                                  settings_.HasPassword ? settings_.Password.c_str() : nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      problem = std::string("user name: ") + mosquitto_strerror(rc);
      return false;
    }
  }
  if (settings_.Broker.Tls) {
    const char* cafile = settings_.CaFile.empty() ? nullptr : settings_.CaFile.c_str();
    const char* capath = cafile ? nullptr : "/etc/ssl/certs";
    const int rc = mosquitto_tls_set(mosq_, cafile, capath, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      problem = std::string("TLS: ") + mosquitto_strerror(rc);
      return false;
    }
  }
  SetWill();
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void TBrokerClient::SetWill() {
  const std::string will = StatusPayload(STATE_OFFLINE, queue_.Dropped());
  mosquitto_will_set(mosq_, statusTopic_.c_str(), static_cast<int>(will.size()), will.data(),
                     settings_.Qos, true);
}

std::string_view TBrokerClient::SensorState() const {
  return lost_.load() ? STATE_LOST : STATE_ONLINE;
}

void TBrokerClient::RequestStop(Clock::time_point deadline) {
  deadline_.store(deadline);
  stopping_.store(true);
}

void TBrokerClient::Join() {
  if (thread_.joinable()) thread_.join();
}

void TBrokerClient::OnConnect(int rc) {
  awaitingConnack_ = false;
  if (rc != 0) {
    if (RefusedForGood(rc)) {
      std::lock_guard guard(reasonLock_);
      refusedReason_ = mosquitto_connack_string(rc);
      refused_.store(true);
    }
    droppedConnection_ = true;
    return;
  }
  connected_.store(true);
  // Published by the loop: the library holds its own locks while it calls back.
  greetingDue_ = true;
}

void TBrokerClient::OnDisconnect() {
  connected_.store(false);
  droppedConnection_ = true;
}

void TBrokerClient::OnPublish(int mid) {
  const auto it = unacknowledged_.find(mid);
  if (it == unacknowledged_.end()) return;
  if (it->second > 0) queue_.Delivered(it->second);
  unacknowledged_.erase(it);
  if (mid == offlineMid_) offlineAcknowledged_ = true;
}

bool TBrokerClient::Publish(const std::string& topic, const std::string& payload, bool retain,
                            size_t samples, int* midOut) {
  int mid = 0;
  const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), settings_.Qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) return false;
  // The acknowledgement (or, at QoS 0, the sending) comes through OnPublish on this thread,
  // never before this returns.
  unacknowledged_[mid] = samples;
  if (midOut) *midOut = mid;
  return true;
}

void TBrokerClient::PublishStatus(std::string_view state) {
  const uint64_t dropped = queue_.Dropped();
  if (Publish(statusTopic_, StatusPayload(state, dropped), true, 0)) {
    publishedState_ = state;
    publishedDropped_ = dropped;
  }
  nextStatusCheck_ = Clock::now() + STATUS_INTERVAL;
}

void TBrokerClient::PublishWaiting(bool flush) {
  TBatch batch;
  while (unacknowledged_.size() < MAX_UNACKNOWLEDGED &&
         queue_.Take(batch, UnixNow(), BATCH_WAIT_S, flush)) {
    const size_t n = batch.Values.size();
    if (!Publish(valuesTopic_, ValuesPayload(identity_, runMode_, batch), false, n)) {
      // The library took nothing (out of memory, connection torn down under it): the samples
      // are gone and say so in the drop count.
      queue_.GiveUp(n);
      break;
    }
  }
}

void TBrokerClient::Loop() {
  TReconnectDelay delay;
  bool everConnected = false;
  bool goodbyeSent = false;
  Clock::time_point nextAttempt = Clock::now();
  Clock::time_point connackDue{};
  while (true) {
    const Clock::time_point now = Clock::now();
    const bool stopping = stopping_.load();
    const Clock::time_point deadline = deadline_.load();
    if (refused_.load()) break;
    if (stopping && now >= deadline + GOODBYE_TIME) break;
    if (!connected_.load() && !awaitingConnack_) {
      if (stopping && now >= deadline) break;
      if (now < nextAttempt) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(nextAttempt - now, std::chrono::milliseconds(LOOP_MS)));
        continue;
      }
      SetWill();
      droppedConnection_ = false;
      // Without waiting for the TCP handshake: a broker host that does not answer must not
      // hold up a stop for the minutes a blocking connect may take.
      const int rc = everConnected
                         ? mosquitto_reconnect_async(mosq_)
                         : mosquitto_connect_async(mosq_, settings_.Broker.Host.c_str(),
                                                   settings_.Broker.Port, settings_.Keepalive);
      if (rc != MOSQ_ERR_SUCCESS) {
        // A host that cannot be resolved or reached now may be later: keep trying.
        nextAttempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(delay.Next()));
        continue;
      }
      everConnected = true;
      awaitingConnack_ = true;
      connackDue = Clock::now() + std::chrono::seconds(std::max(settings_.Keepalive, 1));
    }
    const int rc = mosquitto_loop(mosq_, LOOP_MS, 1);
    if (connected_.load() && rc == MOSQ_ERR_SUCCESS && !droppedConnection_) {
      delay.Reset();
      if (greetingDue_) {
        greetingDue_ = false;
        Publish(Topic(settings_.Prefix, identity_.SerialNumber, "identity"),
                IdentityPayload(identity_), true, 0);
        PublishStatus(SensorState());
      }
      if (!goodbyeSent) {
        PublishWaiting(stopping);
        const uint64_t dropped = queue_.Dropped();
        if (publishedState_ != SensorState() ||
            (dropped != publishedDropped_ && Clock::now() >= nextStatusCheck_)) {
          PublishStatus(SensorState());
        }
      }
      const bool allDelivered = queue_.Waiting() == 0 && unacknowledged_.empty();
      if (stopping && !goodbyeSent && (allDelivered || Clock::now() >= deadline)) {
        // The offline status takes the drop count as it ends.
        Publish(statusTopic_, StatusPayload(STATE_OFFLINE, queue_.Dropped()), true, 0,
                &offlineMid_);
        goodbyeSent = true;
      }
      if (goodbyeSent && (offlineAcknowledged_ || settings_.Qos == 0)) {
        // At QoS 0 the offline status counts as out once the library has sent it.
        if (settings_.Qos == 0) mosquitto_loop(mosq_, LOOP_MS, 1);
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, LOOP_MS, 1);
        connected_.store(false);
        break;
      }
      continue;
    }
    if (awaitingConnack_ && rc == MOSQ_ERR_SUCCESS && !droppedConnection_ &&
        Clock::now() < connackDue) {
      continue;
    }
    // The connection is gone (or never answered): try again after the pause.
    if (refused_.load()) break;
    connected_.store(false);
    awaitingConnack_ = false;
    goodbyeSent = false;
    offlineMid_ = -1;
    nextAttempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(delay.Next()));
  }
}

}  // namespace karvo::publish
