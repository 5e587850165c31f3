// What a device operation came to: its status, the system's reason and what was being done,
// so that the window, the command line and scripts can each say it their own way.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "channel/Interface.h"

namespace karvo::device {

// Statuses the device layer decides itself, above the link's (0 to 8).
constexpr uint32_t ST_CANCELLED = 20;    // cancelled between two requests
constexpr uint32_t ST_BAD_VALUE = 21;    // a value its row refuses; nothing was sent
constexpr uint32_t ST_STAGE_STUCK = 22;  // the stage stayed busy far beyond its move
constexpr uint32_t ST_NO_STAGE = 23;     // the stage did not answer
constexpr uint32_t ST_FILE = 24;         // a result file could not be written
constexpr uint32_t ST_LINE_BUSY = 25;    // another sensor streams on the shared line

// StatusText for the link's codes and the ones above.
const char* DeviceStatusText(uint32_t status);

struct Result {
  uint32_t Status = ST_OK;
  std::string Doing;   // "identify", "reading row 10", "writing table page 3"; empty on success
  std::string Reason;  // the system's reason (a port's errno text, a refused value), if known
  // Said even on success: a line setting the port could not make (a tcp:// port's baud rate).
  std::string Notice;

  bool Ok() const { return Status == ST_OK; }
  explicit operator bool() const { return Ok(); }
  bool Cancelled() const { return Status == ST_CANCELLED; }

  static Result Success() { return {}; }
  static Result Failure(uint32_t status, std::string doing, std::string reason = {}) {
    return {status, std::move(doing), std::move(reason), {}};
  }

  // "reading row 10 failed: status 3 (answer incomplete within the time-outs): <reason>"
  std::string Describe() const;
};

// Set from any thread (or a signal handler: a lock-free store) to stop a long operation
// between two requests.
class CancelToken {
 public:
  void Cancel() { flag_.store(true, std::memory_order_relaxed); }
  void Reset() { flag_.store(false, std::memory_order_relaxed); }
  bool Cancelled() const { return flag_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> flag_{false};
};

inline bool IsCancelled(const CancelToken* token) {
  return token != nullptr && token->Cancelled();
}

// Progress of a long operation: steps done and the whole count.
using Progress = std::function<void(int done, int total)>;

// Runs its action on every way out of a scope unless dismissed.
template <class F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F action) : action_(std::move(action)) {}
  ~ScopeGuard() {
    if (armed_) action_();
  }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  void Dismiss() { armed_ = false; }

 private:
  F action_;
  bool armed_ = true;
};

}  // namespace karvo::device
