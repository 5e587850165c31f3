// Several simulated sensors on one line, as on an RS-485 bus: what the program writes reaches
// every sensor, and what any sensor answers reaches the program. Each simulator has a
// pseudo-terminal of its own; this joins them behind one more that the program opens.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace karvo::test {

class TSharedLine {
 public:
  TSharedLine(const std::vector<std::string>& sensorPaths, uint32_t baud) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    // Held open so that the program may close and reopen its end.
    keeper_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    for (const std::string& p : sensorPaths) {
      const int fd = open(p.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      cfsetspeed(&t, baud == 115200 ? B115200 : baud == 460800 ? B460800 : B9600);
      t.c_cflag |= CLOCAL | CREAD | PARENB;
      tcsetattr(fd, TCSANOW, &t);
      sensors_.push_back(fd);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~TSharedLine() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : sensors_) close(fd);
    if (keeper_ >= 0) close(keeper_);
    if (master_ >= 0) close(master_);
  }
  TSharedLine(const TSharedLine&) = delete;
  TSharedLine& operator=(const TSharedLine&) = delete;

  const std::string& Path() const { return path_; }

 private:
  void Run() {
    std::vector<pollfd> fds{{master_, POLLIN, 0}};
    for (int fd : sensors_) fds.push_back({fd, POLLIN, 0});
    char buffer[4096];
    while (!stop_) {
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        if (i == 0) {
          for (int fd : sensors_) Write(fd, buffer, static_cast<size_t>(n));
        } else {
          Write(master_, buffer, static_cast<size_t>(n));
        }
      }
    }
  }
  static void Write(int fd, const char* bytes, size_t count) {
    for (int tries = 0; count > 0 && tries < 1000; ++tries) {
      const ssize_t n = write(fd, bytes, count);
      if (n > 0) {
        bytes += n;
        count -= static_cast<size_t>(n);
      } else {
        usleep(100);
      }
    }
  }

  int master_ = -1, keeper_ = -1;
  std::string path_;
  std::vector<int> sensors_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace karvo::test
