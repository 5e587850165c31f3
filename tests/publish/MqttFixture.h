// A broker of the test's own (Debian's mosquitto on a free local port), a subscriber that
// keeps every message it gets, and karvo-cli run as a child process.
#pragma once

#include <mosquitto.h>
#include <sys/stat.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "support/LocalServer.h"
#include "support/ScratchDir.h"

namespace karvo::test {

// The publish benchmark's name for it.
inline bool Accepting(uint16_t port) {
  return Listening(port);
}

// mosquitto on 127.0.0.1 at a free port, stopped with the test. `extra` goes into its
// configuration (a password file, for one).
class TBroker {
 public:
  explicit TBroker(const std::string& extra = "") : port_(FreeTcpPort()) {
    // Started as root, mosquitto reads its files as its own user.
    chmod(dir_.Root.c_str(), 0755);
    PutFile(dir_.Path("mosquitto.conf"), "listener " + std::to_string(port_) +
                                             " 127.0.0.1\nallow_anonymous " +
                                             (extra.empty() ? "true" : "false") + "\n" + extra);
    Start();
  }
  ~TBroker() { Stop(); }

  uint16_t Port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  const TScratchDir& Dir() const { return dir_; }

  bool Start() {
    child_ = std::make_unique<TChild>(
        std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_.Path("mosquitto.conf")},
        dir_.Path("broker.out"), dir_.Path("broker.err"));
    return child_->WaitListening({port_});
  }
  void Stop() {
    if (!child_) return;
    child_->Signal(SIGTERM);
    child_->Wait(std::chrono::seconds(5));
    child_.reset();
  }

 private:
  TScratchDir dir_;
  uint16_t port_;
  std::unique_ptr<TChild> child_;
};

struct TMessage {
  std::string Topic;
  std::string Payload;
  bool Retained = false;
  double Arrived = 0;  // Unix seconds, for the publish benchmark's latency
};

// Subscribes to PREFIX/# at QoS 1 and keeps what comes.
class TSubscriber {
 public:
  // A persistent subscriber keeps its session on the broker (with the broker's persistence
  // on) and so gets what was published while it was away.
  explicit TSubscriber(uint16_t port, const std::string& prefix = "karvo",
                       const std::string& persistentId = "")
      : prefix_(prefix) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(persistentId.empty() ? nullptr : persistentId.c_str(),
                          persistentId.empty(), this);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
      if (rc == 0) {
        const std::string topic = static_cast<TSubscriber*>(self)->prefix_ + "/#";
        mosquitto_subscribe(m, nullptr, topic.c_str(), 1);
      }
    });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<TSubscriber*>(self);
      std::lock_guard guard(s->lock_);
      s->subscribed_ = true;
      s->changed_.notify_all();
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* s = static_cast<TSubscriber*>(self);
      const double now =
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count();
      std::lock_guard guard(s->lock_);
      s->messages_.push_back(
          {m->topic,
           std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
           m->retain, now});
      s->changed_.notify_all();
    });
    mosquitto_connect(mosq_, "127.0.0.1", port, 60);
    mosquitto_loop_start(mosq_);
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return subscribed_; });
  }
  ~TSubscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }

  bool Subscribed() {
    std::lock_guard guard(lock_);
    return subscribed_;
  }
  std::vector<TMessage> Messages() {
    std::lock_guard guard(lock_);
    return messages_;
  }
  // Waits until `done` holds for the messages so far.
  bool WaitFor(const std::function<bool(const std::vector<TMessage>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return done(messages_); });
  }

 private:
  std::string prefix_;
  mosquitto* mosq_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  bool subscribed_ = false;
  std::vector<TMessage> messages_;
};

}  // namespace karvo::test
