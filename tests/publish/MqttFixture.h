// A broker of the test's own (Debian's mosquitto on a free local port), a subscriber that
// keeps every message it gets, and karvo-cli run as a child process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ScratchDir.h"

namespace karvo::test {

inline uint16_t FreeLocalPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

inline bool Accepting(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Runs a program with its output in files; Wait gives the exit status (-signal if killed,
// -1000 when it had to be killed after `timeout`).
class TChild {
 public:
  TChild(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
         const std::vector<std::string>& env = {}) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
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
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (done_) return status_;
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        done_ = true;
        return status_ = -1000;
      }
      usleep(10000);
    }
    done_ = true;
    return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = 0;
};

// mosquitto on 127.0.0.1 at a free port, stopped with the test. `extra` goes into its
// configuration (a password file, for one).
class TBroker {
 public:
  explicit TBroker(const std::string& extra = "") : port_(FreeLocalPort()) {
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
    for (int i = 0; i < 500; ++i) {
      if (Accepting(port_)) return true;
      usleep(10000);
    }
    return false;
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
  double Arrived = 0;  // Unix seconds
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
